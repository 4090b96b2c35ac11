// The simulated card's file system: finding files by identifier, by short
// identifier and by DF name, selection and the file control information,
// and the access conditions of the EF that a command addresses.
#include "common/Instructions.h"
#include "sim/CZUSimCard.h"
#include "ZUICSIM.h"

#include <cstring>

namespace {

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

} // namespace

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

CZUSimAnswer CZUSimCard::SelectFile(const CommandApdu& cmd) {
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
