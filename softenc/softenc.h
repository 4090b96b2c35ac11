/**
 * @file softenc.h
 * @brief softenc: ZUICAPI's own software cryptography.
 *
 * Single and triple DES, the DES MAC of the cards' secure messaging, key
 * diversification and session MACs, and the library's further facilities:
 * MD5 and SHA-1, PKCS #1 v1.5 block formatting, a clock-seeded random source
 * (not a cryptographic one), converters, a growable byte string and CBC
 * filters. Depends on nothing but the standard library.
 *
 * What a host must know:
 * - DES and triple DES are table driven (S-box and permutation lookups
 *   indexed by key and data bits), so they are NOT constant-time: a process
 *   that shares the CPU caches can learn key bits from the timing of the
 *   lookups. Use a SAM, or a constant-time implementation, where other code
 *   runs on the same machine.
 * - CRandomGenerator is NOT a cryptographic random source (see there): never
 *   draw keys, challenges or PKCS #1 padding for real use from it.
 * - Key schedules, key copies held by the cipher objects and CDESMac, and
 *   derived keys are wiped before the functions return or the objects are
 *   destroyed; CByteBuffer blocks are wiped before they are freed or moved,
 *   and the hash classes' state blocks when the object is destroyed. Buffers
 *   that the caller passes in are the caller's to wipe.
 */
#ifndef SOFTENC_H
#define SOFTENC_H

#include <cstddef>
#include <cstdint>

struct DESContext; // a key schedule of the DES core, on the stack of one call

// ---- Block ciphers, MAC engine, key derivation and session MACs ----

/// A block cipher over whole 8-byte blocks in ECB fashion. The order of the
/// virtual operations is fixed: destructor, the two ProcessBlocks, BlockSize.
class CBlockCipher {
  public:
    virtual ~CBlockCipher() {}
    /// Transforms the length / 8 whole blocks of input into output; a tail of
    /// length % 8 bytes is neither read nor written. input may equal output.
    virtual void ProcessBlocks(const unsigned char* input, unsigned char* output,
                               unsigned long length) = 0;
    /// Transforms the length / 8 whole blocks of data in place.
    virtual void ProcessBlocks(unsigned char* data, unsigned long length) = 0;
    /// The block size in bytes: 8.
    virtual unsigned long BlockSize() = 0;
};

/// Declares one of the block cipher classes below: a CBlockCipher over a
/// KeyBytes-byte key that it copies at construction.
#define SOFTENC_DECLARE_CIPHER(Name, KeyBytes)                                                     \
    class Name : public CBlockCipher {                                                             \
      public:                                                                                      \
        explicit Name(const unsigned char* key);                                                   \
        ~Name() override; /* wipes the key copy */                                                 \
        void ProcessBlocks(const unsigned char* input, unsigned char* output,                      \
                           unsigned long length) override;                                         \
        void ProcessBlocks(unsigned char* data, unsigned long length) override;                    \
        unsigned long BlockSize() override { return 8; }                                           \
                                                                                                   \
      private:                                                                                     \
        unsigned char m_key[KeyBytes];                                                             \
    }

/// Single DES (8-byte key), two-key triple DES E(K1) D(K2) E(K1) (16-byte key)
/// and three-key triple DES E(K3) D(K2) E(K1) (24-byte key). Parity bits are
/// ignored. CDESEncryptor: single-DES encryption, 8-byte key.
SOFTENC_DECLARE_CIPHER(CDESEncryptor, 8);
/// Single-DES decryption, 8-byte key.
SOFTENC_DECLARE_CIPHER(CDESDecryptor, 8);
/// Two-key triple-DES encryption E(K1) D(K2) E(K1), 16-byte key.
SOFTENC_DECLARE_CIPHER(CTDES2Encryptor, 16);
/// Two-key triple-DES decryption, 16-byte key.
SOFTENC_DECLARE_CIPHER(CTDES2Decryptor, 16);
/// Three-key triple-DES encryption E(K3) D(K2) E(K1), 24-byte key.
SOFTENC_DECLARE_CIPHER(CTDES3Encryptor, 24);
/// Three-key triple-DES decryption, 24-byte key.
SOFTENC_DECLARE_CIPHER(CTDES3Decryptor, 24);
#undef SOFTENC_DECLARE_CIPHER

