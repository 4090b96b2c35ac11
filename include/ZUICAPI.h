// ZUICAPI: object interface to contact smart cards and SAMs.
//
// Every operation builds one card command (or a short fixed sequence), sends
// it through the reader base's SendCommand and returns 1 when the card
// accepted it, 0 otherwise. Input that does not fit an operation's command
// (data longer than its largest data field, a null data pointer with a
// non-zero length, a binary position the command cannot address) is refused
// with 0 and nothing is sent; no operation writes past a caller's buffer.
//
// Largest data fields:
//   SelectDF by name 27; UpdateBinaryFileWithMac 11; UpdateRecord and
//   AppendRecord 251; CreateMF name 113; CreateADF name 5 to 16;
//   VerifyPin 11; ChangePin old + new 10; WriteKey and
//   WriteKeyWithEncryptionAndMAC 123; CZUSAMIC commands 251;
//   CZUSBIC::CreateATRFile body 120; CZUSBIC::ReadRecord 255 (253 with tag
//   and length); CZUSBIC record updates, authentications 255 (six-argument
//   UpdateRecord 253); CZUSBSAMIC authentications 255, ExportKey 123.
//
// Binary positions: ReadBinaryFile, UpdateBinaryFile and
// UpdateBinaryFileWithMac refuse positions of 65,536 or more. For an offset
// below 32,768 every chunk must start below 32,768 (above it P1's top bit
// would select short-identifier addressing of another file); an offset of
// 32,768 or more is the caller's own short-identifier addressing and every
// chunk must keep that offset's P1.
//
// EraseMF's erase keys: when the card refuses to erase its master file,
// EraseMF presents, with the key command 80 D8 02 00 10, first the key
//   00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF
// and, if that is refused, the key
//   FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00
// and then asks for the erase again.
//
// What a host must know about results and secrets:
// - Success means the card answered 90 00, nothing more. When a card or SAM
//   answers 90 00 with no data, InternalAuthentication, the social-security
//   authentications, DESCrypt, M1AuthAndKeyCalc and Diversify still return 1
//   and leave the caller's buffer as it was (for Diversify: either half of
//   diversifiedKey). A host that needs the answer fills its buffer with a
//   value it can recognise first, or checks the count where one is returned.
// - The operations wipe their own command buffers, which carry PINs and
//   keys (VerifyPin, ChangePin, WriteKey, WriteSAMKeyWithSoftwareCalc), and
//   the reader wipes its copies of commands and answers. The caller's own
//   buffers stay the caller's to wipe. The reader's trace hook (ZUICRD.h)
//   is given the real bytes, PINs and keys included: a host that logs them
//   decides itself what to mask.
// - The software DES used by the two software-assisted writes is table
//   driven and not constant-time: on a machine shared with untrusted code,
//   cache timing can reveal bits of the key.
#ifndef ZUICAPI_H
#define ZUICAPI_H

#include "ZUICRD.h"

#if defined(_WIN32)
#if defined(ZUICAPI_BUILD)
#define ZUICAPI_API __declspec(dllexport)
#else
#define ZUICAPI_API __declspec(dllimport)
#endif
#else
#define ZUICAPI_API __attribute__((visibility("default")))
#endif

// The general contact card. The order of declaration of the virtual
// operations below is the order of the exported virtual table: do not change it.
class ZUICAPI_API CZUICAPI : public CZUReader {
  public:
    CZUICAPI();
    CZUICAPI(CZUReader* reader);
    CZUICAPI(const CZUICAPI& other);
    CZUICAPI& operator=(const CZUICAPI& other);
    const CZUICAPI& operator=(const CZUReader& reader);
    virtual ~CZUICAPI();

    virtual int EraseMF();
    virtual int CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block,
                         unsigned char* dfName, unsigned long nameLen);
    virtual int CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block);
    virtual int CreateADF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                          unsigned char* dfName, unsigned long nameLen);
    virtual int CreateEnd(unsigned char* fileId);
    virtual int CreateEF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                         unsigned char attr3, unsigned char attr4, unsigned char attr5);
    virtual int WriteKey(unsigned char p1, unsigned char* keyData, unsigned long keyDataLength);
    virtual int WriteKeyWithEncryptionAndMAC(unsigned char p1, unsigned char* keyData,
                                             unsigned long keyDataLength);
    virtual int SelectDF(unsigned char* dfName, unsigned long nameLen, unsigned char* resp,
                         unsigned long* respLen);
    virtual int SelectDF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen);
    virtual int SelectEF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen);
    virtual int ReadBinaryFile(unsigned char* buffer, unsigned long length, unsigned long offset);
    virtual int UpdateBinaryFile(unsigned char* data, unsigned long length, unsigned long offset);
    virtual int UpdateBinaryFileWithMac(unsigned char* data, unsigned long length,
                                        unsigned long offset);
    virtual int VerifyPin(unsigned char* pin, unsigned long pinLength, int& remainingTries);
    virtual int ChangePin(unsigned char* oldPin, unsigned long oldPinLength, unsigned char* newPin,
                          unsigned long newPinLength);
    virtual int AppendRecord(unsigned char* data, unsigned long length);
    virtual int UpdateRecord(int recordNo, unsigned char* data, unsigned long length);
    virtual int ReadRecord(unsigned char recordNo, unsigned long length, unsigned char* buffer);
    virtual int GenerateRandom(unsigned char* buffer, unsigned long length);
    virtual int InternalAuthentication(unsigned char keyId, unsigned char* challenge,
                                       unsigned char* resp);
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram);
};

