// The social-security SAM's key export.
#include "sim/CZUSimSBSAM.h"
#include "common/StatusWords.h"
#include "sim/ZUSimAttributes.h"
#include "softenc.h"

CZUSimAnswer CZUSimSBSAM::Dispatch(const CommandApdu& cmd) {
    if (cmd.cla == 0x80 && cmd.ins == 0xF6) {
        return ExportKey(cmd);
    }
    return CZUSimSAM::Dispatch(cmd);
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
