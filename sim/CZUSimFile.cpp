// The simulated card's files: what kind of records they hold and the card
// memory they take.
#include "sim/CZUSimFile.h"
#include "ZUICSIM.h"

namespace {
// Card memory that one key record takes in a key file.
const size_t KEY_RECORD_ROOM = 19;
} // namespace

bool CZUSimFile::IsRecordFile() const {
    return kind == ELEMENTARY && (type == ZUSIM_EF_FIXED || type == ZUSIM_EF_VARIABLE ||
                                  type == ZUSIM_EF_CYCLIC || type == ZUSIM_EF_TLV);
}

size_t CZUSimFile::Footprint() const {
    if (kind != ELEMENTARY) {
        return 0;
    }
    if (type == ZUSIM_EF_BINARY) {
        return size;
    }
    if (type == ZUSIM_EF_KEYS) {
        return maxRecords * KEY_RECORD_ROOM;
    }
    return maxRecords * recordLength;
}