/// The 4-byte DES MAC of the cards' secure messaging: ISO/IEC 9797-1 MAC
/// algorithm 3 with a 16-byte key, algorithm 1 with an 8-byte key, always
/// padding method 2, an optional initial chaining value.
///
/// Failing closed: a key longer than 16 bytes (a 24-byte triple-DES key, say)
/// is refused. The engine then drops whatever it had absorbed and refuses
/// every further Update (0) and Init until Final, and that Final writes
/// 00 00 00 00 rather than a MAC. A caller that ignores the result of Update
/// therefore sends a MAC that the card rejects, never one computed under the
/// zero key.
/// An engine that was never initialised (or whose Init had key length 0) is
/// another matter: Update refuses with 0, but Final still writes the MAC of
/// the empty message under the all-zero key, 95 F8 A5 E5. Check Update.
///
/// The key copy, chaining value and buffered bytes are wiped by Final and by
/// the destructor.
class CDESMac {
  public:
    /// An engine not yet initialised.
    CDESMac() { Reset(); }
    /// Wipes the key copy, chaining value and buffered bytes.
    ~CDESMac();
    CDESMac(const CDESMac&) = delete;
    CDESMac& operator=(const CDESMac&) = delete;
    /// Starts a MAC under key (8 or 16 bytes; longer is refused, see above)
    /// with the 8-byte initial chaining value iv (null: zeros).
    void Init(const unsigned char* key, unsigned long keyLength, const unsigned char* iv);
    /// 0 when not initialised or refused; otherwise absorbs the bytes and
    /// returns 1.
    int Update(const unsigned char* data, unsigned long length);
    /// Pads, finishes, writes exactly 4 bytes to mac, and wipes the engine.
    void Final(unsigned char* mac);

  private:
    int ProcessBlock();
    int ProcessBlock(const DESContext* context); ///< one key schedule for many blocks
    void Reset();

    unsigned char m_key[16];
    uint32_t m_keyLength;
    unsigned char m_buffer[8];
    uint32_t m_fill;
    unsigned char m_chain[8];
    bool m_refused; ///< Init was given a key it cannot hold
};

/// Appends ISO/IEC 9797-1 padding method 2 (80 then 00 to the next multiple
/// of 8, always at least the 80). buffer must have 8 bytes of room.
void AppendISOPadding(unsigned char* buffer, unsigned long* length);

/// diversifiedKey = 3DES(key, factor) || 3DES(key, ~factor); may alias key.
void DiversifyKey(const unsigned char* key, const unsigned char* factor,
                  unsigned char* diversifiedKey);
/// Repeated diversification over a chain of 8-byte factors, for 8- or 16-byte
/// keys. 0, with nothing written, for other key lengths or a factor length
/// that is not a multiple of 8.
int DiversifyKeyChain(const unsigned char* key, unsigned long keyLength,
                      const unsigned char* factors, unsigned long factorsLength,
                      unsigned char* diversifiedKey);
/// MAC algorithm 1 under the key formed by XORing the two halves of key.
void CalcXorKeyMac(const unsigned char* key, const unsigned char* data, unsigned long dataLength,
                   unsigned char* mac);
/// Opens a session: derives the session key from the diversified key, the
/// session input and sequence and the transaction counter, and MACs the
/// transaction data. The session state is process-wide and unlocked.
void CalcSessionMac(const unsigned char* key, const unsigned char* factor,
                    const unsigned char* sessionInput, const unsigned char* sessionSequence,
                    const unsigned char* value, unsigned char code, const unsigned char* data6,
                    const unsigned char* data7, unsigned char* counterOut, unsigned char* mac);
