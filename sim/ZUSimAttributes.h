// What the simulated card operating system makes of the bytes that the
// library's CREATE FILE commands (80 E0) pass through unchanged, of its key
// records and of its access conditions.
//
// CREATE FILE, P1 00: the master file 3F00 (P2 01: with a DF name)
//   data: attr1 attr2 block[8] [name]
//   attr1    access condition for creating files in the master file once its
//            creation has ended (see "Access conditions")
//   attr2    the erase key that the card accepts with 80 D8 02 00 before it
//            erases its master file: 01 the first key of EraseMF
//            (00 11 22 ... FF), 02 the second (FF EE ... 00), any other
//            value either of them
//   block    the card's 8-byte serial number, shown in the master file's
//            file control information
//   name     1 to 16 bytes, selectable with SELECT by name
//
// CREATE FILE, P1 01: an application directory (DF) in the current DF
//   data: fileId[2] attr1 attr2 name[1..16]
//   attr1    access condition for creating files in it after its creation
//   attr2    kept and shown in its file control information; no meaning
//
// CREATE FILE, P1 02: an elementary file (EF) in the current DF
//   data: fileId[2] attr1 attr2 attr3 attr4 attr5 (exactly 7 bytes)
//   attr1    bits 8-4: the short file identifier (1 to 30; 0 takes the low
//            five bits of the file identifier); bits 3-1: the file type
//              1 binary (transparent)       attr2 attr3: size in bytes,
//                                           big-endian, 1 to 32,767
//              2 linear fixed records       attr2: number of records (1-254),
//              3 linear variable records    attr3: record length, or the
//              4 cyclic records             longest record (1-255); fixed
//                                           and cyclic records are written
//                                           whole, exactly that long
//              5 key file                   attr3: room for key records
//                                           (1-32); attr2 ignored
//              6 tag-and-length records     as 3, but every record is one
//                (social-security card)     tag, one length byte and as
//                                           many value bytes
//   attr4    access condition for reading (READ BINARY, READ RECORD)
//   attr5    access condition for writing (UPDATE BINARY/RECORD, APPEND
//            RECORD, and for a key file plain WRITE KEY)
//   The social-security card's answer-to-reset file: on that card a create
//   command for the identifier 2F01 carries fileId[2] attr1 body[...]: a
//   binary file holding the body, attr1 its write access condition; reading
//   it is always allowed.
//
// Creation state. A new file starts in its creation state and becomes the
// current file (a DF the current directory, an EF the current EF). While a
// file is in that state its access conditions do not apply, so the issuer can
// fill it; 80 EA fileId (the file itself, or the current DF) ends it. Files
// are created in the current DF when it is in its creation state or when its
// creation access condition is met.
//
// Access conditions (attr1 of MF and DF, attr4 and attr5 of an EF)
//   00       always
//   1n       after a successful VERIFY of PIN n
//   2n       after a successful EXTERNAL AUTHENTICATE with key n
//   3n       only under secure messaging (CLA 04) with the MAC under key n
//   FF       never
//   A write under secure messaging (04 D6, 04 DC) is checked with the key
//   numbered by the low four bits of the file's write condition; the command
//   is carried out only when the MAC is right (else 69 88, file unchanged).
//   PINs and keys are looked up in the key files of the file's DF, then of
//   its parents up to the master file.
//
// Key records (WRITE KEY 80 D4 00 00, and the plain block of 84 D4 00 00)
//   number kind limit value...
//   number   the key or PIN number (keys and PINs are counted apart)
//   kind     low four bits: 01 single-DES key (8-byte value), 02 two-key
//            triple-DES key (16-byte value), 08 PIN (1 to 8 bytes);
//            high four bits, keys only: the key's usage (see "Key usage")
//   limit    PIN: tries allowed (1 to 15); key: failed EXTERNAL AUTHENTICATE
//            commands allowed (0: no limit)
//   A record for an existing number and class replaces that key or PIN.
//   Under secure messaging (84 D4) the data field is the record, prefixed by
//   its length byte and padded (80 00 ...) to a multiple of 8, encrypted with
//   two-key triple DES under ZUSIM_KEY_LOADING_KEY (ZUSim.h), followed by the
//   4-byte MAC under the same key. The write condition of the key file
//   applies to both forms (a file in its creation state takes either).
//
// Key usage. Each key serves one purpose and the card uses it for nothing
// else; a command that names a key of another usage gets 69 85 and nothing
// is computed:
//   10  internal authentication: INTERNAL AUTHENTICATE answers with it
//   20  external authentication: EXTERNAL AUTHENTICATE checks it (and
//       access condition 2n)
//   30  secure messaging: the MAC of 04 D6 / 04 DC (access condition 3n)
//   40  key loading: on a SAM, wraps exported keys; no DES computation,
//       cryptogram or authentication uses it
//   00  not stated: the first command that uses the key fixes its usage, so
//       that a key which has answered INTERNAL AUTHENTICATE is never accepted
//       by EXTERNAL AUTHENTICATE (the card would answer its own challenge).
//
// The SAMs' key tables. Keys are written only under secure messaging
// (84 D4; a plain 80 D4 gets 69 82); the keys a SAM holds from the start
// (ZUSim.h) cannot be replaced, and no key of usage 40 can be written
// (69 86 for both): so no key that wraps an export is known to the caller,
// and no computation the caller may ask for (80 1A / 80 FA, 80 FC) runs
// under one. The transport key 02 has usage 40.
//
// Comparisons of PINs, authentication cryptograms, MACs and erase keys take
// the same time whatever the wrong value.
#ifndef ZU_SIMATTRIBUTES_H
#define ZU_SIMATTRIBUTES_H

#include <vector>

enum : unsigned char {
    ZUSIM_EF_BINARY = 1,
    ZUSIM_EF_FIXED = 2,
    ZUSIM_EF_VARIABLE = 3,
    ZUSIM_EF_CYCLIC = 4,
    ZUSIM_EF_KEYS = 5,
    ZUSIM_EF_TLV = 6,

    ZUSIM_AC_FREE = 0x00,
    ZUSIM_AC_PIN = 0x10,  // | PIN number
    ZUSIM_AC_AUTH = 0x20, // | key number
    ZUSIM_AC_SM = 0x30,   // | key number
    ZUSIM_AC_NEVER = 0xFF,

    ZUSIM_KEY_DES = 0x01,
    ZUSIM_KEY_TDES2 = 0x02,
    ZUSIM_KEY_PIN = 0x08,

    ZUSIM_USE_UNSTATED = 0x00,
    ZUSIM_USE_INTERNAL_AUTH = 0x10,
    ZUSIM_USE_EXTERNAL_AUTH = 0x20,
    ZUSIM_USE_SECURE_MESSAGING = 0x30,
    ZUSIM_USE_KEY_LOADING = 0x40,
};

// The key record of a two-key triple-DES key with no limit on failed
// authentications, for one usage (unstated: fixed by its first use).
inline std::vector<unsigned char> ZUSimTdes2KeyRecord(unsigned char number,
                                                      const unsigned char* key,
                                                      unsigned char usage = ZUSIM_USE_UNSTATED) {
    std::vector<unsigned char> record = {number,
                                         static_cast<unsigned char>(ZUSIM_KEY_TDES2 | usage), 0x00};
    record.insert(record.end(), key, key + 16);
    return record;
}

#endif
