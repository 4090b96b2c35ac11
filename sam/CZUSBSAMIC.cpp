// CZUSBSAMIC: the social-security SAM's authentication and key export.
#include "ZUICAPI.h"
#include "card/CommandBuffer.h"
#include "sam/VariableAuthentication.h"

CZUSBSAMIC::CZUSBSAMIC() : CZUSAMIC() {}

CZUSBSAMIC::CZUSBSAMIC(CZUReader* reader) : CZUSAMIC() { CopyReaderParameter(reader); }

CZUSBSAMIC::CZUSBSAMIC(const CZUSBSAMIC& other) : CZUSAMIC(other) {}

CZUSBSAMIC& CZUSBSAMIC::operator=(const CZUSBSAMIC& other) {
    CZUSAMIC::operator=(other);
    return *this;
}

const CZUSBSAMIC& CZUSBSAMIC::operator=(const CZUReader& reader) {
    CopyReaderParameter(&reader);
    return *this;
}

CZUSBSAMIC::~CZUSBSAMIC() {}

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
    CCommandBuffer<128> cmd(0x80, 0xF6, p1, p2);
    cmd.Append(data, length);
    return cmd.SendData(*this, resp, respLen);
}
