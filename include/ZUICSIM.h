/**
 * @file ZUICSIM.h
 * @brief ZUICSIM: the simulated card and SAM, for hosts that develop and test
 * without a card reader.
 *
 * Link ZUICAPI::sim (CMake) or zuicsim (pkg-config),
 * call ZUSimRegister() once, and open the readers "sim", "simsam", "simsb"
 * and "simsbsam" like any other reader (CZUReader::Open).
 *
 * @par Readers and their options
 * @code{.unparsed}
 * Reader names (CZUReader::Open after ZUSimRegister):
 *   "sim"       the general card          "simsam"    the SAM
 *   "simsb"     the social-security card  "simsbsam"  the social-security SAM
 * Options follow a colon, separated by commas, and apply to the connection
 * that names them:
 *   t0          T=0 answering: a command with data that has an answer gets
 *               61 XX (the data then comes with GET RESPONSE), and a command
 *               whose Le does not fit its answer gets 6C XX (send it again
 *               with Le = XX). Opening with ZU_PROTOCOL_T0 does the same.
 *   remove=N    the card leaves the reader after N commands: every later
 *               exchange fails, IsCardExist reports no card, Reset fails.
 *   refuse=N    the Nth command is not carried out and gets 6F 00.
 * Commands are counted as the card receives them, GET RESPONSE and re-sent
 * commands included. Example: "sim:t0,remove=12".
 * @endcode
 * In process, each base name has one device per process that every
 * connection reaches, so that reopening the reader sees the files created
 * before; opening powers the card on (selection, challenge and security state
 * start afresh). ZUSimResetAll forgets them: the next connection meets a
 * blank card. ChangeSlot(0) moves a connection to the family's card, 1 to its
 * SAM ("sim"/"simsam", "simsb"/"simsbsam").
 *
 * @par The SAM's commands (both SAMs)
 * @code{.unparsed}
 * 80 1A P1 P2 [factors]   prepare SAM key P1 for the next 80 FA; P2 the
 *                         key kind it must have (00 any, see
 *                         "Key records" below); with data (8-byte factors)
 *                         the key prepared is the key diversified along
 *                         them (softenc's DiversifyKeyChain)
 * 80 FA P1 00 data        with the prepared key, which it uses up: P1 00
 *                         encrypts, 01 decrypts the data (a multiple of 8
 *                         bytes) in ECB, triple DES for a 16-byte key
 * 80 FC P1 00 factor[8] challenge[8]
 *                         the cryptogram with which a card whose key is
 *                         DiversifyKey(SAM key P1, factor) accepts EXTERNAL
 *                         AUTHENTICATE for that challenge: the challenge
 *                         encrypted under the diversified key (8 bytes)
 * 80 F6 P1 P2 [factors]   (social-security SAM) exports key P1, diversified
 *                         along the factors if given, wrapped with SAM key
 *                         P2: its length byte, the key and 80 00 ...
 *                         padding to a multiple of 8, encrypted with two-key
 *                         triple DES under key P2, which must be a key of
 *                         usage key loading (69 85 otherwise)
 * @endcode
 * A key of usage key loading (the transport key 02) serves for nothing but
 * export: 80 1A and 80 FC refuse it with 69 85. The SAMs' keys are written
 * only under secure messaging, the keys held from the start are never
 * replaced, and no key of usage key loading is written (below).
 * So CZUSAMIC::Diversify(P1, 00, factor) on the SAM gives
 * DiversifyKey(key P1, factor).
 *
 * @par Authentication
 * INTERNAL AUTHENTICATE 00 88 00 n answers the 8 data bytes
 * encrypted under key n; EXTERNAL AUTHENTICATE 00 82 00 n accepts the last
 * challenge (its bytes, zero-filled to 8) encrypted under key n. Each key
 * serves one of the two (its usage, "Key usage" below): a key that answers
 * INTERNAL AUTHENTICATE is refused by EXTERNAL AUTHENTICATE with 69 85. The
 * social-security card and SAM take data of any length: INTERNAL
 * AUTHENTICATE answers the last block of the CBC encryption (zero initial
 * value) of the data zero-filled to a multiple of 8, and EXTERNAL
 * AUTHENTICATE takes free terminal data followed by 8 bytes that must be
 * that value for the challenge followed by the terminal data.
 *
 * @par CREATE FILE
 * What the simulated card operating system makes of the bytes that the
 * library's CREATE FILE commands (80 E0) pass through unchanged:
 * @code{.unparsed}
 * CREATE FILE, P1 00: the master file 3F00 (P2 01: with a DF name)
 *   data: attr1 attr2 block[8] [name]
 *   attr1    access condition for creating files in the master file once its
 *            creation has ended (see "Access conditions")
 *   attr2    the erase key that the card accepts with 80 D8 02 00 before it
 *            erases its master file: 01 the first key of EraseMF
 *            (00 11 22 ... FF), 02 the second (FF EE ... 00), any other
 *            value either of them
 *   block    the card's 8-byte serial number, shown in the master file's
 *            file control information
 *   name     1 to 16 bytes, selectable with SELECT by name
 *
 * CREATE FILE, P1 01: an application directory (DF) in the current DF
 *   data: fileId[2] attr1 attr2 name[1..16]
 *   attr1    access condition for creating files in it after its creation
 *   attr2    kept and shown in its file control information; no meaning
 *
 * CREATE FILE, P1 02: an elementary file (EF) in the current DF
 *   data: fileId[2] attr1 attr2 attr3 attr4 attr5 (exactly 7 bytes)
 *   attr1    bits 8-4: the short file identifier (1 to 30; 0 takes the low
 *            five bits of the file identifier); bits 3-1: the file type
 *              1 binary (transparent)       attr2 attr3: size in bytes,
 *                                           big-endian, 1 to 32,767
 *              2 linear fixed records       attr2: number of records (1-254),
 *              3 linear variable records    attr3: record length, or the
 *              4 cyclic records             longest record (1-255); fixed
 *                                           and cyclic records are written
 *                                           whole, exactly that long
 *              5 key file                   attr3: room for key records
 *                                           (1-32); attr2 ignored
 *              6 tag-and-length records     as 3, but every record is one
 *                (social-security card)     tag, one length byte and as
 *                                           many value bytes
 *   attr4    access condition for reading (READ BINARY, READ RECORD)
 *   attr5    access condition for writing (UPDATE BINARY/RECORD, APPEND
 *            RECORD, and for a key file plain WRITE KEY)
 * @endcode
 * The social-security card's answer-to-reset file: on that card a create
 * command for the identifier 2F01 carries fileId[2] attr1 body[...]: a
 * binary file holding the body, attr1 its write access condition; reading
 * it is always allowed.
 *
 * @anchor zusim_creation
 * @par Creation state and CREATE END
 * A new file starts in its creation state and becomes the current file (a
 * DF the current directory, an EF the current EF). While a file is in that
 * state its access conditions do not apply, so the issuer can fill it.
 * Files are created in the current DF when it is in its creation state or
 * when its creation access condition is met. CREATE END (80 EA fileId) ends
 * the creation state of the current DF or of a file directly in it, the
 * current EF among them; any other file gets 6A 82, and a file whose
 * creation has ended 69 85. So the master file's creation ends with the
 * master file selected (SELECT 3F00 first; it is also the current DF after
 * its own creation and after a reset).
 *
 * @par Access conditions (attr1 of MF and DF, attr4 and attr5 of an EF)
 * @code{.unparsed}
 * 00       always
 * 1n       after a successful VERIFY of PIN n
 * 2n       after a successful EXTERNAL AUTHENTICATE with key n
 * 3n       only under secure messaging (CLA 04) with the MAC under key n
 * FF       never
 * @endcode
 * A write under secure messaging (04 D6, 04 DC) is checked with the key
 * numbered by the low four bits of the file's write condition; the command
 * is carried out only when the MAC is right (else 69 88, file unchanged).
 * PINs and keys are looked up in the key files of the file's DF, then of
 * its parents up to the master file.
 *
 * @par Key records (WRITE KEY 80 D4 00 00, and the plain block of 84 D4 00 00)
 * @code{.unparsed}
 * number kind limit value...
 * number   the key or PIN number (keys and PINs are counted apart)
 * kind     low four bits: 01 single-DES key (8-byte value), 02 two-key
 *          triple-DES key (16-byte value), 08 PIN (1 to 8 bytes);
 *          high four bits, keys only: the key's usage (see "Key usage")
 * limit    PIN: tries allowed (1 to 15); key: failed EXTERNAL AUTHENTICATE
 *          commands allowed (0: no limit)
 * @endcode
 * A record for an existing number and class replaces that key or PIN. P1
 * and P2 of WRITE KEY are 00: the record names its key or PIN, and any
 * other P1 or P2 gets 6A 86. Under secure messaging (84 D4) the data field
 * is the record, prefixed by its length byte and padded (80 00 ...) to a
 * multiple of 8, encrypted with two-key triple DES under
 * ZUSIM_KEY_LOADING_KEY (below), followed by the 4-byte MAC under the same
 * key: WriteSAMKeyWithSoftwareCalc with that key builds it. The write
 * condition of the key file applies to both forms (a file in its creation
 * state takes either).
 *
 * @par Key usage
 * Each key serves one purpose and the card uses it for nothing else; a
 * command that names a key of another usage gets 69 85 and nothing is
 * computed:
 * @code{.unparsed}
 * 10  internal authentication: INTERNAL AUTHENTICATE answers with it
 * 20  external authentication: EXTERNAL AUTHENTICATE checks it (and
 *     access condition 2n)
 * 30  secure messaging: the MAC of 04 D6 / 04 DC (access condition 3n)
 * 40  key loading: on a SAM, wraps exported keys; no DES computation,
 *     cryptogram or authentication uses it
 * 00  not stated: the first command that uses the key fixes its usage, so
 *     that a key which has answered INTERNAL AUTHENTICATE is never accepted
 *     by EXTERNAL AUTHENTICATE (the card would answer its own challenge).
 * @endcode
 *
 * @par The SAMs' key tables
 * Keys are written only under secure messaging (84 D4; a plain 80 D4 gets
 * 69 82); the keys a SAM holds from the start (below) cannot be replaced,
 * and no key of usage 40 can be written (69 86 for both): so no key that
 * wraps an export is known to the caller, and no computation the caller may
 * ask for (80 1A / 80 FA, 80 FC) runs under one. The transport key 02 has
 * usage 40.
 *
 * @anchor zusim_failures
 * @par State after a failure
 * A refused command changes nothing on the card but what this list says.
 * - A wrong PIN (VERIFY, or the old PIN of CHANGE PIN) costs a try and
 *   takes back an earlier successful VERIFY of that PIN: files whose
 *   condition is that PIN answer 69 82 until it is verified again. A PIN
 *   whose tries are used up is blocked (69 83). A wrong EXTERNAL
 *   AUTHENTICATE likewise takes back an earlier authentication with its key
 *   and counts against the key's limit.
 * - A refused SELECT leaves the current DF and EF as they were: a READ
 *   BINARY that follows reads the file selected before, with 90 00.
 * - A challenge serves one check: the 04 D6, 04 DC, 84 D4 or EXTERNAL
 *   AUTHENTICATE that checks a MAC or cryptogram against it uses it up, right
 *   or wrong; a wrong MAC gets 69 88 and changes nothing.
 * - A READ BINARY that asks for more than the file holds from its offset
 *   gets 6C XX, XX the bytes left, which the reader asks for at once; one
 *   that starts past the end gets 6B 00. So ReadBinaryFile past the end of
 *   a file keeps the bytes up to its end and returns 0, GetSW showing 90 00
 *   (or 6B 00). An UPDATE BINARY past the end (6A 84, 6B 00) writes
 *   nothing; the chunks that UpdateBinaryFile wrote before it stay written.
 * - A reset, or opening the reader again, forgets the selection, the
 *   challenge, the erase key presented and every PIN and key presented.
 *
 * Comparisons of PINs, authentication cryptograms, MACs and erase keys take
 * the same time whatever the wrong value.
 */