/// 1 when mac is the session's MAC of the remembered value (the counter then
/// advances), 0 otherwise. Compares in constant time.
/// Before any CalcSessionMac the session key and the remembered value are
/// zeros, so this accepts the MAC of 00 00 00 00 under the all-zero DES key
/// (and, like any success, again on replay: each success advances the
/// counter but the session stays open). Only a session that this process
/// opened with CalcSessionMac makes a success mean anything.
int VerifySessionMac(const unsigned char* mac);

// ---- Hashes, PKCS #1 padding, random source, converters, byte buffer, CBC filters ----

/// Running state of an MD5 computation, 88 bytes. GetState and SetState
/// exchange it as raw bytes, so the layout is fixed.
struct MD5State {
    uint32_t chain[4];        ///< chaining words A, B, C, D
    uint32_t bitCount[2];     ///< message length in bits, low word first
    unsigned char buffer[64]; ///< bitCount / 8 % 64 bytes wait here
};

/// Running state of a SHA-1 computation, 96 bytes, exchanged the same way.
struct SHA1State {
    uint32_t chain[5];        ///< chaining words H0 to H4
    uint32_t blockCount[2];   ///< 64-byte blocks compressed so far, low word first
    unsigned char buffer[64]; ///< the block in progress
    uint32_t waiting;         ///< bytes waiting in buffer, below 64 between calls
};

static_assert(sizeof(MD5State) == 88, "the MD5 state block is exchanged as 88 raw bytes");
static_assert(sizeof(SHA1State) == 96, "the SHA-1 state block is exchanged as 96 raw bytes");

/// A message digest fed in pieces. Final writes the digest and starts the
/// object over for the next message. Objects are destroyed through their
/// concrete class; there is no virtual destructor.
class CHash {
  public:
    /// The digest's length in bytes.
    virtual unsigned int DigestSize() const = 0;
    /// Feeds length bytes of input.
    virtual void Update(const unsigned char* input, unsigned int length) = 0;
    /// Writes DigestSize() bytes of digest and starts over.
    virtual void Final(unsigned char* digest) = 0;
    /// Update(input, length), then Final(digest): bytes fed earlier count too.
    virtual void CalculateDigest(unsigned char* digest, const unsigned char* input,
                                 unsigned int length);
    /// The object's own state block (not a copy), or null when it could not
    /// be allocated.
    virtual void* GetState() = 0;
    /// Copies a whole state block taken from an object of the same class.
    /// Nothing happens for null or for the object's own block.
    virtual void SetState(const void* state) = 0;

  protected:
    CHash() = default;
    ~CHash() = default;
};

/// MD5 (RFC 1321), 16-byte digest. If the state block cannot be allocated,
/// Update and Final do nothing until SetState supplies one.
class CMD5 final : public CHash {
  public:
    /// Starts an MD5 computation.
    CMD5();
    /// Wipes and frees the state block.
    ~CMD5();
    CMD5(const CMD5&) = delete;
    CMD5& operator=(const CMD5&) = delete;

    unsigned int DigestSize() const override { return 16; }
    void Update(const unsigned char* input, unsigned int length) override;
    void Final(unsigned char* digest) override;
    void* GetState() override { return state; }
    void SetState(const void* state) override;

  private:
    MD5State* state;
};

/// SHA-1 (FIPS 180-1), 20-byte digest. Allocation failure is handled as in
/// CMD5.
class CSHA1 final : public CHash {
  public:
    /// Starts a SHA-1 computation.
    CSHA1();
    /// Wipes and frees the state block.
    ~CSHA1();
    CSHA1(const CSHA1&) = delete;
    CSHA1& operator=(const CSHA1&) = delete;

    unsigned int DigestSize() const override { return 20; }
    void Update(const unsigned char* input, unsigned int length) override;
    void Final(unsigned char* digest) override;
    void* GetState() override { return state; }
    void SetState(const void* state) override;

  private:
    SHA1State* state;
};

