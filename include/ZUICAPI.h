/**
 * @file ZUICAPI.h
 * @brief ZUICAPI: object interface to contact smart cards and SAMs.
 *
 * Every operation builds one card command (or a short fixed sequence), sends
 * it through the reader base's SendCommand and returns 1 when the card
 * accepted it (final status word 90 00), 0 otherwise. Input that does not fit
 * an operation's command (data longer than its largest data field, a null
 * data pointer with a non-zero length, a binary position the command cannot
 * address) is refused with 0 and nothing is sent; no operation writes past a
 * caller's buffer. After an exchange, GetSW() shows the card's last status
 * word (0000 after a transport failure that left no answer).
 *
 * The largest input of every operation and function: @ref zuicapi_limits.
 * What a host must know about results, secrets and the card's state after
 * a failure: @ref zuicapi_host.
 *
 * EraseMF's erase keys: when the card refuses to erase its master file,
 * EraseMF presents, with the key command 80 D8 02 00 10, first the key
 * `00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF`
 * and, if that is refused, the key
 * `FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00`
 * and then asks for the erase again.
 */

/**
 * @page zuicapi_limits Largest data fields
 *
 * Each operation builds its command in a buffer of fixed size. Longer input
 * is refused with 0 before anything is sent, and GetSW() then shows 00 00;
 * so is a null pointer where bytes are wanted.
 *
 * | Operation | Largest input |
 * | --- | --- |
 * | CZUICAPI::EraseMF() | none; 1 to 4 commands |
 * | CZUICAPI::CreateMF() | block 8 bytes; the name at most 113 bytes |
 * | CZUICAPI::CreateADF() | the name 5 to 16 bytes |
 * | CZUICAPI::CreateEF() | a 2-byte identifier and five attribute bytes |
 * | CZUICAPI::CreateEnd() | a 2-byte identifier |
 * | CZUICAPI::WriteKey() | 123 bytes of key data |
 * | CZUICAPI::WriteKeyWithEncryptionAndMAC() | 123 bytes, encrypted data and MAC |
 * | CZUICAPI::SelectDF() | 27 bytes of name; by identifier 2 bytes |
 * | CZUICAPI::SelectEF() | a 2-byte identifier |
 * | CZUICAPI::ReadBinaryFile() | any length, 128 bytes a command |
 * | CZUICAPI::UpdateBinaryFile() | any length, 128 bytes a command |
 * | CZUICAPI::UpdateBinaryFileWithMac() | 11 bytes, data and MAC: 7 bytes of data |
 * | CZUICAPI::VerifyPin() | a PIN of 11 bytes |
 * | CZUICAPI::ChangePin() | old and new PIN of 10 bytes together |
 * | CZUICAPI::AppendRecord() | 251 bytes |
 * | CZUICAPI::UpdateRecord() | 251 bytes; record numbers 0 to 255 |
 * | CZUICAPI::ReadRecord() | 256 bytes (Le 00) |
 * | CZUICAPI::GenerateRandom() | any length, 8 bytes a command |
 * | CZUICAPI::InternalAuthentication() | 8 bytes, always |
 * | CZUICAPI::ExternalAuthentication() | 8 bytes, always |
 * | CZUSAMIC::InitForDESCrypt() | 251 bytes |
 * | CZUSAMIC::DESCrypt() | 251 bytes |
 * | CZUSAMIC::M1AuthAndKeyCalc() | 251 bytes |
 * | CZUSAMIC::Diversify() | an 8-byte factor; 16 bytes come back |
 * | CZUSBIC::CreateATRFile() | 120 bytes of body |
 * | CZUSBIC::ReadRecord() | 255 bytes (253 with tag and length) |
 * | CZUSBIC::UpdateRecord() | 255 bytes (with a tag: 253) |
 * | CZUSBIC::UpdateRecordWithMAC() | 255 bytes, record and MAC together |
 * | CZUSBIC::InternalAuthentication() | 255 bytes |
 * | CZUSBIC::ExternalAuthentication() | 255 bytes |
 * | CZUSBSAMIC::InternalAuthentication() | 255 bytes |
 * | CZUSBSAMIC::ExternalAuthentication() | 255 bytes |
 * | CZUSBSAMIC::ExportKey() | 123 bytes |
 * | UpdateBinaryWithSoftwareMac() | 247 bytes of data a call (Lc FB with the MAC) |
 * | WriteSAMKeyWithSoftwareCalc() | a key record of 19 bytes |
 *
 * Unlike UpdateBinaryFile, which splits its data itself,
 * UpdateBinaryWithSoftwareMac refuses more than 247 bytes: a longer write is
 * a loop of calls, each for at most 247 bytes at its own offset and with a
 * challenge of its own (the example @ref secure_writes.cpp).
 *
 * Binary positions: ReadBinaryFile, UpdateBinaryFile,
 * UpdateBinaryFileWithMac and UpdateBinaryWithSoftwareMac refuse positions
 * of 65,536 or more. For an offset below 32,768 every chunk must start below
 * 32,768 (above it P1's top bit would select short-identifier addressing of
 * another file); an offset of 32,768 or more is the caller's own
 * short-identifier addressing and every chunk must keep that offset's P1.
 */