#ifndef ZUICSIM_H
#define ZUICSIM_H

#include <cstddef>
#include <vector>

/// The simulated card operating system's attribute and key-record bytes.
enum : unsigned char {
    ZUSIM_EF_BINARY = 1,   ///< EF type (attr1 bits 3-1): binary (transparent).
    ZUSIM_EF_FIXED = 2,    ///< EF type: linear fixed records.
    ZUSIM_EF_VARIABLE = 3, ///< EF type: linear variable records.
    ZUSIM_EF_CYCLIC = 4,   ///< EF type: cyclic records.
    ZUSIM_EF_KEYS = 5,     ///< EF type: key file.
    ZUSIM_EF_TLV = 6,      ///< EF type: tag-and-length records.

    ZUSIM_AC_FREE = 0x00,  ///< Access condition: always.
    ZUSIM_AC_PIN = 0x10,   ///< Access condition: after VERIFY of PIN n (| n).
    ZUSIM_AC_AUTH = 0x20,  ///< Access condition: after EXTERNAL AUTHENTICATE with key n (| n).
    ZUSIM_AC_SM = 0x30,    ///< Access condition: secure messaging with the MAC under key n (| n).
    ZUSIM_AC_NEVER = 0xFF, ///< Access condition: never.

    ZUSIM_KEY_DES = 0x01,   ///< Key record kind: single-DES key, 8-byte value.
    ZUSIM_KEY_TDES2 = 0x02, ///< Key record kind: two-key triple-DES key, 16-byte value.
    ZUSIM_KEY_PIN = 0x08,   ///< Key record kind: PIN, 1 to 8 bytes.

