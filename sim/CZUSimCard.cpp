// The simulated general card's operating system.
#include "sim/CZUSimCard.h"
#include "card/EraseKeys.h"
#include "common/StatusWords.h"
#include "sim/ZUSim.h"
#include "sim/ZUSimAttributes.h"

#include <algorithm>
#include <cstring>

namespace {

enum : unsigned char {
    CLA_ISO = 0x00,
    CLA_ISO_SM = 0x04,
    CLA_OWN = 0x80,
    CLA_OWN_SM = 0x84,
};

const unsigned char MASTER_ID[2] = {0x3F, 0x00};
const size_t MAC_LENGTH = 4;
const size_t BLOCK = 8;
const size_t LONGEST_NAME = 16;
const size_t LONGEST_PIN = 8;
const size_t LONGEST_BINARY = 0x7FFF;
const size_t MOST_RECORDS = 254;
const size_t MOST_KEYS = 32;
const size_t KEY_RECORD_ROOM = 19;
const size_t SERIAL_LENGTH = 8;
const unsigned char SFI_RESERVED = 31;

// File descriptor bytes of ISO/IEC 7816-4 for the FCI.
unsigned char Descriptor(const CZUSimFile& file) {
    if (file.IsDirectory()) {
        return 0x38;
    }
    switch (file.type) {
    case ZUSIM_EF_BINARY:
        return 0x01;
    case ZUSIM_EF_FIXED:
        return 0x02;
    case ZUSIM_EF_VARIABLE:
        return 0x04;
    case ZUSIM_EF_CYCLIC:
        return 0x06;
    case ZUSIM_EF_TLV:
        return 0x05;
    default:
        return 0x09; // internal EF: the keys
    }
}

void PutTag(std::vector<unsigned char>& out, unsigned char tag, const unsigned char* value,
            size_t length) {
    out.push_back(tag);
    out.push_back(static_cast<unsigned char>(length));
    out.insert(out.end(), value, value + length);
}

bool ReservedId(const unsigned char* fid) {
    return (fid[0] == 0x3F && fid[1] == 0x00) || (fid[0] == 0xFF && fid[1] == 0xFF);
}

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

CZUSimCard::CZUSimCard() : m_random(std::random_device{}()) {}

CZUSimCard::~CZUSimCard() = default;

std::vector<unsigned char> CZUSimCard::PowerOn() {
    ForgetSession();
    return SimAnswerToReset(Name(), false);
}

void CZUSimCard::PowerOff() {
    ForgetSession();
}

void CZUSimCard::ForgetSession() {
    m_currentDF = m_master.get();
    m_currentEF = nullptr;
    m_currentRecord = 0;
    std::memset(m_challenge, 0, sizeof m_challenge);
    m_haveChallenge = false;
    m_eraseKeyPresented = false;
    m_verified.clear();
    m_authenticated.clear();
}

std::vector<unsigned char> CZUSimCard::Process(const unsigned char* apdu, size_t length) {
    CommandApdu cmd;
    if (!cmd.Parse(apdu, length)) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if ((cmd.cla & 0x80) == 0) {
        if ((cmd.cla & 0x10) != 0) {
            return SimStatus(SW_NO_CHAINING);
        }
        if ((cmd.cla & 0x03) != 0) {
            return SimStatus(SW_NO_CHANNEL);
        }
    }
    if (cmd.cla != CLA_ISO && cmd.cla != CLA_ISO_SM && cmd.cla != CLA_OWN &&
        cmd.cla != CLA_OWN_SM) {
        return SimStatus(SW_CLA_UNKNOWN);
    }
    return Dispatch(cmd);
}

CZUSimAnswer CZUSimCard::Dispatch(const CommandApdu& cmd) {
    const bool iso = cmd.cla == CLA_ISO;
    const bool own = cmd.cla == CLA_OWN;
    auto only = [](bool classOk, CZUSimAnswer (CZUSimCard::*handler)(const CommandApdu&),
                   CZUSimCard* card, const CommandApdu& c) {
        return classOk ? (card->*handler)(c) : SimStatus(SW_CLA_UNKNOWN);
    };
    switch (cmd.ins) {
    case 0xA4:
        return only(iso, &CZUSimCard::Select, this, cmd);
    case 0xB0:
        return only(iso, &CZUSimCard::ReadBinary, this, cmd);
    case 0xD6:
        return only(iso || cmd.cla == CLA_ISO_SM, &CZUSimCard::UpdateBinary, this, cmd);
    case 0xB2:
        return only(iso, &CZUSimCard::ReadRecord, this, cmd);
    case 0xDC:
        return only(iso || cmd.cla == CLA_ISO_SM, &CZUSimCard::UpdateRecord, this, cmd);
    case 0xE2:
        return only(iso, &CZUSimCard::AppendRecord, this, cmd);
    case 0x20:
        return only(iso, &CZUSimCard::Verify, this, cmd);
    case 0x84:
        return only(iso, &CZUSimCard::GetChallenge, this, cmd);
    case 0x88:
        return only(iso, &CZUSimCard::InternalAuthenticate, this, cmd);
    case 0x82:
        return only(iso, &CZUSimCard::ExternalAuthenticate, this, cmd);
    case 0xC0:
        // GET RESPONSE: this card hands every answer over at once, so nothing
        // is ever waiting (the T=0 answering keeps its own).
        return SimStatus(iso ? SW_CONDITIONS : SW_CLA_UNKNOWN);
    case 0x5E:
        return only(own, &CZUSimCard::ChangePin, this, cmd);
    case 0xD4:
        return only(own || cmd.cla == CLA_OWN_SM, &CZUSimCard::WriteKey, this, cmd);
    case 0x0E:
        return only(own, &CZUSimCard::Erase, this, cmd);
    case 0xD8:
        return only(own, &CZUSimCard::PresentKey, this, cmd);
    case 0xE0:
        return only(own, &CZUSimCard::Create, this, cmd);
    case 0xEA:
        return only(own, &CZUSimCard::EndCreation, this, cmd);
    default:
        return SimStatus(SW_INS_UNKNOWN);
    }
}

// ---------------------------------------------------------------- lookup

CZUSimFile* CZUSimCard::FindChild(CZUSimFile* dir, const unsigned char* fid) const {
    if (dir == nullptr) {
        return nullptr;
    }
    for (auto& child : dir->children) {
        if (child->Is(fid)) {
            return child.get();
        }
    }
    return nullptr;
}

CZUSimFile* CZUSimCard::FindByName(CZUSimFile* dir, const unsigned char* name,
                                   size_t length) const {
    if (dir == nullptr) {
        return nullptr;
    }
    if (dir->IsDirectory() && dir->name.size() == length && length != 0 &&
        std::memcmp(dir->name.data(), name, length) == 0) {
        return dir;
    }
    for (auto& child : dir->children) {
        if (CZUSimFile* found = FindByName(child.get(), name, length)) {
            return found;
        }
    }
    return nullptr;
}

CZUSimFile* CZUSimCard::FirstKeyFile(CZUSimFile* dir) const {
    if (dir == nullptr) {
        return nullptr;
    }
    for (auto& child : dir->children) {
        if (child->kind == CZUSimFile::ELEMENTARY && child->type == ZUSIM_EF_KEYS) {
            return child.get();
        }
    }
    return nullptr;
}

CZUSimKey* CZUSimCard::LookUp(const CZUSimFile* from, unsigned char number, bool pin,
                              const void** owner) {
    for (const CZUSimFile* dir = from; dir != nullptr; dir = dir->parent) {
        for (const auto& child : dir->children) {
            if (child->kind != CZUSimFile::ELEMENTARY || child->type != ZUSIM_EF_KEYS) {
                continue;
            }
            CZUSimKey* key = pin ? child->keys.FindPin(number) : child->keys.FindKey(number);
            if (key != nullptr) {
                *owner = &child->keys;
                return key;
            }
        }
    }
    return nullptr;
}

CZUSimKey* CZUSimCard::FindPin(unsigned char number, const void** owner) {
    return LookUp(m_currentDF, number, true, owner);
}

unsigned short CZUSimCard::KeyTarget(bool /*secure*/, CZUSimKeyStore** store) {
    CZUSimFile* file = (m_currentEF != nullptr && m_currentEF->type == ZUSIM_EF_KEYS)
                           ? m_currentEF
                           : FirstKeyFile(m_currentDF);
    if (file == nullptr) {
        return SW_FILE_NOT_FOUND;
    }
    // A key file's write condition holds for plain and secure writes alike;
    // secure messaging protects the transfer, it does not stand in for it.
    if (!file->inCreation) {
        unsigned short sw = Condition(file->parent, file->writeCondition, false);
        if (sw != SW_OK) {
            return sw;
        }
    }
    *store = &file->keys;
    return SW_OK;
}

bool CZUSimCard::SupportsType(unsigned char type) const {
    return type >= ZUSIM_EF_BINARY && type <= ZUSIM_EF_KEYS;
}

bool CZUSimCard::IsATRFile(const unsigned char*) const {
    return false;
}

// -------------------------------------------------------- security state

unsigned short CZUSimCard::Condition(const CZUSimFile* from, unsigned char condition,
                                     bool secureMessaging) {
    if (condition == ZUSIM_AC_NEVER) {
        return SW_NOT_ALLOWED;
    }
    const unsigned char number = condition & 0x0F;
    const void* owner = nullptr;
    switch (condition & 0xF0) {
    case ZUSIM_AC_FREE:
        return SW_OK;
    case ZUSIM_AC_PIN:
        if (LookUp(from, number, true, &owner) != nullptr &&
            m_verified.count({owner, number}) != 0) {
            return SW_OK;
        }
        return SW_SECURITY;
    case ZUSIM_AC_AUTH:
        if (LookUp(from, number, false, &owner) != nullptr &&
            m_authenticated.count({owner, number}) != 0) {
            return SW_OK;
        }
        return SW_SECURITY;
    case ZUSIM_AC_SM:
        return secureMessaging ? SW_OK : SW_SECURITY;
    default:
        return SW_NOT_ALLOWED;
    }
}

void CZUSimCard::ForgetPresented(const void* owner, unsigned char number) {
    m_verified.erase({owner, number});
    m_authenticated.erase({owner, number});
}

bool CZUSimCard::TakeChallenge(unsigned char challenge[8]) {
    if (!m_haveChallenge) {
        return false;
    }
    std::memcpy(challenge, m_challenge, sizeof m_challenge);
    m_haveChallenge = false;
    return true;
}

unsigned short CZUSimCard::CheckMac(const CommandApdu& cmd, const SimBytes& key) {
    unsigned char challenge[8];
    if (!TakeChallenge(challenge)) {
        return SW_CONDITIONS;
    }
    const size_t covered = 5 + cmd.lc - MAC_LENGTH; // header with Lc, and the data
    if (!SimMacMatches(key, challenge, cmd.raw, covered, cmd.raw + covered)) {
        return SW_SM_WRONG;
    }
    return SW_OK;
}

unsigned short CZUSimCard::Target(unsigned char sfi, CZUSimFile** file) {
    if (sfi == 0) {
        if (m_currentEF == nullptr) {
            return SW_NOT_ALLOWED;
        }
        *file = m_currentEF;
        return SW_OK;
    }
    if (m_currentDF != nullptr) {
        for (auto& child : m_currentDF->children) {
            if (child->kind == CZUSimFile::ELEMENTARY && child->sfi == sfi) {
                if (m_currentEF != child.get()) {
                    m_currentEF = child.get();
                    m_currentRecord = 0;
                }
                *file = child.get();
                return SW_OK;
            }
        }
    }
    return SW_FILE_NOT_FOUND;
}

unsigned short CZUSimCard::Access(CZUSimFile& file, bool write, bool secureMessaging) {
    if (file.inCreation) {
        return SW_OK;
    }
    return Condition(file.parent, write ? file.writeCondition : file.readCondition,
                     secureMessaging);
}

unsigned short CZUSimCard::SecureWrite(const CommandApdu& cmd, CZUSimFile& file,
                                       size_t* dataLength) {
    if (cmd.lc < MAC_LENGTH) {
        return SW_WRONG_LENGTH;
    }
    const void* owner = nullptr;
    CZUSimKey* key = LookUp(file.parent, file.writeCondition & 0x0F, false, &owner);
    if (key == nullptr) {
        return SW_DATA_NOT_FOUND;
    }
    if (!key->UseFor(ZUSIM_USE_SECURE_MESSAGING)) {
        return SW_KEY_USAGE;
    }
    unsigned short sw = CheckMac(cmd, key->value);
    if (sw != SW_OK) {
        return sw;
    }
    *dataLength = cmd.lc - MAC_LENGTH;
    return SW_OK;
}

// ------------------------------------------------------------- selection

CZUSimAnswer CZUSimCard::Fci(const CZUSimFile& file, unsigned char p2) const {
    if (p2 == 0x0C) {
        return SimStatus(SW_OK);
    }
    std::vector<unsigned char> body;
    PutTag(body, 0x83, file.fid, 2);
    if (!file.name.empty()) {
        PutTag(body, 0x84, file.name.data(), file.name.size());
    }
    const unsigned char descriptor = Descriptor(file);
    PutTag(body, 0x82, &descriptor, 1);
    if (!file.IsDirectory()) {
        const size_t bytes = file.Footprint();
        const unsigned char size[2] = {static_cast<unsigned char>(bytes >> 8),
                                       static_cast<unsigned char>(bytes & 0xFF)};
        PutTag(body, 0x80, size, 2);
        if (file.sfi != 0) {
            PutTag(body, 0x88, &file.sfi, 1);
        }
    }
    const unsigned char lifeCycle = file.inCreation ? 0x01 : 0x05;
    PutTag(body, 0x8A, &lifeCycle, 1);
    PutTag(body, 0x85, file.proprietary.data(), file.proprietary.size());
    std::vector<unsigned char> fci;
    PutTag(fci, 0x6F, body.data(), body.size());
    return SimData(fci, SW_OK);
}

CZUSimAnswer CZUSimCard::Select(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00 && cmd.p2 != 0x0C) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.p1 > 0x04) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (!m_master) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    CZUSimFile* found = nullptr;
    CZUSimFile* dir = m_currentDF;
    switch (cmd.p1) {
    case 0x00: // MF, DF or EF by identifier
        if (cmd.lc == 0) {
            found = m_master.get();
            break;
        }
        if (cmd.lc != 2) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        if (m_master->Is(cmd.data)) {
            found = m_master.get();
        } else if (dir->Is(cmd.data)) {
            found = dir;
        } else if ((found = FindChild(dir, cmd.data)) == nullptr && dir->parent != nullptr) {
            found = dir->parent->Is(cmd.data) ? dir->parent : FindChild(dir->parent, cmd.data);
        }
        break;
    case 0x01: // a DF under the current one
    case 0x02: // an EF under the current DF
        if (cmd.lc != 2) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        found = FindChild(dir, cmd.data);
        if (found != nullptr && found->IsDirectory() != (cmd.p1 == 0x01)) {
            found = nullptr;
        }
        break;
    case 0x03: // the parent DF
        if (cmd.lc != 0) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        found = dir->parent;
        break;
    default: // by DF name
        if (cmd.lc == 0 || cmd.lc > LONGEST_NAME) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        found = FindByName(m_master.get(), cmd.data, cmd.lc);
        break;
    }
    if (found == nullptr) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    if (found->IsDirectory()) {
        m_currentDF = found;
        m_currentEF = nullptr;
    } else {
        m_currentDF = found->parent;
        m_currentEF = found;
    }
    m_currentRecord = 0;
    return Fci(*found, cmd.p2);
}

