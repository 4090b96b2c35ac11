// CZUSAMIC: the SAM's key preparation, DES computation and diversification.
#include "ZUICAPI.h"
#include "card/CardClass.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"

ZU_DEFINE_CARD_MEMBERS(CZUSAMIC, CZUICAPI)

namespace {
const unsigned long FACTOR_LENGTH = 8;
} // namespace

int CZUSAMIC::InitForDESCrypt(unsigned char p1, unsigned char p2, unsigned char* data,
                              unsigned long length) {
    CCommandBuffer<256> cmd(CLA_PROPRIETARY, INS_INIT_FOR_DES_CRYPT, p1, p2);
    cmd.Append(data, length); // a null data with a length is refused, never sent
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUSAMIC::DESCrypt(unsigned char p1, unsigned char* data, unsigned long length,
                       unsigned char* resp, unsigned long* respLen) {
    CCommandBuffer<256> cmd(CLA_PROPRIETARY, INS_DES_CRYPT, p1, 0x00);
    cmd.Append(data, length);
    return cmd.SendData(*this, resp, respLen);
}

int CZUSAMIC::M1AuthAndKeyCalc(unsigned char p1, unsigned char p2, unsigned char* data,
                               unsigned long length, unsigned char* resp, unsigned long* respLen) {
    CCommandBuffer<256> cmd(CLA_PROPRIETARY, INS_M1_AUTH_AND_KEY_CALC, p1, p2);
    cmd.Append(data, length);
    return cmd.SendData(*this, resp, respLen);
}

int CZUSAMIC::Diversify(unsigned char p1, unsigned char p2, unsigned char* factor,
                        unsigned char* diversifiedKey) {
    if (factor == nullptr || diversifiedKey == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    // One hold for the whole sequence: nobody slips a command in between.
    CZUTransaction hold(*this);
    if (hold.Failed()) {
        return RefuseUnheld(*this);
    }
    // Left half: the SAM's answer for the factor; right half: for its
    // complement, formed once the left half is in.
    unsigned char complement[FACTOR_LENGTH];
    for (int half = 0; half < 2; ++half) {
        unsigned char* input = factor;
        if (half == 1) {
            for (unsigned long i = 0; i < FACTOR_LENGTH; ++i) {
                complement[i] = static_cast<unsigned char>(~factor[i]);
            }
            input = complement;
        }
        if (InitForDESCrypt(p1, p2, nullptr, 0) == 0) {
            return 0;
        }
        unsigned long count = FACTOR_LENGTH;
        if (DESCrypt(0x00, input, FACTOR_LENGTH, diversifiedKey + half * FACTOR_LENGTH, &count) ==
            0) {
            return 0;
        }
    }
    return 1;
}
