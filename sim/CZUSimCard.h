// The simulated general card: its operating system answers every command
// that the library's card classes send, with the file system, PINs, keys,
// challenge and secure messaging that give those commands their meaning.
// What the creation attributes, access conditions and key records mean is in
// ZUICSIM.h; the SAM and social-security variants derive from it.
//
// Answers worth knowing:
//   SELECT (P2 00) answers the file control information
//     6F L, 83 02 identifier, [84 n DF name], 82 01 descriptor (38 a DF;
//     01 binary, 02 fixed, 04 variable, 06 cyclic, 05 tag-and-length
//     records, 09 key file), for an EF 80 02 size and [88 01 short
//     identifier], 8A 01 life cycle (01 in creation, 05 in use), 85 n the
//     creation attribute bytes; P2 0C answers nothing.
//   READ BINARY past the end of the file gets 6C XX with the bytes left
//     (6B 00 at or beyond the end); Le 00 reads what there is, up to 256.
//   READ RECORD with an Le other than the record's length gets 6C XX with
//     that length; Le 00 reads the whole record.
//   GET CHALLENGE gives 1 to 8 bytes (Le 00: 8); the challenge, zero-filled
//     to 8 bytes, serves one EXTERNAL AUTHENTICATE or one secure-messaging
//     command, whose MAC's initial value is its first 4 bytes and 00 00 00 00.
//   GET RESPONSE gets 69 85: every answer is handed over at once.
//   Power-on and reset forget the selection (the master file is current),
//   the challenge, the erase key and every PIN or key presented.
#ifndef ZU_CZUSIMCARD_H
#define ZU_CZUSIMCARD_H

#include "sim/CZUSimDevice.h"
#include "sim/CZUSimFile.h"
#include "sim/SimAnswer.h"
#include "sim/SimCommandTable.h"
#include "sim/SimCrypto.h"

#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>

class CZUSimCard : public CZUSimDevice {
  public:
    CZUSimCard();
    ~CZUSimCard() override;
    CZUSimCard(const CZUSimCard&) = delete;
    CZUSimCard& operator=(const CZUSimCard&) = delete;

