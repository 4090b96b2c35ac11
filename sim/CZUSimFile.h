// One file of the simulated card's file system: the master file, an
// application directory or an elementary file, with what its creation
// attributes mean (ZUICSIM.h) and its contents.
#ifndef ZU_CZUSIMFILE_H
#define ZU_CZUSIMFILE_H

#include "sim/CZUSimKeyStore.h"

#include <memory>
#include <vector>

struct CZUSimFile {
    enum Kind { MASTER, DIRECTORY, ELEMENTARY };

    Kind kind = ELEMENTARY;
    unsigned char fid[2] = {0, 0};
    std::vector<unsigned char> name;        // DF name, if any
    std::vector<unsigned char> proprietary; // the creation attributes, shown in the FCI
    bool inCreation = true;
    CZUSimFile* parent = nullptr;
    std::vector<std::unique_ptr<CZUSimFile>> children;

    // MF and DF
    unsigned char createCondition = 0;
    unsigned char eraseKey = 0; // MF: which erase key the card accepts

    // EF
    unsigned char type = 0;
    unsigned char sfi = 0;
    unsigned char readCondition = 0;
    unsigned char writeCondition = 0;
    size_t size = 0;         // binary: bytes
    size_t maxRecords = 0;   // records
    size_t recordLength = 0; // records: the length, or the longest
    std::vector<unsigned char> binary;
    std::vector<std::vector<unsigned char>> records;
    CZUSimKeyStore keys{0};

    bool IsDirectory() const { return kind != ELEMENTARY; }
    bool Is(const unsigned char* id) const { return fid[0] == id[0] && fid[1] == id[1]; }
    bool IsRecordFile() const;
    // Bytes of card memory the file takes.
    size_t Footprint() const;
};

#endif
