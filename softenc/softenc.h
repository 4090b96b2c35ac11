// softenc: ZUICAPI's own software cryptography.
//
// Single and triple DES, the DES MAC of the cards' secure messaging, key
// diversification and session MACs, and the library's further facilities:
// MD5 and SHA-1, PKCS #1 v1.5 block formatting, a clock-seeded random source
// (not a cryptographic one), converters, a growable byte string and CBC
// filters. Depends on nothing but the standard library.
#ifndef SOFTENC_H
#define SOFTENC_H

#include <cstddef>
#include <cstdint>

// ---- Block ciphers, MAC engine, key derivation and session MACs ----

// Key schedules, built afresh for each call of a cipher and kept on the
// caller's stack. Each round's subkey is two words (see DESTables.h).
struct DESContext {
    uint32_t encrypt[32]; // rounds 1 to 16
    uint32_t decrypt[32]; // the same rounds in reverse order
};

struct DES3Context {
    uint32_t encrypt[96]; // three 16-round schedules in the order a block meets them
    uint32_t decrypt[96];
};

void DESKeySchedule(uint32_t subkeys[32], const unsigned char key[8]);
void DESSetKey(DESContext* context, const unsigned char key[8]);
void DES3SetKey2(DES3Context* context, const unsigned char key[16]);
void DES3SetKey3(DES3Context* context, const unsigned char key[24]);
void DESCryptBlock(const uint32_t subkeys[32], const unsigned char input[8],
                   unsigned char output[8]);
void DES3CryptBlock(const uint32_t subkeys[96], const unsigned char input[8],
                    unsigned char output[8]);
void DESEncryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]);
void DESDecryptBlock(const DESContext* context, const unsigned char input[8],
                     unsigned char output[8]);
void DES3EncryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]);
void DES3DecryptBlock(const DES3Context* context, const unsigned char input[8],
                      unsigned char output[8]);

// A block cipher over whole 8-byte blocks in ECB fashion. The order of the
// virtual operations is fixed: destructor, the two ProcessBlocks, BlockSize.
class CBlockCipher {
  public:
    virtual ~CBlockCipher() {}
    // Transforms the length / 8 whole blocks of input into output; a tail of
    // length % 8 bytes is neither read nor written. input may equal output.
    virtual void ProcessBlocks(const unsigned char* input, unsigned char* output,
                               unsigned long length) = 0;
    virtual void ProcessBlocks(unsigned char* data, unsigned long length) = 0;
    virtual unsigned long BlockSize() = 0;
};

#define SOFTENC_DECLARE_CIPHER(Name, KeyBytes)                                                     \
    class Name : public CBlockCipher {                                                             \
      public:                                                                                      \
        explicit Name(const unsigned char* key);                                                   \
        void ProcessBlocks(const unsigned char* input, unsigned char* output,                      \
                           unsigned long length) override;                                         \
        void ProcessBlocks(unsigned char* data, unsigned long length) override;                    \
        unsigned long BlockSize() override { return 8; }                                           \
                                                                                                   \
      private:                                                                                     \
        unsigned char m_key[KeyBytes];                                                             \
    }

// Single DES (8-byte key), two-key triple DES E(K1) D(K2) E(K1) (16-byte key)
// and three-key triple DES E(K3) D(K2) E(K1) (24-byte key). Parity bits are
// ignored.
SOFTENC_DECLARE_CIPHER(CDESEncryptor, 8);
SOFTENC_DECLARE_CIPHER(CDESDecryptor, 8);
SOFTENC_DECLARE_CIPHER(CTDES2Encryptor, 16);
SOFTENC_DECLARE_CIPHER(CTDES2Decryptor, 16);
SOFTENC_DECLARE_CIPHER(CTDES3Encryptor, 24);
SOFTENC_DECLARE_CIPHER(CTDES3Decryptor, 24);
#undef SOFTENC_DECLARE_CIPHER

// The 4-byte DES MAC of the cards' secure messaging: ISO/IEC 9797-1 MAC
// algorithm 3 with a 16-byte key, algorithm 1 with an 8-byte key, always
// padding method 2, an optional initial chaining value.
class CDESMac {
  public:
    CDESMac() { Reset(); }
    // A key longer than 16 bytes is refused: the engine stays uninitialised.
    void Init(const unsigned char* key, unsigned long keyLength, const unsigned char* iv);
    // 0 when not initialised; otherwise absorbs the bytes and returns 1.
    int Update(const unsigned char* data, unsigned long length);
    // Pads, finishes, writes exactly 4 bytes to mac, and wipes the engine.
    void Final(unsigned char* mac);

  private:
    int ProcessBlock();
    int ProcessBlock(const DESContext* context);
    void Reset();

    unsigned char m_key[16];
    uint32_t m_keyLength;
    unsigned char m_buffer[8];
    uint32_t m_fill;
    unsigned char m_chain[8];
};

// Appends ISO/IEC 9797-1 padding method 2 (80 then 00 to the next multiple
// of 8, always at least the 80). buffer must have 8 bytes of room.
void AppendISOPadding(unsigned char* buffer, unsigned long* length);

// diversifiedKey = 3DES(key, factor) || 3DES(key, ~factor); may alias key.
void DiversifyKey(const unsigned char* key, const unsigned char* factor,
                  unsigned char* diversifiedKey);
// Repeated diversification over a chain of 8-byte factors, for 8- or 16-byte
// keys. 0, with nothing written, for other key lengths or a factor length
// that is not a multiple of 8.
int DiversifyKeyChain(const unsigned char* key, unsigned long keyLength,
                      const unsigned char* factors, unsigned long factorsLength,
                      unsigned char* diversifiedKey);
// MAC algorithm 1 under the key formed by XORing the two halves of key.
void CalcXorKeyMac(const unsigned char* key, const unsigned char* data, unsigned long dataLength,
                   unsigned char* mac);
// Opens a session: derives the session key from the diversified key, the
// session input and sequence and the transaction counter, and MACs the
// transaction data. The session state is process-wide and unlocked.
void CalcSessionMac(const unsigned char* key, const unsigned char* factor,
                    const unsigned char* sessionInput, const unsigned char* sessionSequence,
                    const unsigned char* value, unsigned char code, const unsigned char* data6,
                    const unsigned char* data7, unsigned char* counterOut, unsigned char* mac);
// 1 when mac is the session's MAC of the remembered value (the counter then
// advances), 0 otherwise. Compares in constant time.
int VerifySessionMac(const unsigned char* mac);

// ---- Hashes, PKCS #1 padding, random source, converters, byte buffer, CBC filters ----

#endif