/**
 * @page zuicapi_host What a host must know
 *
 * @section zuicapi_host_results Results and secrets
 *
 * - Success means the card answered 90 00, nothing more. When a card or SAM
 *   answers 90 00 with no data, InternalAuthentication, the social-security
 *   authentications, DESCrypt, M1AuthAndKeyCalc and Diversify still return 1
 *   and leave the caller's buffer as it was (for Diversify: either half of
 *   diversifiedKey). A host that needs the answer fills its buffer with a
 *   value it can recognise first, or checks the count where one is returned.
 * - The operations wipe their own command buffers, which carry PINs and
 *   keys (VerifyPin, ChangePin, WriteKey, WriteSAMKeyWithSoftwareCalc), and
 *   the reader wipes its copies of commands and answers. The caller's own
 *   buffers stay the caller's to wipe. The reader's trace hook (ZUICRD.h)
 *   is given the real bytes, PINs and keys included: a host that logs them
 *   decides itself what to mask.
 * - The software DES used by the two software-assisted writes is table
 *   driven and not constant-time: on a machine shared with untrusted code,
 *   cache timing can reveal bits of the key.
 * - PINs, keys and data in const memory: VerifyPin, ChangePin, WriteKey,
 *   WriteKeyWithEncryptionAndMAC and the two software-assisted writes have
 *   forms that take const pointers (the constants of ZUICSIM.h among them)
 *   and send the same commands through the fixed operations, which only
 *   read those bytes. A class that overrides one of the fixed operations
 *   brings the const form back into its scope with a using-declaration.
 *
 * @section zuicapi_host_state The card's state after a failure
 *
 * A card object keeps nothing between calls, and an operation that fails
 * undoes nothing: what stays behind is the card's. Most cards, and the
 * simulated card (ZUICSIM.h, @ref zusim_failures "State after a failure"),
 * keep it so:
 * - A wrong PIN (VerifyPin, or ChangePin's old PIN) costs a try and takes
 *   back an earlier successful VERIFY of that PIN: files that need it answer
 *   69 82 until the PIN is verified again. A refused ExternalAuthentication
 *   does the same for its key.
 * - A refused SelectDF or SelectEF leaves the file selected before it
 *   current: a read that follows without checking the result reads the old
 *   file, and the card answers 90 00.
 * - ReadBinaryFile returns 0 at the first chunk refused or answered short;
 *   buffer then holds the chunks read before it and the bytes of the short
 *   one, and how many is not reported. A read past the end of the file ends
 *   so (the simulated card's GetSW() then shows 90 00): read within the
 *   file's size.
 * - UpdateBinaryFile stops at the first chunk refused; the chunks before it
 *   stay written. A write under secure messaging whose MAC the card refuses
 *   (69 88) leaves the file as it was.
 * - A challenge serves one command: the command that checks a MAC or a
 *   cryptogram against it uses it up, whether the check succeeds or not.
 *   Each call of the software-assisted writes asks for a challenge of its
 *   own.
 * - A reset (Reset, Open, or another program's reset of a shared card)
 *   forgets the selection, the challenge and the security state.
 *
 * @section zuicapi_host_reasons Why an operation failed
 *
 * Every operation of the four classes and both free functions leave a
 * reason for the calling thread (ZUGetLastError() in ZUICRD.h, a ZUError):
 * ZU_E_NONE when they return 1, else the reason of the step that failed.
 * Read it right after the call, on the same thread.
 *
 * - ZU_E_CARD_REFUSED, left by every operation that sends a command:
 *   GetSW() and ZUStatusWordText() say why (VerifyPin gives the tries left).
 * - ZU_E_INPUT_TOO_LONG, left by every operation of @ref zuicapi_limits for
 *   data over its largest field (CreateADF's name over 16 bytes, ReadRecord's
 *   length over 256, ...): split the data, or it does not fit the command.
 * - ZU_E_INPUT_RANGE: ReadBinaryFile, UpdateBinaryFile,
 *   UpdateBinaryFileWithMac and UpdateBinaryWithSoftwareMac for a position
 *   they cannot address, CreateADF for a name under 5 bytes, UpdateRecord for
 *   a record number over 255: correct the argument.
 * - ZU_E_INPUT_NULL, left by every operation that takes bytes, for a null
 *   pointer where bytes are wanted: correct the argument.
 * - ZU_E_NOT_OPEN, every operation on an object never opened, or closed.
 * - ZU_E_NO_CARD, ZU_E_CARD_REMOVED, every operation: ask for the card
 *   (ZUWaitForCard), then Reset and start the sequence again.
 * - ZU_E_CARD_RESET, every operation, once, after another program reset a
 *   shared card: select and verify again on the same object.
 * - ZU_E_TIMEOUT, every operation, when another program or thread held the
 *   card past the transaction timeout: try again later.
 * - ZU_E_HOLD_BROKEN, every operation inside a host's CZUTransaction whose
 *   card went and came back: end the hold, start the sequence again.
 * - ZU_E_READER_GONE, ZU_E_NO_SERVICE, every operation: plug the reader back
 *   in, or start the smart-card service; then Open.
 * - ZU_E_BAD_ANSWER, every operation that reads data: a malformed answer, a
 *   chunk shorter than asked, a card that never ends its GET RESPONSE chain.
 * - ZU_E_TRANSPORT, ZU_E_NO_MEMORY, ZU_E_HOST_EXCEPTION, ZU_E_FORKED, every
 *   operation: ZUErrorText() and ZUGetLastPCSCError() say more.
 */
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
/// Marks the card classes and functions that the library exports.
#define ZUICAPI_API __attribute__((visibility("default")))
#endif

