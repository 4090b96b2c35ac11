// The simulated card's binary and record files: READ and UPDATE BINARY,
// READ, UPDATE and APPEND RECORD, in plain and (updates) secure messaging.
#include "common/Instructions.h"
#include "sim/CZUSimCard.h"
#include "ZUICSIM.h"

#include <algorithm>
#include <cstring>

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
    const bool secure = cmd.cla == CLA_SECURE;
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

size_t CZUSimCard::RecordIndex(const CZUSimFile& file, unsigned char p1, unsigned char mode,
                               bool moves, unsigned short* sw) {
    const size_t count = file.records.size();
    size_t index = 0;
    if (mode == RECORD_BY_NUMBER) {
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
    size_t index = RecordIndex(*file, cmd.p1, mode, mode != RECORD_BY_NUMBER, &sw);
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
    const bool secure = cmd.cla == CLA_SECURE;
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
    size_t index =
        RecordIndex(*file, cmd.p1, cmd.p2 & 0x07, (cmd.p2 & 0x07) != RECORD_BY_NUMBER, &sw);
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
