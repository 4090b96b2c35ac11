// Class and instruction bytes of every command the card classes send and the
// simulated devices answer, named after the commands: ISO/IEC 7816-4's, the
// card operating system's own and the SAM's.
#ifndef ZU_INSTRUCTIONS_H
#define ZU_INSTRUCTIONS_H

enum : unsigned char {
    CLA_ISO = 0x00,
    CLA_SECURE = 0x04,             // ISO class under secure messaging
    CLA_PROPRIETARY = 0x80,        // the card operating system's own commands
    CLA_PROPRIETARY_SECURE = 0x84, // ... under secure messaging

    // ISO/IEC 7816-4.
    INS_VERIFY = 0x20,
    INS_EXTERNAL_AUTHENTICATE = 0x82,
    INS_GET_CHALLENGE = 0x84,
    INS_INTERNAL_AUTHENTICATE = 0x88,
    INS_SELECT = 0xA4,
    INS_READ_BINARY = 0xB0,
    INS_READ_RECORD = 0xB2,
    INS_GET_RESPONSE = 0xC0,
    INS_UPDATE_BINARY = 0xD6,
    INS_UPDATE_RECORD = 0xDC,
    INS_APPEND_RECORD = 0xE2,

    // The card operating system's own.
    INS_ERASE_MF = 0x0E,
    INS_CHANGE_PIN = 0x5E,
    INS_WRITE_KEY = 0xD4,
    INS_KEY_COMMAND = 0xD8, // the erase keys ahead of ERASE
    INS_CREATE_FILE = 0xE0,
    INS_CREATE_END = 0xEA,

    // The SAM's.
    INS_INIT_FOR_DES_CRYPT = 0x1A,
    INS_EXPORT_KEY = 0xF6,
    INS_DES_CRYPT = 0xFA,
    INS_M1_AUTH_AND_KEY_CALC = 0xFC,

    RECORD_BY_NUMBER = 0x04, // P2 reference mode: the record numbered in P1
};

#endif