    ZUSIM_USE_UNSTATED = 0x00,         ///< Key usage: fixed by the key's first use.
    ZUSIM_USE_INTERNAL_AUTH = 0x10,    ///< Key usage: INTERNAL AUTHENTICATE.
    ZUSIM_USE_EXTERNAL_AUTH = 0x20,    ///< Key usage: EXTERNAL AUTHENTICATE.
    ZUSIM_USE_SECURE_MESSAGING = 0x30, ///< Key usage: the MAC of 04 D6 / 04 DC.
    ZUSIM_USE_KEY_LOADING = 0x40,      ///< Key usage: wraps exported keys (SAMs).
};

/// The key record (number, kind, limit 00, the 16 key bytes) of a two-key
/// triple-DES key with no limit on failed authentications, for one usage
/// (unstated: fixed by its first use); for WriteKey.
inline std::vector<unsigned char> ZUSimTdes2KeyRecord(unsigned char number,
                                                      const unsigned char* key,
                                                      unsigned char usage = ZUSIM_USE_UNSTATED) {
    std::vector<unsigned char> record(3 + 16);
    record[0] = number;
    record[1] = static_cast<unsigned char>(ZUSIM_KEY_TDES2 | usage);
    record[2] = 0x00;
    for (size_t i = 0; i < 16; ++i) {
        record[3 + i] = key[i];
    }
    return record;
}

