// CZUSBIC: the social-security user card's records, answer-to-reset file and
// authentication.
#include "ZUICAPI.h"
#include "card/CardClass.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"
#include "sam/VariableAuthentication.h"

ZU_DEFINE_CARD_MEMBERS(CZUSBIC, CZUICAPI)

namespace {
const unsigned long TAG_AND_LENGTH = 2;
const unsigned long LONGEST_RECORD = 255;
const unsigned long RECORD_ANSWER_ROOM = 512;

unsigned char RecordP2(unsigned char sfi, unsigned char referenceMode) {
    return static_cast<unsigned char>(((sfi << 3) | referenceMode) & 0xFF);
}

int SendRecordUpdate(CZUReader& card, unsigned char cla, unsigned char recordNo, unsigned char sfi,
                     unsigned char referenceMode, unsigned char* data, unsigned long length) {
    CCommandBuffer<260> cmd(cla, INS_UPDATE_RECORD, recordNo, RecordP2(sfi, referenceMode));
    cmd.Append(data, length);
    return cmd.SendData(card, nullptr, nullptr);
}
} // namespace

int CZUSBIC::CreateATRFile(unsigned char* fileId, unsigned char attr1, unsigned char* body,
                           unsigned long bodyLength) {
    if (fileId == nullptr) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<128> cmd(CLA_PROPRIETARY, INS_CREATE_FILE, 0x02, 0x00);
    cmd.Append(fileId, 2).Append(attr1).Append(body, bodyLength);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUSBIC::ReadRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                        unsigned long length, unsigned char* buffer, int withTagAndLength) {
    const unsigned long extra = withTagAndLength ? TAG_AND_LENGTH : 0;
    if (length > LONGEST_RECORD - extra) {
        return RefuseUnsent(*this, ZU_E_INPUT_TOO_LONG);
    }
    if (buffer == nullptr && length != 0) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    CCommandBuffer<5> cmd(CLA_ISO, INS_READ_RECORD, recordNo, RecordP2(sfi, referenceMode));
    unsigned char answer[RECORD_ANSWER_ROOM];
    CScopeWipe wipeAnswer(answer, sizeof answer); // the record, which may be secret
    unsigned long count = sizeof answer;
    if (cmd.SendHeader(*this, static_cast<unsigned char>(length + extra), answer, &count) == 0) {
        return 0;
    }
    if (count < extra) {
        return RefuseAnswer(); // no room for the tag and length the record should carry
    }
    unsigned long value = count - extra;
    if (value > length) {
        value = length; // never more than the caller asked for
    }
    if (value != 0) {
        std::memcpy(buffer, answer + extra, value);
    }
    return 1;
}

int CZUSBIC::UpdateRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                          unsigned char* data, unsigned long length) {
    return SendRecordUpdate(*this, CLA_ISO, recordNo, sfi, referenceMode, data, length);
}

int CZUSBIC::UpdateRecord(unsigned char tag, unsigned char recordNo, unsigned char sfi,
                          unsigned char referenceMode, unsigned char* data, unsigned long length) {
    if (length > LONGEST_RECORD - TAG_AND_LENGTH) {
        return RefuseUnsent(*this, ZU_E_INPUT_TOO_LONG);
    }
    CCommandBuffer<260> cmd(CLA_ISO, INS_UPDATE_RECORD, recordNo, RecordP2(sfi, referenceMode));
    cmd.Append(tag).Append(static_cast<unsigned char>(length)).Append(data, length);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUSBIC::UpdateRecordWithMAC(unsigned char recordNo, unsigned char sfi,
                                 unsigned char referenceMode, unsigned char* data,
                                 unsigned long length) {
    return SendRecordUpdate(*this, CLA_SECURE, recordNo, sfi, referenceMode, data, length);
}

int CZUSBIC::InternalAuthentication(unsigned char* challenge, unsigned long length,
                                    unsigned char* resp) {
    return SendInternalAuthentication(*this, challenge, length, resp);
}

int CZUSBIC::ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                    unsigned long length) {
    return SendExternalAuthentication(*this, keyId, cryptogram, length);
}