// The security access module that holds the issuer's keys.
class ZUICAPI_API CZUSAMIC : public CZUICAPI {
  public:
    CZUSAMIC();
    CZUSAMIC(CZUReader* reader);
    CZUSAMIC(const CZUSAMIC& other);
    CZUSAMIC& operator=(const CZUSAMIC& other);
    const CZUSAMIC& operator=(const CZUReader& reader);
    virtual ~CZUSAMIC();

    virtual int InitForDESCrypt(unsigned char p1, unsigned char p2, unsigned char* data,
                                unsigned long length);
    virtual int DESCrypt(unsigned char p1, unsigned char* data, unsigned long length,
                         unsigned char* resp, unsigned long* respLen);
    virtual int M1AuthAndKeyCalc(unsigned char p1, unsigned char p2, unsigned char* data,
                                 unsigned long length, unsigned char* resp, unsigned long* respLen);
    // Bytes 0-7 of diversifiedKey: the SAM's answer for factor; bytes 8-15:
    // its answer for the complemented factor.
    virtual int Diversify(unsigned char p1, unsigned char p2, unsigned char* factor,
                          unsigned char* diversifiedKey);
};

// The social-security user card: tag-and-length records addressed by short
// file identifier, authentication data of any length.
class ZUICAPI_API CZUSBIC : public CZUICAPI {
  public:
    CZUSBIC();
    CZUSBIC(CZUReader* reader);
    CZUSBIC(const CZUSBIC& other);
    CZUSBIC& operator=(const CZUSBIC& other);
    const CZUSBIC& operator=(const CZUReader& reader);
    virtual ~CZUSBIC();

    using CZUICAPI::ExternalAuthentication;
    using CZUICAPI::InternalAuthentication;
    using CZUICAPI::ReadRecord;
    using CZUICAPI::UpdateRecord;

    virtual int CreateATRFile(unsigned char* fileId, unsigned char attr1, unsigned char* body,
                              unsigned long bodyLength);
    // Copies at most `length` bytes of the record into buffer; with
    // withTagAndLength set the tag and length bytes are dropped first.
    virtual int ReadRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                           unsigned long length, unsigned char* buffer, int withTagAndLength);
    virtual int UpdateRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                             unsigned char* data, unsigned long length);
    virtual int UpdateRecord(unsigned char tag, unsigned char recordNo, unsigned char sfi,
                             unsigned char referenceMode, unsigned char* data,
                             unsigned long length);
    virtual int UpdateRecordWithMAC(unsigned char recordNo, unsigned char sfi,
                                    unsigned char referenceMode, unsigned char* data,
                                    unsigned long length);
    virtual int InternalAuthentication(unsigned char* challenge, unsigned long length,
                                       unsigned char* resp);
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                       unsigned long length);
};

// The social-security SAM.
class ZUICAPI_API CZUSBSAMIC : public CZUSAMIC {
  public:
    CZUSBSAMIC();
    CZUSBSAMIC(CZUReader* reader);
    CZUSBSAMIC(const CZUSBSAMIC& other);
    CZUSBSAMIC& operator=(const CZUSBSAMIC& other);
    const CZUSBSAMIC& operator=(const CZUReader& reader);
    virtual ~CZUSBSAMIC();

    using CZUICAPI::ExternalAuthentication;
    using CZUICAPI::InternalAuthentication;

    virtual int InternalAuthentication(unsigned char* challenge, unsigned long length,
                                       unsigned char* resp);
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                       unsigned long length);
    virtual int ExportKey(unsigned char p1, unsigned char p2, unsigned char* data,
                          unsigned long length, unsigned char* resp, unsigned long* respLen);
};

// Writes data (at most 247 bytes) at offset (below 65,536) of the selected
// binary file under secure messaging: asks the card for a 4-byte challenge,
// sends 04 D6 P1 P2 Lc data MAC with the MAC computed with the 16-byte key
// (ISO/IEC 9797-1 MAC algorithm 3, padding method 2, initial value the
// challenge followed by four zero bytes). Returns the card's verdict, or 0
// when refused before anything was sent or the challenge failed.
ZUICAPI_API int UpdateBinaryWithSoftwareMac(CZUICAPI* card, unsigned char* key, unsigned char* data,
                                            unsigned long dataLength, unsigned long offset);

// Loads keyData (0 to 19 bytes) into a SAM under secure messaging: the
// length-prefixed, padded key block encrypted with two-key triple DES under
// key, then 84 D4 00 00 Lc block MAC with the MAC as above.
ZUICAPI_API int WriteSAMKeyWithSoftwareCalc(CZUSAMIC* sam, unsigned char* key,
                                            unsigned char* keyData, unsigned long keyDataLength);

#endif