/// Registers the in-process readers whose names begin with "sim", so that
/// CZUReader::Open reaches "sim", "simsam", "simsb" and "simsbsam".
/// Idempotent.
void ZUSimRegister();

/// Forgets the persistent in-process devices: later connections start from
/// blank cards. Connections already open keep the device they had.
void ZUSimResetAll();

/// Protects WRITE KEY under secure messaging (84 D4) on every simulated
/// device: the key block is encrypted and the MAC computed under it
/// (WriteSAMKeyWithSoftwareCalc with this key).
inline constexpr unsigned char ZUSIM_KEY_LOADING_KEY[16] = {
    0x4B, 0x4C, 0x4F, 0x41, 0x44, 0x49, 0x4E, 0x47, 0x2D, 0x5A, 0x55, 0x53, 0x49, 0x4D, 0x31, 0x36};

/// The numbers of the keys a SAM holds from the start (two-key triple DES
/// unless said).
enum : unsigned char {
    ZUSIM_SAM_MASTER_KEY_NUMBER = 0x01,    ///< The issuer's master key.
    ZUSIM_SAM_TRANSPORT_KEY_NUMBER = 0x02, ///< The transport key (usage key loading).
    ZUSIM_SAM_DES_KEY_NUMBER = 0x03,       ///< A single-DES key.
};
/// Key 01: the issuer's master key, for diversification.
inline constexpr unsigned char ZUSIM_SAM_MASTER_KEY[16] = {
    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
/// Key 02: wraps exported keys (usage key loading).
inline constexpr unsigned char ZUSIM_SAM_TRANSPORT_KEY[16] = {
    0x54, 0x52, 0x41, 0x4E, 0x53, 0x50, 0x4F, 0x52, 0x54, 0x2D, 0x4B, 0x45, 0x59, 0x2D, 0x30, 0x32};
/// Key 03: a single-DES key.
inline constexpr unsigned char ZUSIM_SAM_DES_KEY[8] = {0x13, 0x34, 0x57, 0x79,
                                                       0x9B, 0xBC, 0xDF, 0xF1};

#endif
