// The social-security SAM: authentication data of any length and key export.
#include "sim/CZUSimSBSAM.h"
#include "common/Instructions.h"
#include "common/StatusWords.h"
#include "ZUICSIM.h"
#include "softenc.h"

#include <functional>

CZUSimSBSAM::CZUSimSBSAM() {
    Commands().Set(CLA_PROPRIETARY, INS_EXPORT_KEY,
                   std::bind(&CZUSimSBSAM::ExportKey, this, std::placeholders::_1), SW_INS_UNKNOWN);
    Commands().Set(CLA_ISO, INS_INTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return InternalAuthentication(cmd, true); });
    Commands().Set(CLA_ISO, INS_EXTERNAL_AUTHENTICATE,
                   [this](const CommandApdu& cmd) { return ExternalAuthentication(cmd, true); });
}

CZUSimAnswer CZUSimSBSAM::ExportKey(const CommandApdu& cmd) {
    if (cmd.lc % 8 != 0) {
        return SimStatus(SW_WRONG_LENGTH);
    }
    CZUSimKey* key = Keys().FindKey(cmd.p1);
    CZUSimKey* wrapping = Keys().FindKey(cmd.p2);
    if (key == nullptr || wrapping == nullptr) {
        return SimStatus(SW_DATA_NOT_FOUND);
    }
    if (wrapping->value.size() != 16) {
        return SimStatus(SW_CONDITIONS);
    }
    // Only under a key-loading key, which no computation of the SAM uses and
    // no caller can write: an export under any other key could be unwrapped
    // with 80 1A / 80 FA.
    if (wrapping->usage != ZUSIM_USE_KEY_LOADING) {
        return SimStatus(SW_KEY_USAGE);
    }
    SimBytes exported(key->value.size());
    if (DiversifyKeyChain(key->value.data(), key->value.size(), cmd.data, cmd.lc,
                          exported.data()) == 0) {
        return SimStatus(SW_WRONG_DATA);
    }
    return SimData(SimWrapKeyBlock(wrapping->value.data(), exported), SW_OK);
}