// ---------------------------------------------------------------- binary

namespace {
// P1 with its top bit set: 100 and a short file identifier, P2 the offset.
bool BinaryAddress(const CommandApdu& cmd, unsigned char* sfi, size_t* offset) {
    if ((cmd.p1 & 0x80) != 0) {
        if ((cmd.p1 & 0x60) != 0) {
            return false;
        }
        *sfi = cmd.p1 & 0x1F;
        *offset = cmd.p2;
        return *sfi != 0;
    }
    *sfi = 0;
    *offset = (static_cast<size_t>(cmd.p1) << 8) | cmd.p2;
    return true;
}
} // namespace

unsigned short CZUSimCard::BinaryTarget(const CommandApdu& cmd, bool write, bool secureMessaging,
                                        CZUSimFile** file, size_t* offset) {
    unsigned char sfi = 0;
    if (!BinaryAddress(cmd, &sfi, offset)) {
        return SW_WRONG_P1P2;
    }
    unsigned short sw = Target(sfi, file);
    if (sw != SW_OK) {
        return sw;
    }
    if ((*file)->type != ZUSIM_EF_BINARY) {
        return SW_INCOMPATIBLE;
    }
    return Access(**file, write, secureMessaging);
}

CZUSimAnswer CZUSimCard::ReadBinary(const CommandApdu& cmd) {
    if (cmd.lc != 0 || !cmd.hasLe) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimFile* file = nullptr;
    size_t offset = 0;
    unsigned short sw = BinaryTarget(cmd, false, false, &file, &offset);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if (offset >= file->size) {
        return SimStatus(SW_WRONG_OFFSET);
    }
    const size_t remaining = file->size - offset;
    size_t count = cmd.le;
    if (cmd.raw[4] == 0x00) {
        count = std::min(count, remaining); // Le 00: as much as there is, up to 256
    } else if (count > remaining) {
        return SimStatus(static_cast<unsigned short>(SW_WRONG_LE | remaining));
    }
    return SimData(file->binary.data() + offset, count, SW_OK);
}

