// INTERNAL and EXTERNAL AUTHENTICATE with data fields of any length, as the
// social-security card and its SAM take them.
#ifndef ZU_VARIABLEAUTHENTICATION_H
#define ZU_VARIABLEAUTHENTICATION_H

#include "card/CommandBuffer.h"
#include "common/Instructions.h"

// 00 88 00 00 Lc challenge; the answer goes to resp with a capacity of 8.
inline int SendInternalAuthentication(CZUReader& card, unsigned char* challenge,
                                      unsigned long length, unsigned char* resp) {
    CCommandBuffer<260> cmd(CLA_ISO, INS_INTERNAL_AUTHENTICATE, 0x00, 0x00);
    cmd.Append(challenge, length);
    unsigned long count = 8;
    return cmd.SendData(card, resp, &count);
}

// 00 82 00 keyId Lc cryptogram.
inline int SendExternalAuthentication(CZUReader& card, unsigned char keyId,
                                      unsigned char* cryptogram, unsigned long length) {
    CCommandBuffer<260> cmd(CLA_ISO, INS_EXTERNAL_AUTHENTICATE, 0x00, keyId);
    cmd.Append(cryptogram, length);
    return cmd.SendData(card, nullptr, nullptr);
}

#endif