/// Pseudo-random numbers from a linear congruential generator
/// (state * 214013 + 2531011 mod 2^32, 15 bits out per draw), seeded from the
/// clock in whole seconds. This is NOT a cryptographic random source: its
/// output is predictable from the time of seeding. The state is one word per
/// thread, shared by every object on that thread; constructing an object
/// reseeds it.
class CRandomGenerator {
  public:
    /// Reseeds the thread's generator from the clock (Seed()).
    CRandomGenerator() { Seed(); }
    /// The thread's state becomes the current time in seconds since 1970.
    void Seed();
    /// The thread's state becomes seed; for reproducible sequences.
    void Seed(unsigned int seed);
    /// size bytes, each the low 8 bits of one draw; nothing for null output.
    void GenerateBlock(unsigned char* output, unsigned int size);
    /// min + (max - min) * r / 32767 for one draw r of 0 to 32767, truncated:
    /// a number from min to max, both included.
    unsigned int GenerateWord(unsigned short min, unsigned short max);
};

/// Reseeds the thread's generator from the clock and writes size bytes.
void GenerateRandomBytes(unsigned char* output, unsigned int size);

/// PKCS #1 v1.5 block formatting for RSA. pkcsBlockLen is the block size in
/// bits: the block proper has pkcsBlockLen / 8 bytes (k), preceded by one zero
/// byte when pkcsBlockLen is not a multiple of 8 (1023 bits: 00 and 127 bytes).
/// The block proper is: type byte, at least 8 padding bytes, 00, data.
class CPKCS1EncryptionPadding {
  public:
    /// k - 10 data bytes at most, 0 when k is 10 or less.
    unsigned int MaxUnpaddedLength(unsigned int paddedLength) const;
    /// Block type 2 with non-zero random padding drawn from rng. Input longer
    /// than MaxUnpaddedLength is refused and nothing is written.
    void Pad(CRandomGenerator& rng, const unsigned char* input, unsigned int inputLen,
             unsigned char* pkcsBlock, unsigned int pkcsBlockLen) const;
    /// The number of data bytes copied to output (room for
    /// MaxUnpaddedLength(pkcsBlockLen)); 0, with output untouched, for an
    /// invalid block.
    unsigned int Unpad(const unsigned char* pkcsBlock, unsigned int pkcsBlockLen,
                       unsigned char* output) const;
};

/// Block type 1 with padding bytes FF, for signatures. rng is not used.
class CPKCS1SignaturePadding {
  public:
    /// k - 10 data bytes at most, 0 when k is 10 or less.
    unsigned int MaxUnpaddedLength(unsigned int paddedLength) const;
    /// Block type 1 with FF padding. Input longer than MaxUnpaddedLength is
    /// refused and nothing is written.
    void Pad(CRandomGenerator& rng, const unsigned char* input, unsigned int inputLen,
             unsigned char* pkcsBlock, unsigned int pkcsBlockLen) const;
    /// The number of data bytes copied to output (room for
    /// MaxUnpaddedLength(pkcsBlockLen)); 0, with output untouched, for an
    /// invalid block.
    unsigned int Unpad(const unsigned char* pkcsBlock, unsigned int pkcsBlockLen,
                       unsigned char* output) const;
};

// Converters. Functions returning int give 1 on success and 0 on failure.