CZUSimAnswer CZUSimCard::UpdateBinary(const CommandApdu& cmd) {
    const bool secure = cmd.cla == CLA_ISO_SM;
    if (cmd.lc == 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimFile* file = nullptr;
    size_t offset = 0;
    unsigned short sw = BinaryTarget(cmd, true, secure, &file, &offset);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    size_t length = cmd.lc;
    if (secure && (sw = SecureWrite(cmd, *file, &length)) != SW_OK) {
        return SimStatus(sw);
    }
    if (offset >= file->size) {
        return SimStatus(SW_WRONG_OFFSET);
    }
    if (length > file->size - offset) {
        return SimStatus(SW_NO_SPACE);
    }
    std::memcpy(file->binary.data() + offset, cmd.data, length);
    return SimStatus(SW_OK);
}

// --------------------------------------------------------------- records

size_t CZUSimCard::RecordIndex(const CZUSimFile& file, unsigned char p1, unsigned char mode,
                               bool moves, unsigned short* sw) {
    const size_t count = file.records.size();
    size_t index = 0;
    if (mode == 0x04) {
        index = p1 != 0 ? p1 : m_currentRecord;
    } else if (mode <= 0x03) {
        if (p1 != 0) {
            *sw = SW_WRONG_P1P2;
            return 0;
        }
        switch (mode) {
        case 0x00:
            index = 1;
            break;
        case 0x01:
            index = count;
            break;
        case 0x02:
            index = m_currentRecord + 1;
            break;
        default:
            index = m_currentRecord == 0 ? count : m_currentRecord - 1;
            break;
        }
    } else {
        *sw = SW_WRONG_P1P2;
        return 0;
    }
    if (index == 0 || index > count) {
        *sw = SW_RECORD_NOT_FOUND;
        return 0;
    }
    if (moves) {
        m_currentRecord = index;
    }
    return index;
}

unsigned short CZUSimCard::CheckRecord(const CZUSimFile& file, const unsigned char* data,
                                       size_t length) const {
    if (file.type == ZUSIM_EF_FIXED || file.type == ZUSIM_EF_CYCLIC) {
        return length == file.recordLength ? SW_OK : SW_WRONG_LENGTH;
    }
    if (length == 0 || length > file.recordLength) {
        return SW_WRONG_LENGTH;
    }
    if (file.type == ZUSIM_EF_TLV && (length < 2 || data[1] != length - 2)) {
        return SW_WRONG_DATA; // one tag, one length byte, as many value bytes
    }
    return SW_OK;
}

unsigned short CZUSimCard::RecordTarget(unsigned char sfi, bool write, bool secureMessaging,
                                        CZUSimFile** file) {
    unsigned short sw = Target(sfi, file);
    if (sw != SW_OK) {
        return sw;
    }
    if (!(*file)->IsRecordFile()) {
        return SW_INCOMPATIBLE;
    }
    return Access(**file, write, secureMessaging);
}

CZUSimAnswer CZUSimCard::ReadRecord(const CommandApdu& cmd) {
    if (cmd.lc != 0 || !cmd.hasLe) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const unsigned char sfi = cmd.p2 >> 3;
    if (sfi == SFI_RESERVED) {
        return SimStatus(SW_WRONG_P1P2);
    }
    CZUSimFile* file = nullptr;
    unsigned short sw = RecordTarget(sfi, false, false, &file);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    const unsigned char mode = cmd.p2 & 0x07;
    size_t index = RecordIndex(*file, cmd.p1, mode, mode != 0x04, &sw);
    if (index == 0) {
        return SimStatus(sw);
    }
    const std::vector<unsigned char>& record = file->records[index - 1];
    if (cmd.raw[4] != 0x00 && cmd.le != record.size()) {
        return SimStatus(static_cast<unsigned short>(SW_WRONG_LE | record.size()));
    }
    return SimData(record, SW_OK);
}

CZUSimAnswer CZUSimCard::UpdateRecord(const CommandApdu& cmd) {
    const bool secure = cmd.cla == CLA_ISO_SM;
    if (cmd.lc == 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const unsigned char sfi = cmd.p2 >> 3;
    if (sfi == SFI_RESERVED) {
        return SimStatus(SW_WRONG_P1P2);
    }
    CZUSimFile* file = nullptr;
    unsigned short sw = RecordTarget(sfi, true, secure, &file);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    size_t length = cmd.lc;
    if (secure && (sw = SecureWrite(cmd, *file, &length)) != SW_OK) {
        return SimStatus(sw);
    }
    size_t index = RecordIndex(*file, cmd.p1, cmd.p2 & 0x07, (cmd.p2 & 0x07) != 0x04, &sw);
    if (index == 0) {
        return SimStatus(sw);
    }
    if ((sw = CheckRecord(*file, cmd.data, length)) != SW_OK) {
        return SimStatus(sw);
    }
    file->records[index - 1].assign(cmd.data, cmd.data + length);
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::AppendRecord(const CommandApdu& cmd) {
    if (cmd.p1 != 0 || (cmd.p2 & 0x07) != 0 || (cmd.p2 >> 3) == SFI_RESERVED) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimFile* file = nullptr;
    unsigned short sw = RecordTarget(cmd.p2 >> 3, true, false, &file);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if ((sw = CheckRecord(*file, cmd.data, cmd.lc)) != SW_OK) {
        return SimStatus(sw);
    }
    std::vector<unsigned char> record(cmd.data, cmd.data + cmd.lc);
    if (file->type == ZUSIM_EF_CYCLIC) {
        // The newest record is record 1; the oldest falls out when full.
        file->records.insert(file->records.begin(), record);
        if (file->records.size() > file->maxRecords) {
            file->records.pop_back();
        }
        m_currentRecord = 1;
        return SimStatus(SW_OK);
    }
    if (file->records.size() >= file->maxRecords) {
        return SimStatus(SW_NO_SPACE);
    }
    file->records.push_back(record);
    m_currentRecord = file->records.size();
    return SimStatus(SW_OK);
}

// ------------------------------------------------------- PIN, challenge

namespace {
// P2 of VERIFY and CHANGE PIN: the PIN number, global (00-1F) or specific
// to the DF (80-9F); both are looked up from the current DF.
bool PinNumber(unsigned char p2, unsigned char* number) {
    if ((p2 & 0x60) != 0) {
        return false;
    }
    *number = p2 & 0x1F;
    return true;
}
} // namespace

CZUSimAnswer CZUSimCard::Verify(const CommandApdu& cmd) {
    unsigned char number = 0;
    if (cmd.p1 != 0x00 || !PinNumber(cmd.p2, &number)) {
        return SimStatus(SW_WRONG_P1P2);
    }
    const void* owner = nullptr;
    CZUSimKey* pin = FindPin(number, &owner);
    if (pin == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (pin->Blocked()) {
        return SimStatus(SW_BLOCKED);
    }
    if (cmd.lc == 0) { // no PIN: how things stand
        if (m_verified.count({owner, number}) != 0) {
            return SimStatus(SW_OK);
        }
        return SimStatus(static_cast<unsigned short>(SW_TRIES_LEFT | pin->remaining));
    }
    if (!SimSecretMatches(pin->value.data(), pin->value.size(), cmd.data, cmd.lc, LONGEST_PIN)) {
        m_verified.erase({owner, number});
        return SimStatus(pin->Fail());
    }
    pin->remaining = pin->limit;
    m_verified.insert({owner, number});
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::ChangePin(const CommandApdu& cmd) {
    unsigned char number = 0;
    if (cmd.p1 != 0x01 || !PinNumber(cmd.p2, &number)) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const unsigned char* end = cmd.data + cmd.lc;
    const unsigned char* separator = std::find(cmd.data, end, 0xFF);
    if (separator == end) {
        return SimStatus(SW_WRONG_DATA);
    }
    const size_t oldLength = static_cast<size_t>(separator - cmd.data);
    const size_t newLength = static_cast<size_t>(end - separator - 1);
    if (newLength == 0 || newLength > LONGEST_PIN) {
        return SimStatus(SW_WRONG_DATA);
    }
    const void* owner = nullptr;
    CZUSimKey* pin = FindPin(number, &owner);
    if (pin == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (pin->Blocked()) {
        return SimStatus(SW_BLOCKED);
    }
    if (!SimSecretMatches(pin->value.data(), pin->value.size(), cmd.data, oldLength, LONGEST_PIN)) {
        m_verified.erase({owner, number});
        return SimStatus(pin->Fail());
    }
    pin->value.assign(separator + 1, end);
    pin->remaining = pin->limit;
    m_verified.insert({owner, number});
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::GetChallenge(const CommandApdu& cmd) {
    if (cmd.p1 != 0 || cmd.p2 != 0) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != 0 || !cmd.hasLe) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    size_t count = cmd.le;
    if (cmd.raw[4] == 0x00) {
        count = BLOCK; // Le 00: as much as there is
    } else if (count > BLOCK) {
        return SimStatus(static_cast<unsigned short>(SW_WRONG_LE | BLOCK));
    }
    std::memset(m_challenge, 0, sizeof m_challenge);
    for (size_t i = 0; i < count; ++i) {
        m_challenge[i] = static_cast<unsigned char>(m_random() & 0xFF);
    }
    m_haveChallenge = true;
    return SimData(m_challenge, count, SW_OK);
}

// -------------------------------------------------------- authentication

CZUSimAnswer CZUSimCard::InternalAuthenticate(const CommandApdu& cmd) {
    if (cmd.p1 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (AnyLengthAuthentication() ? cmd.lc == 0 : cmd.lc != BLOCK) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const void* owner = nullptr;
    CZUSimKey* key = LookUp(m_currentDF, cmd.p2, false, &owner);
    if (key == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (key->Blocked()) {
        return SimStatus(SW_BLOCKED);
    }
    if (!key->UseFor(ZUSIM_USE_INTERNAL_AUTH)) {
        return SimStatus(SW_KEY_USAGE);
    }
    unsigned char answer[BLOCK];
    SimAuthCryptogram(key->value, cmd.data, cmd.lc, answer);
    return SimData(answer, sizeof answer, SW_OK);
}

CZUSimAnswer CZUSimCard::ExternalAuthenticate(const CommandApdu& cmd) {
    if (cmd.p1 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (AnyLengthAuthentication() ? cmd.lc < BLOCK : cmd.lc != BLOCK) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const void* owner = nullptr;
    CZUSimKey* key = LookUp(m_currentDF, cmd.p2, false, &owner);
    if (key == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (key->Blocked()) {
        return SimStatus(SW_BLOCKED);
    }
    if (!key->UseFor(ZUSIM_USE_EXTERNAL_AUTH)) {
        return SimStatus(SW_KEY_USAGE);
    }
    unsigned char challenge[BLOCK];
    if (!TakeChallenge(challenge)) {
        return SimStatus(SW_CONDITIONS);
    }
    // The challenge, then whatever terminal data come before the cryptogram.
    const size_t terminal = cmd.lc - BLOCK;
    std::vector<unsigned char> input(challenge, challenge + BLOCK);
    input.insert(input.end(), cmd.data, cmd.data + terminal);
    unsigned char expected[BLOCK];
    SimAuthCryptogram(key->value, input.data(), input.size(), expected);
    if (!SimEqual(expected, cmd.data + terminal, BLOCK)) {
        m_authenticated.erase({owner, cmd.p2});
        return SimStatus(key->Fail());
    }
    key->remaining = key->limit;
    m_authenticated.insert({owner, cmd.p2});
    return SimStatus(SW_OK);
}

// --------------------------------------------------------------- keys

CZUSimAnswer CZUSimCard::WriteKey(const CommandApdu& cmd) {
    const bool secure = cmd.cla == CLA_OWN_SM;
    if (cmd.p1 != 0x00 || cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 0 ||
        (secure && (cmd.lc < BLOCK + MAC_LENGTH || (cmd.lc - MAC_LENGTH) % BLOCK != 0))) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimKeyStore* store = nullptr;
    unsigned short sw = KeyTarget(secure, &store);
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    SimBytes record(cmd.data, cmd.data + cmd.lc);
    if (secure) {
        const SimBytes loadingKey(ZUSIM_KEY_LOADING_KEY, ZUSIM_KEY_LOADING_KEY + 16);
        if ((sw = CheckMac(cmd, loadingKey)) != SW_OK) {
            return SimStatus(sw);
        }
        if (!SimUnwrapKeyBlock(loadingKey.data(), cmd.data, cmd.lc - MAC_LENGTH, &record)) {
            return SimStatus(SW_WRONG_DATA);
        }
    }
    if ((sw = MayStoreKey(secure, record)) != SW_OK) {
        return SimStatus(sw);
    }
    sw = store->Store(record.data(), record.size());
    if (sw == SW_OK) {
        ForgetPresented(store, record[0]);
    }
    return SimStatus(sw);
}

// ------------------------------------------------- erase and creation

CZUSimAnswer CZUSimCard::Erase(const CommandApdu& cmd) {
    if (cmd.p1 != 0x00 || cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != 2) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if (!(cmd.data[0] == MASTER_ID[0] && cmd.data[1] == MASTER_ID[1])) {
        return SimStatus(SW_WRONG_DATA); // only the whole file system is erased
    }
    if (m_master && !m_eraseKeyPresented) {
        return SimStatus(SW_SECURITY);
    }
    m_master.reset();
    ForgetSession();
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::PresentKey(const CommandApdu& cmd) {
    if (cmd.p1 != 0x02 || cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != ZU_ERASE_KEY_LENGTH) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    const unsigned char which = m_master ? m_master->eraseKey : 0;
    for (int candidate = 1; candidate <= 2; ++candidate) {
        if (which == 1 && candidate != 1) {
            continue;
        }
        if (which == 2 && candidate != 2) {
            continue;
        }
        unsigned char key[ZU_ERASE_KEY_LENGTH];
        BuildEraseKey(candidate, key);
        const bool match = SimEqual(key, cmd.data, sizeof key);
        std::memset(key, 0, sizeof key);
        if (match) {
            m_eraseKeyPresented = true;
            return SimStatus(SW_OK);
        }
    }
    m_eraseKeyPresented = false;
    return SimStatus(SW_VERIFY_FAILED);
}

unsigned short CZUSimCard::MayCreate() {
    if (m_currentDF == nullptr) {
        return SW_CONDITIONS;
    }
    if (m_currentDF->inCreation) {
        return SW_OK;
    }
    return Condition(m_currentDF, m_currentDF->createCondition, false);
}

size_t CZUSimCard::UsedMemory(const CZUSimFile& from) const {
    size_t used = from.Footprint();
    for (const auto& child : from.children) {
        used += UsedMemory(*child);
    }
    return used;
}

CZUSimAnswer CZUSimCard::Adopt(std::unique_ptr<CZUSimFile> file) {
    file->parent = m_currentDF;
    CZUSimFile* added = file.get();
    m_currentDF->children.push_back(std::move(file));
    if (added->IsDirectory()) {
        m_currentDF = added;
        m_currentEF = nullptr;
    } else {
        m_currentEF = added;
    }
    m_currentRecord = 0;
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::Create(const CommandApdu& cmd) {
    switch (cmd.p1) {
    case 0x00:
        return CreateMaster(cmd);
    case 0x01:
        return CreateDirectory(cmd);
    case 0x02:
        return CreateElementary(cmd);
    default:
        return SimStatus(SW_WRONG_P1P2);
    }
}

CZUSimAnswer CZUSimCard::CreateMaster(const CommandApdu& cmd) {
    const size_t fixed = 2 + SERIAL_LENGTH;
    if (cmd.p2 == 0x00) {
        if (cmd.lc != fixed) {
            return SimStatus(SW_WRONG_LENGTH);
        }
    } else if (cmd.p2 == 0x01) {
        if (cmd.lc <= fixed || cmd.lc > fixed + LONGEST_NAME) {
            return SimStatus(SW_WRONG_LENGTH);
        }
    } else {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (m_master) {
        return SimStatus(SW_FILE_EXISTS);
    }
    auto master = std::make_unique<CZUSimFile>();
    master->kind = CZUSimFile::MASTER;
    std::memcpy(master->fid, MASTER_ID, 2);
    master->createCondition = cmd.data[0];
    master->eraseKey = cmd.data[1];
    master->proprietary.assign(cmd.data, cmd.data + fixed);
    master->name.assign(cmd.data + fixed, cmd.data + cmd.lc);
    m_master = std::move(master);
    m_currentDF = m_master.get();
    m_currentEF = nullptr;
    m_currentRecord = 0;
    return SimStatus(SW_OK);
}

CZUSimAnswer CZUSimCard::CreateDirectory(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc < 5 || cmd.lc > 4 + LONGEST_NAME) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    unsigned short sw = MayCreate();
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if (ReservedId(cmd.data)) {
        return SimStatus(SW_WRONG_DATA);
    }
    if (FindChild(m_currentDF, cmd.data) != nullptr ||
        FindByName(m_master.get(), cmd.data + 4, cmd.lc - 4) != nullptr) {
        return SimStatus(SW_FILE_EXISTS);
    }
    auto dir = std::make_unique<CZUSimFile>();
    dir->kind = CZUSimFile::DIRECTORY;
    std::memcpy(dir->fid, cmd.data, 2);
    dir->createCondition = cmd.data[2];
    dir->proprietary.assign(cmd.data + 2, cmd.data + 4);
    dir->name.assign(cmd.data + 4, cmd.data + cmd.lc);
    return Adopt(std::move(dir));
}

CZUSimAnswer CZUSimCard::CreateElementary(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    auto file = std::make_unique<CZUSimFile>();
    file->kind = CZUSimFile::ELEMENTARY;
    if (cmd.lc >= 3 && IsATRFile(cmd.data)) {
        // fileId, write condition, then the body the file holds.
        if (cmd.lc == 3) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        file->type = ZUSIM_EF_BINARY;
        file->readCondition = ZUSIM_AC_FREE;
        file->writeCondition = cmd.data[2];
        file->size = cmd.lc - 3;
        file->binary.assign(cmd.data + 3, cmd.data + cmd.lc);
    } else {
        if (cmd.lc != 7) {
            return SimStatus(SW_WRONG_LENGTH);
        }
        const unsigned char* a = cmd.data + 2;
        file->type = a[0] & 0x07;
        file->sfi = a[0] >> 3;
        file->readCondition = a[3];
        file->writeCondition = a[4];
        if (!SupportsType(file->type) || file->sfi == SFI_RESERVED) {
            return SimStatus(SW_WRONG_DATA);
        }
        if (file->type == ZUSIM_EF_BINARY) {
            file->size = (static_cast<size_t>(a[1]) << 8) | a[2];
            if (file->size == 0 || file->size > LONGEST_BINARY) {
                return SimStatus(SW_WRONG_DATA);
            }
            file->binary.assign(file->size, 0x00);
        } else if (file->type == ZUSIM_EF_KEYS) {
            file->maxRecords = a[2];
            if (file->maxRecords == 0 || file->maxRecords > MOST_KEYS) {
                return SimStatus(SW_WRONG_DATA);
            }
            file->keys = CZUSimKeyStore(file->maxRecords);
            file->readCondition = ZUSIM_AC_NEVER; // keys are never read out
        } else {
            file->maxRecords = a[1];
            file->recordLength = a[2];
            if (file->maxRecords == 0 || file->maxRecords > MOST_RECORDS ||
                file->recordLength == 0 || (file->type == ZUSIM_EF_TLV && file->recordLength < 2)) {
                return SimStatus(SW_WRONG_DATA);
            }
        }
    }
    std::memcpy(file->fid, cmd.data, 2);
    const bool explicitSfi = file->sfi != 0;
    if (file->sfi == 0) {
        file->sfi = cmd.data[1] & 0x1F; // the default short identifier
    }
    file->proprietary.assign(cmd.data + 2, cmd.data + std::min<size_t>(cmd.lc, 7));
    unsigned short sw = MayCreate();
    if (sw != SW_OK) {
        return SimStatus(sw);
    }
    if (ReservedId(cmd.data)) {
        return SimStatus(SW_WRONG_DATA);
    }
    if (FindChild(m_currentDF, cmd.data) != nullptr) {
        return SimStatus(SW_FILE_EXISTS);
    }
    for (const auto& sibling : m_currentDF->children) {
        if (file->sfi != 0 && sibling->kind == CZUSimFile::ELEMENTARY &&
            sibling->sfi == file->sfi) {
            if (explicitSfi) {
                return SimStatus(SW_FILE_EXISTS);
            }
            file->sfi = 0; // the default is taken: reachable by identifier only
        }
    }
    if (UsedMemory(*m_master) + file->Footprint() > MEMORY) {
        return SimStatus(SW_NO_SPACE);
    }
    return Adopt(std::move(file));
}

CZUSimAnswer CZUSimCard::EndCreation(const CommandApdu& cmd) {
    if (cmd.lc != 0 || (cmd.hasLe && cmd.raw[4] != 0x00)) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if (!m_master) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    const unsigned char fid[2] = {cmd.p1, cmd.p2};
    CZUSimFile* file = nullptr;
    if (m_currentDF->Is(fid)) {
        file = m_currentDF;
    } else if (m_currentEF != nullptr && m_currentEF->Is(fid)) {
        file = m_currentEF;
    } else if ((file = FindChild(m_currentDF, fid)) == nullptr && m_master->Is(fid)) {
        file = m_master.get();
    }
    if (file == nullptr) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    if (!file->inCreation) {
        return SimStatus(SW_CONDITIONS);
    }
    file->inCreation = false;
    return SimStatus(SW_OK);
}