/**
 * @brief The general contact card: selection, data access, file-system
 * creation and security operations.
 *
 * A card object is its CZUReader base and nothing else: construct it from an
 * opened reader, or empty and then Open it. The order of declaration of the
 * virtual operations below is the order of the exported virtual table: do
 * not change it.
 *
 * Writes under secure messaging: UpdateBinaryWithSoftwareMac() writes up to
 * 247 bytes of the selected binary file with the MAC computed on the host,
 * and WriteSAMKeyWithSoftwareCalc() loads a key record encrypted and MACed
 * on the host; UpdateBinaryFileWithMac and WriteKeyWithEncryptionAndMAC
 * send a data field that the host has protected itself.
 *
 * The largest input of each operation: @ref zuicapi_limits. The card's state
 * after a failure (a wrong PIN, a failed SELECT, a partial read):
 * @ref zuicapi_host.
 */
class ZUICAPI_API CZUICAPI : public CZUReader {
  public:
    /// An unopened card object.
    CZUICAPI();
    /// A card object that reaches the same connection as `reader` (unopened
    /// for a null reader).
    CZUICAPI(CZUReader* reader);
    /// A copy that reaches the same connection as `other`.
    CZUICAPI(const CZUICAPI& other);
    /// Makes this object reach the connection of `other`; returns *this.
    CZUICAPI& operator=(const CZUICAPI& other);
    /// Makes this object reach the connection of `reader`; returns *this.
    const CZUICAPI& operator=(const CZUReader& reader);
    /// Lets go of the connection (it closes with its last user).
    virtual ~CZUICAPI();

