// Key diversification and the session MAC functions, with the process-wide
// session state: session key, remembered value and transaction counter.
#include "SecureWipe.h"
#include "softenc.h"

#include <cstring>

namespace {

struct SessionState {
    unsigned char key[8];
    unsigned char value[4];
    unsigned char counter[4];
};

// The counter starts at 00 00 00 01 each time the library is loaded.
SessionState g_session = {{0}, {0}, {0x00, 0x00, 0x00, 0x01}};

} // namespace

void DiversifyKey(const unsigned char* key, const unsigned char* factor,
                  unsigned char* diversifiedKey) {
    CTDES2Encryptor cipher(key); // holds its own copy: diversifiedKey may be key
    unsigned char complement[8];
    for (int i = 0; i < 8; ++i) {
        complement[i] = static_cast<unsigned char>(~factor[i]);
    }
    cipher.ProcessBlocks(factor, diversifiedKey, 8);
    cipher.ProcessBlocks(complement, diversifiedKey + 8, 8);
    SecureWipe(complement, sizeof complement);
}

int DiversifyKeyChain(const unsigned char* key, unsigned long keyLength,
                      const unsigned char* factors, unsigned long factorsLength,
                      unsigned char* diversifiedKey) {
    if ((keyLength != 8 && keyLength != 16) || factorsLength % 8 != 0) {
        return 0;
    }
    std::memmove(diversifiedKey, key, keyLength);
    for (unsigned long i = 0; i < factorsLength; i += 8) {
        if (keyLength == 8) {
            CDESEncryptor(diversifiedKey).ProcessBlocks(factors + i, diversifiedKey, 8);
        } else {
            DiversifyKey(diversifiedKey, factors + i, diversifiedKey);
        }
    }
    return 1;
}

void CalcXorKeyMac(const unsigned char* key, const unsigned char* data, unsigned long dataLength,
                   unsigned char* mac) {
    unsigned char xorKey[8];
    for (int i = 0; i < 8; ++i) {
        xorKey[i] = static_cast<unsigned char>(key[i] ^ key[i + 8]);
    }
    CDESMac engine;
    engine.Init(xorKey, 8, nullptr);
    engine.Update(data, dataLength);
    engine.Final(mac);
    SecureWipe(xorKey, sizeof xorKey);
}

void CalcSessionMac(const unsigned char* key, const unsigned char* factor,
                    const unsigned char* sessionInput, const unsigned char* sessionSequence,
                    const unsigned char* value, unsigned char code, const unsigned char* data6,
                    const unsigned char* data7, unsigned char* counterOut, unsigned char* mac) {
    unsigned char derived[16];
    DiversifyKey(key, factor, derived);
    unsigned char block[8];
    std::memcpy(block, sessionInput, 4);
    std::memcpy(block + 4, sessionSequence, 2);
    block[6] = g_session.counter[2];
    block[7] = g_session.counter[3];
    CTDES2Encryptor(derived).ProcessBlocks(block, g_session.key, 8);
    SecureWipe(derived, sizeof derived);

    CDESMac engine;
    engine.Init(g_session.key, 8, nullptr);
    engine.Update(value, 4);
    engine.Update(&code, 1);
    engine.Update(data6, 6);
    engine.Update(data7, 7);
    engine.Final(mac);
    std::memcpy(counterOut, g_session.counter, 4);
    std::memcpy(g_session.value, value, 4);
}

int VerifySessionMac(const unsigned char* mac) {
    CDESMac engine;
    engine.Init(g_session.key, 8, nullptr);
    engine.Update(g_session.value, 4);
    unsigned char expected[4];
    engine.Final(expected);
    CScopeWipe wipeExpected(expected, sizeof expected);
    unsigned char difference = 0;
    for (int i = 0; i < 4; ++i) {
        difference |= static_cast<unsigned char>(expected[i] ^ mac[i]);
    }
    if (difference != 0) {
        return 0;
    }
    for (int i = 3; i >= 0; --i) {
        if (++g_session.counter[i] != 0) {
            break;
        }
    }
    return 1;
}