/// Upper-case hexadecimal text of input into 2 * length + 1 characters.
int BytesToHexString(const unsigned char* input, unsigned int length, char* output);
/// 0-9, A-F, a-f; *nibble is left unchanged for any other character.
int HexCharToNibble(char c, unsigned char* nibble);
/// Bytes of a zero-terminated hexadecimal text of even length. *outputLen is
/// the room in output on entry and the byte count on success.
int HexStringToBytes(const char* hex, unsigned char* output, int* outputLen);
/// Bytes of the first length (even) characters of hex; no room check.
int HexToBytes(const char* hex, unsigned int length, unsigned char* output);
/// target[i] ^= source[i] for the first length bytes.
void XorBytes(unsigned char* target, const unsigned char* source, unsigned int length);
/// Reverses the order of the first length bytes in place.
void ReverseBytes(unsigned char* buffer, unsigned int length);
/// Integers from the first (little-endian) or last (big-endian) 4 or 2 of
/// length bytes. Null input gives 0 and leaves *value unchanged.
int LittleEndianToUInt32(const unsigned char* input, unsigned int length, unsigned int* value);
/// As LittleEndianToUInt32, for a big-endian 4-byte integer.
int BigEndianToUInt32(const unsigned char* input, unsigned int length, unsigned int* value);
/// As LittleEndianToUInt32, for a little-endian 2-byte integer.
int LittleEndianToUInt16(const unsigned char* input, unsigned int length, unsigned short* value);
/// As LittleEndianToUInt32, for a big-endian 2-byte integer.
int BigEndianToUInt16(const unsigned char* input, unsigned int length, unsigned short* value);
/// Integers into exactly length bytes. Wider fields are zero-filled; into
/// narrower fields the little-endian forms keep the low bytes, the big-endian
/// forms the most significant bytes from the first non-zero one.
int UInt32ToLittleEndian(unsigned int value, unsigned char* output, unsigned int length);
/// As UInt32ToLittleEndian, for the big-endian form of a 4-byte integer.
int UInt32ToBigEndian(unsigned int value, unsigned char* output, unsigned int length);
/// As UInt32ToLittleEndian, for the little-endian form of a 2-byte integer.
int UInt16ToLittleEndian(unsigned short value, unsigned char* output, unsigned int length);
/// As UInt32ToLittleEndian, for the big-endian form of a 2-byte integer.
int UInt16ToBigEndian(unsigned short value, unsigned char* output, unsigned int length);
/// BCD date YY YY MM DD (20 05 12 31) and time hh mm ss.
int IsValidBCDDate(const unsigned char* date);
/// 1 when the BCD time hh mm ss has hh <= 23, mm <= 59 and ss <= 59, each
/// byte read as 10 * high nibble + low nibble (nibbles above 9 not refused).
int IsValidBCDTime(const unsigned char* time);
/// Dotted IPv4 address, four fields of 1 to 3 digits and 0 to 255, into
/// pbIP[0..3]; pbIP is written only on success.
int ParseIPAddress(const char* text, unsigned char* pbIP);
/// 1 when every character is a decimal digit (also for the empty text).
int IsDigitString(const char* text);
/// One character per BCD digit: 20 05 12 31 gives "20051231". output takes 9
/// characters for a date, 15 for a date and time.
void BCDDateToString(const unsigned char* date, char* output);
/// As BCDDateToString for a BCD date and time YY YY MM DD hh mm ss.
void BCDDateTimeToString(const unsigned char* dateTime, char* output);

/// A growable byte string in one heap block of exactly Size() bytes. When the
/// block cannot be grown, an operation leaves the buffer as it was.
class CByteBuffer {
  public:
    /// An empty buffer.
    CByteBuffer() : data(nullptr), size(0) {}
    /// The 4 bytes of value, most significant first.
    explicit CByteBuffer(unsigned int value);
    /// A copy of other's bytes in a block of its own.
    CByteBuffer(const CByteBuffer& other);
    /// Copies other's bytes into a block of this buffer's own.
    CByteBuffer& operator=(const CByteBuffer& other);
    /// Wipes and frees the block.
    ~CByteBuffer();

    /// Appends length bytes of input.
    void Append(const unsigned char* input, unsigned int length);
    /// Appending a buffer to itself changes nothing.
    CByteBuffer& Append(const CByteBuffer& other);
    /// Append(other).
    CByteBuffer& operator+=(const CByteBuffer& other) { return Append(other); }
    /// Copies min(maxLength, Size()) bytes; 0 when empty or output is null.
    unsigned int CopyTo(unsigned char* output, unsigned int maxLength) const;
    /// The number of bytes.
    unsigned int Size() const { return size; }
    /// The bytes (null when empty).
    unsigned char* Data() const { return data; }
    /// Reverses the order of the bytes.
    void Reverse();
    /// The first (up to) 4 bytes read most significant first.
    unsigned int ToUInt32() const;

