// CZUSBSAMIC: the social-security SAM's authentication and key export.
#include "ZUICAPI.h"
#include "card/CardClass.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"
#include "sam/VariableAuthentication.h"

ZU_DEFINE_CARD_MEMBERS(CZUSBSAMIC, CZUSAMIC)

int CZUSBSAMIC::InternalAuthentication(unsigned char* challenge, unsigned long length,
                                       unsigned char* resp) {
    return SendInternalAuthentication(*this, challenge, length, resp);
}

int CZUSBSAMIC::ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                       unsigned long length) {
    return SendExternalAuthentication(*this, keyId, cryptogram, length);
}

int CZUSBSAMIC::ExportKey(unsigned char p1, unsigned char p2, unsigned char* data,
                          unsigned long length, unsigned char* resp, unsigned long* respLen) {
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_EXPORT_KEY, p1, p2);
    cmd.Append(data, length);
    return cmd.SendData(*this, resp, respLen);
}
