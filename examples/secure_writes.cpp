// Secure writes with the PIN and keys in const memory, as a host keeps them:
// loads a PIN and a secure-messaging key into the simulated card encrypted
// and MACed under ZUSIM_KEY_LOADING_KEY, then writes 600 bytes with MACs,
// at most 247 bytes a call, and reads them back.
//
//   zuicapi_secure_writes
//
// Exit status 0 when every step went right, 1 otherwise.
#include "ZUICAPI.h"
#include "ZUICSIM.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const unsigned char kPinRecord[] = {0x00, ZUSIM_KEY_PIN, 3, '1', '2', '3', '4'};
const unsigned char kPin[] = {'1', '2', '3', '4'};
const unsigned char kSmKey[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                  0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const unsigned char kSmKeyNo = 0x02;

// A key or PIN record loaded the way ZUICSIM.h describes: encrypted and
// MACed under the key-loading key. The card object goes as a SAM object.
int LoadUnderKeyLoadingKey(CZUICAPI& card, const unsigned char* record, unsigned long length) {
    CZUSAMIC loader(&card);
    return WriteSAMKeyWithSoftwareCalc(&loader, ZUSIM_KEY_LOADING_KEY, record, length);
}

// UpdateBinaryWithSoftwareMac takes at most 247 bytes: a longer write is a
// loop, each piece at its own offset with a challenge of its own.
int WriteWithMacs(CZUICAPI& card, const unsigned char* key, const unsigned char* data,
                  unsigned long length, unsigned long offset) {
    const unsigned long piece = 247;
    for (unsigned long at = 0; at < length; at += piece) {
        const unsigned long n = length - at < piece ? length - at : piece;
        if (UpdateBinaryWithSoftwareMac(&card, key, data + at, n, offset + at) != 1) {
            return 0;
        }
    }
    return 1;
}

bool Step(const char* what, int result, const CZUReader& card) {
    const int reason = ZUGetLastError();
    std::printf("%-52s %s (SW %04X)\n", what, result == 1 ? "ok" : "FAILED", card.GetSW());
    if (result != 1) {
        std::printf("    %s; %s\n", ZUStatusWordText(card.GetSW()), ZUErrorText(reason));
    }
    return result == 1;
}

} // namespace

int main() {
    ZUSimRegister();
    CZUICAPI card;
    char name[] = "sim";
    unsigned char serial[8] = {0};
    unsigned char keyFile[2] = {0x00, 0x01}, binary[2] = {0x01, 0x01};
    const std::vector<unsigned char> smKey = ZUSimTdes2KeyRecord(kSmKeyNo, kSmKey);
    std::vector<unsigned char> data(600), back(600, 0xEE);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    int tries = -1;
    // The key file and the binary file take anything while in creation.
    const bool ok =
        Step("open the simulated card", card.Open(name, ZU_PROTOCOL_ANY), card) &&
        Step("erase it", card.EraseMF(), card) &&
        Step("create the master file", card.CreateMF(ZUSIM_AC_FREE, 0x02, serial), card) &&
        Step("create the key file 0001",
             card.CreateEF(keyFile, ZUSIM_EF_KEYS, 0, 4, ZUSIM_AC_NEVER, ZUSIM_AC_NEVER), card) &&
        Step("load PIN 0 under the key-loading key",
             LoadUnderKeyLoadingKey(card, kPinRecord, sizeof kPinRecord), card) &&
        Step("load key 02 under the key-loading key",
             LoadUnderKeyLoadingKey(card, smKey.data(), smKey.size()), card) &&
        Step("create binary file 0101 (PIN to read, MAC to write)",
             card.CreateEF(binary, ZUSIM_EF_BINARY, 0x04, 0x00, ZUSIM_AC_PIN | 0,
                           ZUSIM_AC_SM | kSmKeyNo),
             card) &&
        Step("end the binary file's creation", card.CreateEnd(binary), card) &&
        Step("end the key file's creation", card.CreateEnd(keyFile), card) &&
        Step("verify PIN 0", card.VerifyPin(kPin, sizeof kPin, tries), card) &&
        Step("write 600 bytes with MACs, 247 bytes a call",
             WriteWithMacs(card, kSmKey, data.data(), data.size(), 0), card) &&
        Step("read them back", card.ReadBinaryFile(back.data(), back.size(), 0), card) &&
        Step("the bytes read are the bytes written", back == data, card);
    return ok ? 0 : 1;
}