  private:
    unsigned char* data;
    uint32_t size;
};

/// One number of a key, as a byte string.
class CKeyComponent : public CByteBuffer {};

/// An RSA public key: modulus and public exponent.
class CPublicKeyData {
  public:
    /// An empty key.
    CPublicKeyData() = default;
    /// An empty key; the size in bits is not used.
    explicit CPublicKeyData(unsigned int /*bits*/) {}

    CKeyComponent modulus;        ///< n, most significant byte first.
    CKeyComponent publicExponent; ///< e, most significant byte first.
};

/// An RSA private key in Chinese-remainder form: the two public components,
/// then six private ones.
class CPrivateKeyData final : public CPublicKeyData {
  public:
    /// An empty key; the size in bits is not used.
    explicit CPrivateKeyData(unsigned int /*bits*/) {}

    CKeyComponent privateExponent; ///< d.
    CKeyComponent prime1;          ///< p.
    CKeyComponent prime2;          ///< q.
    CKeyComponent exponent1;       ///< d mod (p - 1).
    CKeyComponent exponent2;       ///< d mod (q - 1).
    CKeyComponent coefficient;     ///< q^-1 mod p.
};

/// CBC encryption of data of any length over an encrypting CBlockCipher,
/// with PKCS #5 padding (1 to bs bytes of value n). The filter does not own
/// the cipher. Ciphertext is appended to output a block at a time. A cipher
/// whose block size is 0 or above 64 is refused: Update and Final then do
/// nothing. If output cannot grow, the filter stops and Final returns 0.
class CCBCEncryptFilter {
  public:
    /// iv: BlockSize() bytes; null means all zeros.
    CCBCEncryptFilter(CBlockCipher* cipher, const unsigned char* iv);
    /// Encrypts one more byte.
    void Update(unsigned char b);
    /// Encrypts length more bytes of input.
    void Update(const unsigned char* input, unsigned int length);
    /// Pads and emits the last block: 1, or 0 when refused or output failed.
    int Final();

  private:
    unsigned int BlockSize() const;
    void FlushBlock();

    CBlockCipher* cipher;    ///< null once refused
    unsigned char chain[64]; ///< chaining value XOR the block in progress
    uint32_t count;          ///< bytes of the block in progress

  public:
    /// The ciphertext so far.
    CByteBuffer output;
};

/// CBC decryption over a decrypting CBlockCipher, stripping PKCS #5 padding.
/// The last whole block is held back until Final.
class CCBCDecryptFilter {
  public:
    /// A filter over cipher (not owned); iv: BlockSize() bytes, null means
    /// all zeros.
    CCBCDecryptFilter(CBlockCipher* cipher, const unsigned char* iv);
    /// Decrypts one more byte of ciphertext.
    void Update(unsigned char b);
    /// Decrypts length more bytes of ciphertext.
    void Update(const unsigned char* input, unsigned int length);
    /// Decrypts the held block and appends it without its padding: the first
    /// bs - p bytes for a last byte p of 1 to bs; the whole block for p = 0;
    /// the whole block with its last byte set to 0 for p above bs. Returns 1
    /// when the padding is valid (p of 1 to bs, all p bytes equal to p) and
    /// 0 otherwise. With no ciphertext, or a last block that is not whole, it
    /// appends nothing and returns 0. As in CCBCEncryptFilter, a refused
    /// cipher or an output that could not grow stops the filter and gives 0.
    int Final();

  private:
    unsigned int BlockSize() const;
    void FlushBlock();

    CBlockCipher* cipher;
    unsigned char chain[64]; ///< previous ciphertext block
    unsigned char block[64]; ///< ciphertext block in progress
    uint32_t count;          ///< bytes in block, 0 to bs

  public:
    /// The plaintext so far.
    CByteBuffer output;
};

#endif