    /**
     * @brief Erases the card's master file and everything in it.
     *
     * Sends 80 0E 00 00 02 3F 00. When the card refuses, presents the first
     * erase key (80 D8 02 00 10 key), else the second, and asks for the erase
     * once more: at most two erase and two key commands.
     * @return 1 when the card erased; 0 when it refused the erase and both
     * keys, or the erase after an accepted key. GetSW shows the last answer.
     */
    virtual int EraseMF();
    /**
     * @brief Creates the master file 3F00 with a DF name.
     *
     * Sends 80 E0 00 01 Lc attr1 attr2 block[8] dfName, Lc = nameLen + 10.
     * What attr1, attr2 and block mean is the card's (for the simulated card
     * see ZUICSIM.h). The new file is in its creation state until CreateEnd.
     * @param attr1 First attribute byte, passed through.
     * @param attr2 Second attribute byte, passed through.
     * @param block 8 bytes, passed through.
     * @param dfName The master file's name, at most 113 bytes (more: 0,
     * nothing sent).
     * @param nameLen Length of dfName.
     * @return 1 when the card created the file, 0 otherwise.
     */
    virtual int CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block,
                         unsigned char* dfName, unsigned long nameLen);
    /**
     * @brief Creates the master file 3F00 without a name.
     *
     * Sends 80 E0 00 00 0A attr1 attr2 block[8].
     * @param attr1 First attribute byte, passed through.
     * @param attr2 Second attribute byte, passed through.
     * @param block 8 bytes, passed through.
     * @return 1 when the card created the file, 0 otherwise.
     */
    virtual int CreateMF(unsigned char attr1, unsigned char attr2, unsigned char* block);
    /**
     * @brief Creates an application directory (DF) in the current DF.
     *
     * Sends 80 E0 01 00 Lc fileId[2] attr1 attr2 dfName, Lc = nameLen + 4.
     * @param fileId The DF's 2-byte identifier, sent in the order given.
     * @param attr1 First attribute byte, passed through.
     * @param attr2 Second attribute byte, passed through.
     * @param dfName The DF's name, 5 to 16 bytes (other lengths: 0, nothing
     * sent).
     * @param nameLen Length of dfName.
     * @return 1 when the card created the DF, 0 otherwise.
     */
    virtual int CreateADF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                          unsigned char* dfName, unsigned long nameLen);
    /**
     * @brief Ends the creation state of a file, after which its access
     * conditions apply.
     *
     * Sends 80 EA fileId[0] fileId[1] 00. Which files a CREATE END may name
     * is the card's rule. The simulated card ends the current DF or a file
     * directly in it, so the master file's creation ends with the master
     * file selected (SELECT 3F00 first; 6A 82 otherwise), as ZUICSIM.h says.
     * @param fileId The 2-byte identifier of the file being created.
     * @return 1 when the card accepted it, 0 otherwise.
     */
    virtual int CreateEnd(unsigned char* fileId);
    /**
     * @brief Creates an elementary file (EF) in the current DF.
     *
     * Sends 80 E0 02 00 07 fileId[2] attr1 attr2 attr3 attr4 attr5. The five
     * attribute bytes (type, size, access conditions) are the card's; the
     * simulated card's are in ZUICSIM.h.
     * @param fileId The EF's 2-byte identifier, sent in the order given.
     * @param attr1 Attribute byte 1, passed through.
     * @param attr2 Attribute byte 2, passed through.
     * @param attr3 Attribute byte 3, passed through.
     * @param attr4 Attribute byte 4, passed through.
     * @param attr5 Attribute byte 5, passed through.
     * @return 1 when the card created the file, 0 otherwise.
     */
    virtual int CreateEF(unsigned char* fileId, unsigned char attr1, unsigned char attr2,
                         unsigned char attr3, unsigned char attr4, unsigned char attr5);
    /**
     * @brief Writes a key or PIN record into the current key file.
     *
     * Sends 80 D4 p1 00 Lc keyData. The record layout is the card's.
     * @param p1 Sent as P1 unchanged; what it selects (a kind of key, a
     * place in the key file) is the card's. The simulated card takes 00
     * alone, its records naming their key or PIN themselves (ZUICSIM.h, "Key
     * records"), and answers 6A 86 to any other P1.
     * @param keyData The key record, at most 123 bytes (more: 0, nothing
     * sent).
     * @param keyDataLength Length of keyData.
     * @return 1 when the card stored the record, 0 otherwise.
     */
    virtual int WriteKey(unsigned char p1, unsigned char* keyData, unsigned long keyDataLength);
    /// WriteKey for a key record in const memory: the same command, sent by
    /// the virtual WriteKey (a template only so that a null pointer still
    /// picks the virtual operation).
    template <class = void>
    int WriteKey(unsigned char p1, const unsigned char* keyData, unsigned long keyDataLength) {
        return WriteKey(p1, const_cast<unsigned char*>(keyData), keyDataLength);
    }
    /**
     * @brief Writes a key record under secure messaging.
     *
     * Sends 84 D4 p1 00 Lc keyData; keyData is the complete data field, the
     * encrypted record followed by its MAC, as the caller computed it.
     * @see WriteSAMKeyWithSoftwareCalc() encrypts a key record of up to 19
     * bytes and computes the MAC on the host, then sends this command with
     * P1 00.
     * @param p1 Sent as P1 unchanged, as for WriteKey (the simulated card:
     * 00 alone).
     * @param keyData The data field, at most 123 bytes (more: 0, nothing
     * sent).
     * @param keyDataLength Length of keyData.
     * @return 1 when the card stored the key, 0 otherwise.
     */
    virtual int WriteKeyWithEncryptionAndMAC(unsigned char p1, unsigned char* keyData,
                                             unsigned long keyDataLength);
    /// WriteKeyWithEncryptionAndMAC for a data field in const memory: the
    /// same command, sent by the virtual operation.
    template <class = void>
    int WriteKeyWithEncryptionAndMAC(unsigned char p1, const unsigned char* keyData,
                                     unsigned long keyDataLength) {
        return WriteKeyWithEncryptionAndMAC(p1, const_cast<unsigned char*>(keyData), keyDataLength);
    }
    /**
     * @brief Selects a DF by its name.
     *
     * Sends 00 A4 04 00 Lc dfName.
     * @param dfName The name, at most 27 bytes (more: 0, nothing sent).
     * @param nameLen Length of dfName.
     * @param resp Receives the card's file control information, at most
     * *respLen bytes; may be null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the card selected the DF; 0 otherwise, and the file
     * selected before stays current (@ref zuicapi_host_state).
     */
    virtual int SelectDF(unsigned char* dfName, unsigned long nameLen, unsigned char* resp,
                         unsigned long* respLen);
    /**
     * @brief Selects a DF (or the master file 3F00) by its identifier.
     *
     * Sends 00 A4 00 00 02 fileId[0] fileId[1].
     * @param fileId The 2-byte identifier.
     * @param resp Receives the file control information, at most *respLen
     * bytes; may be null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the card selected the DF; 0 otherwise, and the file
     * selected before stays current (@ref zuicapi_host_state).
     */
    virtual int SelectDF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen);
    /**
     * @brief Selects an EF of the current DF by its identifier.
     *
     * Sends 00 A4 02 00 02 fileId[0] fileId[1].
     * @param fileId The 2-byte identifier.
     * @param resp Receives the file control information, at most *respLen
     * bytes; may be null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the card selected the EF; 0 otherwise, and the file
     * selected before stays current: a read that follows unchecked reads
     * that file (@ref zuicapi_host_state).
     */
    virtual int SelectEF(unsigned char* const fileId, unsigned char* resp, unsigned long* respLen);
    /**
     * @brief Reads the current binary file.
     *
     * Sends 00 B0 P1 P2 Le per chunk of at most 128 bytes, P1 P2 the chunk's
     * position (see "Binary positions" above).
     * @param buffer Receives the bytes read, at most length.
     * @param length Bytes to read.
     * @param offset Position of the first byte, below 65,536.
     * @return 1 when every chunk was read in full; 0 at the first chunk
     * refused or answered short. buffer then holds the chunks read before
     * it and the bytes of a short one, and their number is not reported; a
     * read past the end of the file ends so, with GetSW showing 90 00
     * (@ref zuicapi_host_state).
     */
    virtual int ReadBinaryFile(unsigned char* buffer, unsigned long length, unsigned long offset);
    /**
     * @brief Writes the current binary file.
     *
     * Sends 00 D6 P1 P2 Lc data per chunk of at most 128 bytes.
     * @param data The bytes to write.
     * @param length Bytes to write.
     * @param offset Position of the first byte, below 65,536.
     * @return 1 when every chunk was written; 0 at the first refused chunk
     * (the chunks before it are written).
     */
    virtual int UpdateBinaryFile(unsigned char* data, unsigned long length, unsigned long offset);
    /**
     * @brief Writes the current binary file under secure messaging, with a
     * MAC the caller computed.
     *
     * Sends 04 D6 P1 P2 Lc data in one command; data is the whole data field,
     * the bytes to write followed by their 4-byte MAC, so at most 7 bytes of
     * data.
     * @see UpdateBinaryWithSoftwareMac() asks for the challenge, computes the
     * MAC on the host and writes up to 247 bytes a call: the usual way to
     * write a file whose write condition is secure messaging.
     * @param data Data and MAC, at most 11 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @param offset Position of the first byte, below 65,536.
     * @return 1 when the card accepted the write, 0 otherwise.
     */
    virtual int UpdateBinaryFileWithMac(unsigned char* data, unsigned long length,
                                        unsigned long offset);
    /**
     * @brief Presents a PIN.
     *
     * Sends 00 20 00 00 Lc pin.
     * @param pin The PIN, at most 11 bytes (more: 0, nothing sent).
     * @param pinLength Length of pin.
     * @param remainingTries Left untouched on success and when the PIN is
     * refused before sending. When the card refuses it, set from the status
     * word: 63 Cn gives n; any other 63 XX leaves it untouched;
     * 69 83 (blocked) gives 0; any other status word gives -1. A host that
     * wants a defined value in every case sets it before the call.
     * @return 1 when the card accepted the PIN, 0 otherwise. A refused PIN
     * also takes back an earlier successful VERIFY of it on most cards and
     * on the simulated card: files that need it answer 69 82 until it is
     * verified again (@ref zuicapi_host_state).
     */
    virtual int VerifyPin(unsigned char* pin, unsigned long pinLength, int& remainingTries);
    /// VerifyPin for a PIN in const memory: the same command, sent by the
    /// virtual VerifyPin (a template only so that a null pointer still picks
    /// the virtual operation).
    template <class = void>
    int VerifyPin(const unsigned char* pin, unsigned long pinLength, int& remainingTries) {
        return VerifyPin(const_cast<unsigned char*>(pin), pinLength, remainingTries);
    }
    /**
     * @brief Replaces a PIN.
     *
     * Sends 80 5E 01 00 Lc oldPin FF newPin, Lc = oldPinLength +
     * newPinLength + 1.
     * @param oldPin The current PIN.
     * @param oldPinLength Its length.
     * @param newPin The new PIN.
     * @param newPinLength Its length; both PINs together at most 10 bytes
     * (more: 0, nothing sent).
     * @return 1 when the card changed the PIN, 0 otherwise. A wrong old PIN
     * counts as a wrong VerifyPin.
     */
    virtual int ChangePin(unsigned char* oldPin, unsigned long oldPinLength, unsigned char* newPin,
                          unsigned long newPinLength);
    /// ChangePin for PINs in const memory: the same command, sent by the
    /// virtual ChangePin.
    template <class = void>
    int ChangePin(const unsigned char* oldPin, unsigned long oldPinLength,
                  const unsigned char* newPin, unsigned long newPinLength) {
        return ChangePin(const_cast<unsigned char*>(oldPin), oldPinLength,
                         const_cast<unsigned char*>(newPin), newPinLength);
    }
    /**
     * @brief Appends a record to the current record file.
     *
     * Sends 00 E2 00 00 Lc data.
     * @param data The record, at most 251 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the card appended it, 0 otherwise.
     */
    virtual int AppendRecord(unsigned char* data, unsigned long length);
    /**
     * @brief Replaces a record of the current record file.
     *
     * Sends 00 DC recordNo 04 Lc data (P1 the low byte of recordNo).
     * @param recordNo The record number.
     * @param data The record, at most 251 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the card wrote it, 0 otherwise.
     */
    virtual int UpdateRecord(int recordNo, unsigned char* data, unsigned long length);
    /**
     * @brief Reads a record of the current record file.
     *
     * Sends 00 B2 recordNo 04 Le.
     * @param recordNo The record number.
     * @param length Bytes asked for and room in buffer, at most 256, sent as
     * Le 00 (more: 0, nothing sent).
     * @param buffer Receives at most length bytes of the record; the count
     * received is not reported.
     * @return 1 when the card returned the record, 0 otherwise.
     */
    virtual int ReadRecord(unsigned char recordNo, unsigned long length, unsigned char* buffer);
    /**
     * @brief Gathers challenge bytes from the card.
     *
     * Sends 00 84 00 00 Le (Le 8, or length when smaller) until length bytes
     * are gathered; the surplus of the last answer is dropped.
     * @param buffer Receives exactly length bytes; bytes behind them are not
     * touched.
     * @param length Bytes wanted.
     * @return 1 when length bytes were gathered; 0 at the first refused
     * exchange or an accepted one with no data (buffer then holds the bytes
     * gathered before).
     */
    virtual int GenerateRandom(unsigned char* buffer, unsigned long length);
    /**
     * @brief Has the card encrypt a challenge with one of its keys.
     *
     * Sends 00 88 00 keyId 08 challenge[8].
     * @param keyId The card's key number, sent as P2.
     * @param challenge 8 bytes.
     * @param resp Receives the card's answer, at most 8 bytes; left as it was
     * when the card answers 90 00 with no data.
     * @return 1 when the card answered 90 00, 0 otherwise.
     */
    virtual int InternalAuthentication(unsigned char keyId, unsigned char* challenge,
                                       unsigned char* resp);
    /**
     * @brief Proves the host's key to the card.
     *
     * Sends 00 82 00 keyId 08 cryptogram[8]: the card's last challenge
     * encrypted under key keyId.
     * @param keyId The card's key number, sent as P2.
     * @param cryptogram 8 bytes.
     * @return 1 when the card accepted the cryptogram, 0 otherwise; a
     * refused one takes back an earlier authentication with that key
     * (@ref zuicapi_host_state).
     */
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram);
};

