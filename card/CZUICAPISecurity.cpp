// CZUICAPI: PIN, challenge, authentication and key loading.
#include "ZUICAPI.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"

namespace {
const unsigned char PIN_SEPARATOR = 0xFF;
const unsigned long AUTH_BLOCK = 8;
const unsigned long CHALLENGE_STEP = 8;
const unsigned long PIN_PAIR_MAX = 10;

int WriteKeyCommand(CZUReader& card, unsigned char cla, unsigned char p1, unsigned char* keyData,
                    unsigned long keyDataLength) {
    CCommandBuffer<128> cmd(cla, INS_WRITE_KEY, p1, 0x00);
    cmd.Append(keyData, keyDataLength);
    return cmd.SendData(card, nullptr, nullptr);
}
} // namespace

int CZUICAPI::VerifyPin(unsigned char* pin, unsigned long pinLength, int& remainingTries) {
    CCommandBuffer<16> cmd(CLA_ISO, INS_VERIFY, 0x00, 0x00);
    cmd.Append(pin, pinLength);
    if (!cmd.Ok()) {
        return RefuseUnsent(*this, cmd.Refusal());
    }
    int result = cmd.SendData(*this, nullptr, nullptr);
    if (result != 0) {
        return result;
    }
    unsigned short sw = GetSW();
    unsigned char sw1 = static_cast<unsigned char>(sw >> 8);
    unsigned char sw2 = static_cast<unsigned char>(sw & 0xFF);
    if (sw1 == 0x63) {
        if ((sw2 & 0xF0) == 0xC0) {
            remainingTries = sw2 & 0x0F;
        }
    } else if (sw == 0x6983) {
        remainingTries = 0;
    } else {
        remainingTries = -1;
    }
    return result;
}

int CZUICAPI::ChangePin(unsigned char* oldPin, unsigned long oldPinLength, unsigned char* newPin,
                        unsigned long newPinLength) {
    if (oldPinLength > PIN_PAIR_MAX || newPinLength > PIN_PAIR_MAX ||
        oldPinLength + newPinLength > PIN_PAIR_MAX) {
        return RefuseUnsent(*this, ZU_E_INPUT_TOO_LONG);
    }
    CCommandBuffer<16> cmd(CLA_PROPRIETARY, INS_CHANGE_PIN, 0x01, 0x00);
    cmd.Append(oldPin, oldPinLength).Append(PIN_SEPARATOR).Append(newPin, newPinLength);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::GenerateRandom(unsigned char* buffer, unsigned long length) {
    if (buffer == nullptr && length != 0) {
        return RefuseUnsent(*this, ZU_E_INPUT_NULL);
    }
    // One hold for the whole sequence: nobody slips a command in between.
    CZUTransaction hold(*this);
    if (hold.Failed()) {
        return RefuseUnheld(*this);
    }
    const unsigned long step = length < CHALLENGE_STEP ? length : CHALLENGE_STEP;
    CCommandBuffer<5> cmd(CLA_ISO, INS_GET_CHALLENGE, 0x00, 0x00);
    unsigned char answer[CHALLENGE_STEP];
    unsigned long received = step;
    unsigned long gathered = 0;
    for (;;) {
        if (cmd.SendHeader(*this, static_cast<unsigned char>(step), answer, &received) == 0) {
            return 0;
        }
        if (received > CHALLENGE_STEP) {
            received = CHALLENGE_STEP;
        }
        unsigned long wanted = length - gathered;
        if (wanted <= received) {
            if (wanted != 0) {
                std::memcpy(buffer + gathered, answer, wanted);
            }
            return 1;
        }
        if (received == 0) {
            return RefuseAnswer(); // a card that sends no bytes would keep us here for ever
        }
        std::memcpy(buffer + gathered, answer, received);
        gathered += received;
    }
}

int CZUICAPI::InternalAuthentication(unsigned char keyId, unsigned char* challenge,
                                     unsigned char* resp) {
    CCommandBuffer<256> cmd(CLA_ISO, INS_INTERNAL_AUTHENTICATE, 0x00, keyId);
    cmd.Append(challenge, AUTH_BLOCK);
    unsigned long count = AUTH_BLOCK;
    return cmd.SendData(*this, resp, &count);
}

int CZUICAPI::ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram) {
    CCommandBuffer<256> cmd(CLA_ISO, INS_EXTERNAL_AUTHENTICATE, 0x00, keyId);
    cmd.Append(cryptogram, AUTH_BLOCK);
    return cmd.SendData(*this, nullptr, nullptr);
}

int CZUICAPI::WriteKey(unsigned char p1, unsigned char* keyData, unsigned long keyDataLength) {
    return WriteKeyCommand(*this, CLA_PROPRIETARY, p1, keyData, keyDataLength);
}

int CZUICAPI::WriteKeyWithEncryptionAndMAC(unsigned char p1, unsigned char* keyData,
                                           unsigned long keyDataLength) {
    return WriteKeyCommand(*this, CLA_PROPRIETARY_SECURE, p1, keyData, keyDataLength);
}
