// WRITE KEY under secure messaging with the key block encrypted and the MAC
// computed on the host.
#include "ZUICAPI.h"
#include "card/CommandBuffer.h"
#include "common/Instructions.h"
#include "softenc.h"
#include "softenc/SecureWipe.h"

#include <cstring>

namespace {
const unsigned long LONGEST_KEY_DATA = 19; // length byte + 19 + padding = 24
const unsigned long MAC_LENGTH = 4;
} // namespace

int WriteSAMKeyWithSoftwareCalc(CZUSAMIC* sam, unsigned char* key, unsigned char* keyData,
                                unsigned long keyDataLength) {
    if (sam == nullptr) {
        ZUSetLastError(ZU_E_INPUT_NULL, 0);
        return 0;
    }
    if (keyDataLength > LONGEST_KEY_DATA) {
        return RefuseUnsent(*sam, ZU_E_INPUT_TOO_LONG);
    }
    if (keyData == nullptr || key == nullptr) {
        return RefuseUnsent(*sam, ZU_E_INPUT_NULL);
    }
    unsigned char block[24 + 8] = {0}; // AppendISOPadding needs 8 bytes of room
    // The plaintext key record is wiped on every path out.
    CScopeWipe wipeBlock(block, sizeof block);
    block[0] = static_cast<unsigned char>(keyDataLength);
    std::memcpy(block + 1, keyData, keyDataLength);
    unsigned long blockLength = keyDataLength + 1;
    AppendISOPadding(block, &blockLength);

    unsigned char encrypted[24];
    {
        CTDES2Encryptor cipher(key);
        cipher.ProcessBlocks(block, encrypted, blockLength);
    }

    // The challenge and the command it protects go in one hold: a command of
    // another program in between would replace the challenge.
    CZUTransaction hold(*sam);
    if (hold.Failed()) {
        return RefuseUnheld(*sam);
    }
    unsigned char iv[8] = {0};
    if (sam->GenerateRandom(iv, 4) == 0) {
        return 0;
    }
    unsigned char cmd[128] = {CLA_PROPRIETARY_SECURE, INS_WRITE_KEY, 0x00, 0x00, 0x00};
    cmd[4] = static_cast<unsigned char>(blockLength + MAC_LENGTH);
    std::memcpy(cmd + 5, encrypted, blockLength);
    CDESMac mac;
    mac.Init(key, 16, iv);
    mac.Update(cmd, blockLength + 5);
    mac.Final(cmd + 5 + blockLength);
    return sam->SendCommand(cmd, cmd[4] + 5UL, nullptr, nullptr);
}