/**
 * @brief The security access module (SAM) that holds the issuer's keys:
 * DES computations and key diversification with keys that never leave it.
 */
class ZUICAPI_API CZUSAMIC : public CZUICAPI {
  public:
    /// An unopened SAM object.
    CZUSAMIC();
    /// A SAM object that reaches the same connection as `reader`.
    CZUSAMIC(CZUReader* reader);
    /// A copy that reaches the same connection as `other`.
    CZUSAMIC(const CZUSAMIC& other);
    /// Makes this object reach the connection of `other`; returns *this.
    CZUSAMIC& operator=(const CZUSAMIC& other);
    /// Makes this object reach the connection of `reader`; returns *this.
    const CZUSAMIC& operator=(const CZUReader& reader);
    /// Lets go of the connection (it closes with its last user).
    virtual ~CZUSAMIC();

    /**
     * @brief Prepares a SAM key for the next DESCrypt.
     *
     * Sends 80 1A p1 p2 Lc data (no data: 80 1A p1 p2 00).
     * @param p1 Sent as P1 (the SAM's key number).
     * @param p2 Sent as P2.
     * @param data Optional data (diversification factors), at most 251
     * bytes (more, or null with a non-zero length: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the SAM accepted it, 0 otherwise.
     */
    virtual int InitForDESCrypt(unsigned char p1, unsigned char p2, unsigned char* data,
                                unsigned long length);
    /**
     * @brief Encrypts or decrypts with the key prepared by InitForDESCrypt.
     *
     * Sends 80 FA p1 00 Lc data.
     * @param p1 Sent as P1 (the direction).
     * @param data The data, at most 251 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @param resp Receives at most *respLen bytes of the answer; may be null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the SAM answered 90 00, 0 otherwise.
     */
    virtual int DESCrypt(unsigned char p1, unsigned char* data, unsigned long length,
                         unsigned char* resp, unsigned long* respLen);
    /**
     * @brief Has the SAM compute an authentication cryptogram or session key.
     *
     * Sends 80 FC p1 p2 Lc data.
     * @param p1 Sent as P1.
     * @param p2 Sent as P2.
     * @param data The data, at most 251 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @param resp Receives at most *respLen bytes of the answer; may be null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the SAM answered 90 00, 0 otherwise.
     */
    virtual int M1AuthAndKeyCalc(unsigned char p1, unsigned char p2, unsigned char* data,
                                 unsigned long length, unsigned char* resp, unsigned long* respLen);
    /**
     * @brief Diversifies a SAM key along an 8-byte factor.
     *
     * Sends 80 1A p1 p2 00, 80 FA 00 00 08 factor, 80 1A p1 p2 00, 80 FA 00 00
     * 08 with the complemented factor; stops at the first refusal.
     * @param p1 Sent as P1 of 80 1A (the SAM's key number).
     * @param p2 Sent as P2 of 80 1A.
     * @param factor 8 bytes.
     * @param diversifiedKey Room for 16 bytes. Bytes 0-7: the SAM's answer
     * for factor; bytes 8-15: its answer for the complemented factor.
     * @return 1 when all four commands were accepted; 0 otherwise (the left
     * half may already be written).
     */
    virtual int Diversify(unsigned char p1, unsigned char p2, unsigned char* factor,
                          unsigned char* diversifiedKey);
};

