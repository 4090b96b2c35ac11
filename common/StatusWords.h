// Status words: the ones the simulated devices answer with, by name, and
// what any status word means, in the words of ISO/IEC 7816-4.
#ifndef ZU_STATUSWORDS_H
#define ZU_STATUSWORDS_H

#include <string>

enum : unsigned short {
    SW_OK = 0x9000,
    SW_MORE_DATA = 0x6100,      // | bytes waiting for GET RESPONSE
    SW_END_OF_FILE = 0x6282,    // end of file reached before Le bytes
    SW_VERIFY_FAILED = 0x6300,  // authentication failed, no counter
    SW_TRIES_LEFT = 0x63C0,     // | tries left
    SW_WRONG_LENGTH = 0x6700,   // wrong Lc, Le or APDU length
    SW_NO_CHANNEL = 0x6881,     // logical channels not supported
    SW_NO_CHAINING = 0x6884,    // command chaining not supported
    SW_INCOMPATIBLE = 0x6981,   // command incompatible with file structure
    SW_SECURITY = 0x6982,       // security status not satisfied
    SW_BLOCKED = 0x6983,        // authentication method blocked
    SW_CONDITIONS = 0x6985,     // conditions of use not satisfied
    SW_KEY_USAGE = 0x6985,      // the key named is not for this use
    SW_NOT_ALLOWED = 0x6986,    // command not allowed (no current EF, never)
    SW_SM_WRONG = 0x6988,       // incorrect secure-messaging data (MAC)
    SW_WRONG_DATA = 0x6A80,     // incorrect parameters in the data field
    SW_FILE_NOT_FOUND = 0x6A82, // file or application not found
    SW_RECORD_NOT_FOUND = 0x6A83,
    SW_NO_SPACE = 0x6A84,       // not enough memory space in the file
    SW_WRONG_P1P2 = 0x6A86,     // incorrect parameters P1-P2
    SW_DATA_NOT_FOUND = 0x6A88, // referenced data (key, PIN) not found
    SW_FILE_EXISTS = 0x6A89,
    SW_WRONG_OFFSET = 0x6B00, // offset outside the EF
    SW_WRONG_LE = 0x6C00,     // | the right Le
    SW_INS_UNKNOWN = 0x6D00,
    SW_CLA_UNKNOWN = 0x6E00,
    SW_NO_DIAGNOSIS = 0x6F00,
};

// "file not found" for 6A 82, "2 more bytes available" for 61 02, "counter
// 3 (verification failed, 3 tries left)" for 63 C3; the meaning of the
// status word's group for codes that ISO/IEC 7816-4 does not list one by
// one; "proprietary status" for 9X XX other than 90 00; "no answer" for the
// 00 00 that the reader keeps after a failed exchange.
std::string DescribeStatusWord(unsigned short sw);

// "6A 82".
std::string FormatStatusWord(unsigned short sw);

#endif
