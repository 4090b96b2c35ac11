// The social-security user card: its own file types, the answer-to-reset
// file and authentication data of any length.
#include "sim/CZUSimSBCard.h"
#include "common/Instructions.h"
#include "ZUICSIM.h"

#include <functional>

namespace {
const unsigned char ATR_FILE[2] = {0x2F, 0x01};
} // namespace

CZUSimSBCard::CZUSimSBCard() {
    Commands().Set(CLA_PROPRIETARY, INS_CREATE_FILE,
                   std::bind(&CZUSimSBCard::CreateFile, this, std::placeholders::_1));
    Commands().Set(CLA_ISO, INS_INTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return InternalAuthentication(cmd, true); });
    Commands().Set(CLA_ISO, INS_EXTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return ExternalAuthentication(cmd, true); });
}

bool CZUSimSBCard::SupportsType(unsigned char type) const {
    return type == ZUSIM_EF_TLV || CZUSimCard::SupportsType(type);
}

CZUSimAnswer CZUSimSBCard::CreateFile(const CommandApdu& cmd) {
    if (cmd.p1 == 0x02 && cmd.lc >= 3 && cmd.data[0] == ATR_FILE[0] && cmd.data[1] == ATR_FILE[1]) {
        return CreateATRFile(cmd);
    }
    return CZUSimCard::CreateFile(cmd);
}

CZUSimAnswer CZUSimSBCard::CreateATRFile(const CommandApdu& cmd) {
    if (cmd.p2 != 0x00) {
        return SimStatus(SW_WRONG_P1P2);
    }
    if (cmd.lc == 3) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    auto file = std::make_unique<CZUSimFile>();
    file->kind = CZUSimFile::ELEMENTARY;
    file->type = ZUSIM_EF_BINARY;
    file->readCondition = ZUSIM_AC_FREE;
    file->writeCondition = cmd.data[2];
    file->size = cmd.lc - 3;
    file->binary.assign(cmd.data + 3, cmd.data + cmd.lc);
    return AddEF(cmd, std::move(file));
}