/**
 * @brief The social-security user card: tag-and-length records addressed by
 * short file identifier, authentication data of any length.
 *
 * Record commands' P2 is sfi shifted left by three bits ORed with
 * referenceMode (4: the record numbered in P1). Reached through a CZUICAPI
 * pointer, the general card's operations of the same names run.
 */
class ZUICAPI_API CZUSBIC : public CZUICAPI {
  public:
    /// An unopened card object.
    CZUSBIC();
    /// A card object that reaches the same connection as `reader`.
    CZUSBIC(CZUReader* reader);
    /// A copy that reaches the same connection as `other`.
    CZUSBIC(const CZUSBIC& other);
    /// Makes this object reach the connection of `other`; returns *this.
    CZUSBIC& operator=(const CZUSBIC& other);
    /// Makes this object reach the connection of `reader`; returns *this.
    const CZUSBIC& operator=(const CZUReader& reader);
    /// Lets go of the connection (it closes with its last user).
    virtual ~CZUSBIC();

    using CZUICAPI::ExternalAuthentication;
    using CZUICAPI::InternalAuthentication;
    using CZUICAPI::ReadRecord;
    using CZUICAPI::UpdateRecord;

    /**
     * @brief Creates the card's answer-to-reset file.
     *
     * Sends 80 E0 02 00 Lc fileId[2] attr1 body, Lc = bodyLength + 3.
     * @param fileId The file's 2-byte identifier.
     * @param attr1 Attribute byte, passed through.
     * @param body The file's content, at most 120 bytes (more: 0, nothing
     * sent).
     * @param bodyLength Length of body.
     * @return 1 when the card created the file, 0 otherwise.
     */
    virtual int CreateATRFile(unsigned char* fileId, unsigned char attr1, unsigned char* body,
                              unsigned long bodyLength);
    /**
     * @brief Reads a record of a file named by short identifier.
     *
     * Sends 00 B2 recordNo P2 Le, Le = length (+ 2 with withTagAndLength).
     * @param recordNo The record number.
     * @param sfi The short file identifier.
     * @param referenceMode Low three bits of P2.
     * @param length Bytes wanted, at most 255 (253 with withTagAndLength;
     * more: 0, nothing sent).
     * @param buffer Receives at most length bytes of the record; with
     * withTagAndLength set the tag and length bytes are dropped first.
     * Untouched on failure.
     * @param withTagAndLength Non-zero: the record carries a tag and a length
     * byte before its value.
     * @return 1 when the record was read, 0 otherwise (also for an answer too
     * short to hold the tag and length).
     */
    virtual int ReadRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                           unsigned long length, unsigned char* buffer, int withTagAndLength);
    /**
     * @brief Replaces a record of a file named by short identifier.
     *
     * Sends 00 DC recordNo P2 Lc data.
     * @param recordNo The record number.
     * @param sfi The short file identifier.
     * @param referenceMode Low three bits of P2.
     * @param data The record, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the card wrote it, 0 otherwise.
     */
    virtual int UpdateRecord(unsigned char recordNo, unsigned char sfi, unsigned char referenceMode,
                             unsigned char* data, unsigned long length);
    /**
     * @brief Replaces a record with a tag-and-length record.
     *
     * Sends 00 DC recordNo P2 Lc tag length data, Lc = length + 2.
     * @param tag The record's tag.
     * @param recordNo The record number.
     * @param sfi The short file identifier.
     * @param referenceMode Low three bits of P2.
     * @param data The value, at most 253 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the card wrote it, 0 otherwise.
     */
    virtual int UpdateRecord(unsigned char tag, unsigned char recordNo, unsigned char sfi,
                             unsigned char referenceMode, unsigned char* data,
                             unsigned long length);
    /**
     * @brief Replaces a record under secure messaging, with a MAC the caller
     * computed.
     *
     * Sends 04 DC recordNo P2 Lc data; data is the record followed by its MAC.
     * @param recordNo The record number.
     * @param sfi The short file identifier.
     * @param referenceMode Low three bits of P2.
     * @param data Record and MAC, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of data.
     * @return 1 when the card wrote it, 0 otherwise.
     */
    virtual int UpdateRecordWithMAC(unsigned char recordNo, unsigned char sfi,
                                    unsigned char referenceMode, unsigned char* data,
                                    unsigned long length);
    /**
     * @brief Has the card authenticate itself over data of any length.
     *
     * Sends 00 88 00 00 Lc challenge.
     * @param challenge The data, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of challenge.
     * @param resp Receives at most 8 bytes of the answer; left as it was when
     * the card answers 90 00 with no data.
     * @return 1 when the card answered 90 00, 0 otherwise.
     */
    virtual int InternalAuthentication(unsigned char* challenge, unsigned long length,
                                       unsigned char* resp);
    /**
     * @brief Proves the host's key with data of any length.
     *
     * Sends 00 82 00 keyId Lc cryptogram.
     * @param keyId The card's key number, sent as P2.
     * @param cryptogram The data, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of cryptogram.
     * @return 1 when the card accepted it, 0 otherwise.
     */
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                       unsigned long length);
};

