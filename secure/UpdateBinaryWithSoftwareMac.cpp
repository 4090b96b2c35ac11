// UPDATE BINARY under secure messaging with the MAC computed on the host.
#include "ZUICAPI.h"
#include "common/Instructions.h"
#include "card/BinaryPosition.h"
#include "card/CommandBuffer.h"
#include "softenc.h"

#include <cstring>

namespace {
const unsigned long LONGEST_DATA = 247; // 5 header + 247 data + 4 MAC = 256
const unsigned long MAC_LENGTH = 4;
} // namespace

int UpdateBinaryWithSoftwareMac(CZUICAPI* card, unsigned char* key, unsigned char* data,
                                unsigned long dataLength, unsigned long offset) {
    if (card == nullptr) {
        ZUSetLastError(ZU_E_INPUT_NULL, 0);
        return 0;
    }
    if (key == nullptr || (data == nullptr && dataLength != 0)) {
        return RefuseUnsent(*card, ZU_E_INPUT_NULL);
    }
    if (dataLength > LONGEST_DATA) {
        return RefuseUnsent(*card, ZU_E_INPUT_TOO_LONG);
    }
    if (offset >= ZU_POSITION_LIMIT) {
        return RefuseUnsent(*card, ZU_E_INPUT_RANGE);
    }
    // The challenge and the command it protects go in one hold: a command of
    // another program in between would replace the challenge.
    CZUTransaction hold(*card);
    if (hold.Failed()) {
        return RefuseUnheld(*card);
    }
    unsigned char iv[8] = {0};
    if (card->GenerateRandom(iv, 4) == 0) {
        return 0;
    }
    unsigned char cmd[256] = {CLA_SECURE, INS_UPDATE_BINARY, 0x00, 0x00, 0x00};
    CScopeWipe wipeCommand(cmd, sizeof cmd); // the data, as the other operations' buffers
    cmd[2] = static_cast<unsigned char>((offset >> 8) & 0xFF);
    cmd[3] = static_cast<unsigned char>(offset & 0xFF);
    cmd[4] = static_cast<unsigned char>(dataLength + MAC_LENGTH);
    if (dataLength != 0) {
        std::memcpy(cmd + 5, data, dataLength);
    }
    CDESMac mac;
    mac.Init(key, 16, iv);
    mac.Update(cmd, 5 + dataLength);
    mac.Final(cmd + 5 + dataLength);
    return card->SendCommand(cmd, cmd[4] + 5UL, nullptr, nullptr);
}