    std::vector<unsigned char> PowerOn() override;
    void PowerOff() override;
    std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) override;

    // Card memory for elementary files, in bytes.
    enum { MEMORY = 64 * 1024 };

  protected:
    static constexpr size_t MAC_LENGTH = 4;
    static constexpr size_t BLOCK = 8;
    static constexpr size_t LONGEST_NAME = 16;
    static constexpr size_t LONGEST_PIN = 8;
    static constexpr size_t LONGEST_BINARY = 0x7FFF;
    static constexpr size_t MOST_RECORDS = 254;
    static constexpr size_t MOST_KEYS = 32;
    static constexpr size_t SERIAL_LENGTH = 8;
    static constexpr unsigned char SFI_RESERVED = 31;

    // The commands this card answers; a variant's constructor adds or
    // replaces rows.
    CZUSimCommandTable& Commands() { return m_commands; }

    // Where a key or PIN is looked up: the key files of `from` and of its
    // parents (a SAM: its key table). Null when there is none.
    virtual CZUSimKey* LookUp(const CZUSimFile* from, unsigned char number, bool pin,
                              const void** owner);
    // Where WRITE KEY stores its record (a SAM: its key table): 90 00 and
    // the store, or the status word that refuses the write. Plain and secure
    // writes alike are held to the key file's write condition.
    virtual unsigned short KeyTarget(bool secure, CZUSimKeyStore** store);
    // Whether the plain key record may be stored (a SAM's own conditions).
    virtual unsigned short MayStoreKey(bool /*secure*/, const SimBytes& /*record*/) {
        return SW_OK;
    }
    // File types this card creates (ZUICSIM.h).
    virtual bool SupportsType(unsigned char type) const;
    // The text in the answer to reset's historical bytes.
    virtual std::string Name() const { return "ZUSIM-CARD"; }
    // Forgets the volatile state of a session (power off, reset).
    virtual void ForgetSession();

    // 90 00 when the access condition is met for a file of the DF `from`
    // in this session, else the status word that refuses the command.
    unsigned short Condition(const CZUSimFile* from, unsigned char condition, bool secureMessaging);
    // The challenge of GET CHALLENGE, used up by the command that uses it.
    bool TakeChallenge(unsigned char challenge[8]);
    // Checks the MAC at the end of a secure-messaging command under the key;
    // uses the challenge up. 90 00, 69 85 without a challenge, 69 88.
    unsigned short CheckMac(const CommandApdu& cmd, const SimBytes& key);
    // Forgets that a key or PIN was presented (it was replaced).
    void ForgetPresented(const void* owner, unsigned char number);

    // Authentication data of 8 bytes, or (anyLength) of any length: at
    // least one byte inside, at least the 8-byte cryptogram outside.
    CZUSimAnswer InternalAuthentication(const CommandApdu& cmd, bool anyLength);
    CZUSimAnswer ExternalAuthentication(const CommandApdu& cmd, bool anyLength);
    // CREATE FILE (80 E0): the master file, an application DF or an EF.
    CZUSimAnswer CreateFile(const CommandApdu& cmd);
    // Gives the new EF its identifier and default short identifier and adds
    // it under the current DF, once creation is allowed there and neither
    // identifier nor card memory stands in the way.
    CZUSimAnswer AddEF(const CommandApdu& cmd, std::unique_ptr<CZUSimFile> file);

  private:
    // File system and selection. SELECT FILE answers SelectDF and SelectEF.
    CZUSimAnswer SelectFile(const CommandApdu& cmd);
    CZUSimAnswer Fci(const CZUSimFile& file, unsigned char p2) const;
    // The EF a binary or record command addresses: the current EF, or the
    // one named by a short file identifier (which then becomes current).
    unsigned short Target(unsigned char sfi, CZUSimFile** file);
    unsigned short Access(CZUSimFile& file, bool write, bool secureMessaging);
    CZUSimFile* FindChild(CZUSimFile* dir, const unsigned char* fid) const;
    CZUSimFile* FindByName(CZUSimFile* dir, const unsigned char* name, size_t length) const;
    CZUSimFile* FirstKeyFile(CZUSimFile* dir) const;

    // Binary and records. ReadBinaryFile; UpdateBinaryFile, plain or under
    // secure messaging (UpdateBinaryFileWithMac, UpdateBinaryWithSoftwareMac);
    // ReadRecord; UpdateRecord, plain or secure (UpdateRecordWithMAC).
    CZUSimAnswer ReadBinary(const CommandApdu& cmd);
    CZUSimAnswer UpdateBinary(const CommandApdu& cmd);
    CZUSimAnswer ReadRecord(const CommandApdu& cmd);
    CZUSimAnswer UpdateRecord(const CommandApdu& cmd);
    CZUSimAnswer AppendRecord(const CommandApdu& cmd);
    // The binary file and offset that READ or UPDATE BINARY names, once its
    // access condition is met; the status word to refuse with otherwise.
    unsigned short BinaryTarget(const CommandApdu& cmd, bool write, bool secureMessaging,
                                CZUSimFile** file, size_t* offset);
    // The record file of short identifier sfi (0: the current file), once
    // its access condition is met; the status word to refuse with otherwise.
    unsigned short RecordTarget(unsigned char sfi, bool write, bool secureMessaging,
                                CZUSimFile** file);
    // The record a record command names (1-based), or 0 and *sw.
    size_t RecordIndex(const CZUSimFile& file, unsigned char p1, unsigned char mode, bool moves,
                       unsigned short* sw);
    unsigned short CheckRecord(const CZUSimFile& file, const unsigned char* data,
                               size_t length) const;

    // Creation and erase.
    CZUSimAnswer EraseMF(const CommandApdu& cmd);
    // The erase key that EraseMF presents when the card refuses to erase.
    CZUSimAnswer EraseMFKey(const CommandApdu& cmd);
    CZUSimAnswer CreateMF(const CommandApdu& cmd);
    CZUSimAnswer CreateADF(const CommandApdu& cmd);
    CZUSimAnswer CreateEF(const CommandApdu& cmd);
    CZUSimAnswer CreateEnd(const CommandApdu& cmd);
    unsigned short MayCreate();
    CZUSimAnswer Adopt(std::unique_ptr<CZUSimFile> file);
    size_t UsedMemory(const CZUSimFile& from) const;

    // Security: PIN, challenge, keys, MAC checking.
    CZUSimAnswer VerifyPin(const CommandApdu& cmd);
    CZUSimAnswer ChangePin(const CommandApdu& cmd);
    // GET CHALLENGE.
    CZUSimAnswer GenerateRandom(const CommandApdu& cmd);
    // WriteKey, plain, or under secure messaging (WriteKeyWithEncryptionAndMAC,
    // WriteSAMKeyWithSoftwareCalc).
    CZUSimAnswer WriteKey(const CommandApdu& cmd);
    // The PIN of VERIFY or CHANGE PIN, found from the current DF and not
    // blocked; else the status word to refuse with.
    unsigned short UsablePin(unsigned char number, CZUSimKey** pin, const void** owner);
    // The key of INTERNAL or EXTERNAL AUTHENTICATE, found from the current DF,
    // not blocked and meant for the usage; else the status word to refuse with.
    unsigned short AuthenticationKey(unsigned char number, unsigned char usage, CZUSimKey** key,
                                     const void** owner);
    // Checks the MAC of a 04 D6 / 04 DC command against the file's key and
    // strips it; nothing is written when the status word is not 90 00.
    unsigned short SecureWrite(const CommandApdu& cmd, CZUSimFile& file, size_t* dataLength);

    CZUSimCommandTable m_commands;

    std::unique_ptr<CZUSimFile> m_master;
    CZUSimFile* m_currentDF = nullptr;
    CZUSimFile* m_currentEF = nullptr;
    size_t m_currentRecord = 0; // 1-based; 0 none

    unsigned char m_challenge[8] = {0};
    bool m_haveChallenge = false;
    bool m_eraseKeyPresented = false;
    std::set<std::pair<const void*, int>> m_verified;      // (owner, PIN number)
    std::set<std::pair<const void*, int>> m_authenticated; // (owner, key number)
    std::mt19937_64 m_random;
};

#endif