/**
 * @brief The social-security SAM: the SAM's operations, authentications
 * over data of any length, and key export.
 */
class ZUICAPI_API CZUSBSAMIC : public CZUSAMIC {
  public:
    /// An unopened SAM object.
    CZUSBSAMIC();
    /// A SAM object that reaches the same connection as `reader`.
    CZUSBSAMIC(CZUReader* reader);
    /// A copy that reaches the same connection as `other`.
    CZUSBSAMIC(const CZUSBSAMIC& other);
    /// Makes this object reach the connection of `other`; returns *this.
    CZUSBSAMIC& operator=(const CZUSBSAMIC& other);
    /// Makes this object reach the connection of `reader`; returns *this.
    const CZUSBSAMIC& operator=(const CZUReader& reader);
    /// Lets go of the connection (it closes with its last user).
    virtual ~CZUSBSAMIC();

    using CZUICAPI::ExternalAuthentication;
    using CZUICAPI::InternalAuthentication;

    /**
     * @brief Has the SAM authenticate itself over data of any length.
     *
     * Sends 00 88 00 00 Lc challenge.
     * @param challenge The data, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of challenge.
     * @param resp Receives at most 8 bytes of the answer; left as it was when
     * the SAM answers 90 00 with no data.
     * @return 1 when the SAM answered 90 00, 0 otherwise.
     */
    virtual int InternalAuthentication(unsigned char* challenge, unsigned long length,
                                       unsigned char* resp);
    /**
     * @brief Proves the host's key to the SAM with data of any length.
     *
     * Sends 00 82 00 keyId Lc cryptogram.
     * @param keyId The SAM's key number, sent as P2.
     * @param cryptogram The data, at most 255 bytes (more: 0, nothing sent).
     * @param length Length of cryptogram.
     * @return 1 when the SAM accepted it, 0 otherwise.
     */
    virtual int ExternalAuthentication(unsigned char keyId, unsigned char* cryptogram,
                                       unsigned long length);
    /**
     * @brief Exports a SAM key wrapped under another SAM key.
     *
     * Sends 80 F6 p1 p2 Lc data.
     * @param p1 Sent as P1 (the key to export).
     * @param p2 Sent as P2 (the wrapping key).
     * @param data Optional diversification factors, at most 123 bytes (more:
     * 0, nothing sent).
     * @param length Length of data.
     * @param resp Receives at most *respLen bytes of the wrapped key; may be
     * null.
     * @param respLen In: room in resp; out: bytes copied. May be null.
     * @return 1 when the SAM answered 90 00, 0 otherwise.
     */
    virtual int ExportKey(unsigned char p1, unsigned char p2, unsigned char* data,
                          unsigned long length, unsigned char* resp, unsigned long* respLen);
};

