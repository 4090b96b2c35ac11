// The simulated card's file-system creation and erase: the master file, the
// application DFs and the EFs, the end of creation, and the erase of the
// whole file system under an erase key.
#include "card/EraseKeys.h"
#include "common/Instructions.h"
#include "sim/CZUSimCard.h"
#include "ZUICSIM.h"

#include <algorithm>
#include <cstring>

namespace {

const unsigned char MASTER_ID[2] = {0x3F, 0x00};

bool ReservedId(const unsigned char* fid) {
    return (fid[0] == 0x3F && fid[1] == 0x00) || (fid[0] == 0xFF && fid[1] == 0xFF);
}

} // namespace

CZUSimAnswer CZUSimCard::EraseMF(const CommandApdu& cmd) {
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

CZUSimAnswer CZUSimCard::EraseMFKey(const CommandApdu& cmd) {
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

CZUSimAnswer CZUSimCard::CreateFile(const CommandApdu& cmd) {
    switch (cmd.p1) {
    case 0x00: // the master file
        return CreateMF(cmd);
    case 0x01: // an application DF under the current DF
        return CreateADF(cmd);
    case 0x02: // an EF under the current DF
        return CreateEF(cmd);
    default:
        return SimStatus(SW_WRONG_P1P2);
    }
}

CZUSimAnswer CZUSimCard::CreateMF(const CommandApdu& cmd) {
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

CZUSimAnswer CZUSimCard::CreateADF(const CommandApdu& cmd) {
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

CZUSimAnswer CZUSimCard::CreateEF(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc != 7) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    auto file = std::make_unique<CZUSimFile>();
    file->kind = CZUSimFile::ELEMENTARY;
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
        if (file->maxRecords == 0 || file->maxRecords > MOST_RECORDS || file->recordLength == 0 ||
            (file->type == ZUSIM_EF_TLV && file->recordLength < 2)) {
            return SimStatus(SW_WRONG_DATA);
        }
    }
    return AddEF(cmd, std::move(file));
}

CZUSimAnswer CZUSimCard::AddEF(const CommandApdu& cmd, std::unique_ptr<CZUSimFile> file) {
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

CZUSimAnswer CZUSimCard::CreateEnd(const CommandApdu& cmd) {
    if (cmd.lc != 0 || (cmd.hasLe && cmd.raw[4] != 0x00)) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    if (!m_master) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    // Only a file in reach: the current DF or a file directly in it (the
    // current EF is one). The master file is in reach as the current DF
    // alone: after its creation, a reset or SELECT 3F00.
    const unsigned char fid[2] = {cmd.p1, cmd.p2};
    CZUSimFile* file = m_currentDF->Is(fid) ? m_currentDF : FindChild(m_currentDF, fid);
    if (file == nullptr) {
        return SimStatus(SW_FILE_NOT_FOUND);
    }
    if (!file->inCreation) {
        return SimStatus(SW_CONDITIONS);
    }
    file->inCreation = false;
    return SimStatus(SW_OK);
}