/**
 * @brief Writes the selected binary file under secure messaging, the MAC
 * computed in software.
 *
 * Asks the card for a 4-byte challenge (00 84 00 00 04), then sends
 * 04 D6 P1 P2 Lc data MAC, the MAC computed with the 16-byte key (ISO/IEC
 * 9797-1 MAC algorithm 3, padding method 2, initial value the challenge
 * followed by four zero bytes).
 *
 * Unlike UpdateBinaryFile it does not split its data: more than 247 bytes
 * are written by a loop of calls, each with its own offset and challenge
 * (the example @ref secure_writes.cpp). A card that finds the MAC wrong
 * answers 69 88 and leaves the file as it was.
 * @param card The card, its binary file selected.
 * @param key 16-byte MAC key.
 * @param data The bytes to write, at most 247 (more: 0, nothing sent).
 * @param dataLength Length of data.
 * @param offset Position of the first byte, below 65,536.
 * @return The card's verdict on the write (1 accepted), or 0 when refused
 * before anything was sent or the challenge failed.
 */
ZUICAPI_API int UpdateBinaryWithSoftwareMac(CZUICAPI* card, unsigned char* key, unsigned char* data,
                                            unsigned long dataLength, unsigned long offset);
/// UpdateBinaryWithSoftwareMac for a key and data in const memory: the same
/// commands, sent by the exported function, which only reads them (a
/// template only so that null pointers still pick the exported function).
template <class = void>
int UpdateBinaryWithSoftwareMac(CZUICAPI* card, const unsigned char* key, const unsigned char* data,
                                unsigned long dataLength, unsigned long offset) {
    return UpdateBinaryWithSoftwareMac(card, const_cast<unsigned char*>(key),
                                       const_cast<unsigned char*>(data), dataLength, offset);
}

/**
 * @brief Loads a key into a SAM under secure messaging, computed in software.
 *
 * Asks the SAM for a 4-byte challenge (00 84 00 00 04), then sends 84 D4 00 00 Lc block MAC: block
 * is the length-prefixed key record padded (80 00 ...) to a multiple of 8 and encrypted with
 * two-key triple DES under key; the MAC as for UpdateBinaryWithSoftwareMac.
 * The simulated card and SAMs take key loads under ZUSIM_KEY_LOADING_KEY
 * (ZUICSIM.h); a card object of another class is passed as a CZUSAMIC made
 * from it (CZUSAMIC loader(&card)).
 * @param sam The SAM.
 * @param key 16-byte key-loading key.
 * @param keyData The key record, 0 to 19 bytes (more: 0, nothing sent).
 * @param keyDataLength Length of keyData.
 * @return The SAM's verdict on the write (1 accepted), or 0 when refused
 * before anything was sent or the challenge failed.
 */
ZUICAPI_API int WriteSAMKeyWithSoftwareCalc(CZUSAMIC* sam, unsigned char* key,
                                            unsigned char* keyData, unsigned long keyDataLength);
/// WriteSAMKeyWithSoftwareCalc for a key and key record in const memory, such
/// as ZUSIM_KEY_LOADING_KEY: the same commands, sent by the exported
/// function, which only reads them.
template <class = void>
int WriteSAMKeyWithSoftwareCalc(CZUSAMIC* sam, const unsigned char* key,
                                const unsigned char* keyData, unsigned long keyDataLength) {
    return WriteSAMKeyWithSoftwareCalc(sam, const_cast<unsigned char*>(key),
                                       const_cast<unsigned char*>(keyData), keyDataLength);
}

#endif
