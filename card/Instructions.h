// Class and instruction bytes of the commands the card classes send.
#ifndef ZU_INSTRUCTIONS_H
#define ZU_INSTRUCTIONS_H

enum : unsigned char {
    CLA_ISO = 0x00,
    CLA_SECURE = 0x04,             // ISO class under secure messaging
    CLA_PROPRIETARY = 0x80,        // the card operating system's own commands
    CLA_PROPRIETARY_SECURE = 0x84, // ... under secure messaging

    INS_ERASE = 0x0E,
    INS_INIT_DES = 0x1A,
    INS_VERIFY = 0x20,
    INS_CHANGE_PIN = 0x5E,
    INS_EXTERNAL_AUTH = 0x82,
    INS_GET_CHALLENGE = 0x84,
    INS_INTERNAL_AUTH = 0x88,
    INS_SELECT = 0xA4,
    INS_READ_BINARY = 0xB0,
    INS_READ_RECORD = 0xB2,
    INS_WRITE_KEY = 0xD4,
    INS_UPDATE_BINARY = 0xD6,
    INS_KEY = 0xD8,
    INS_UPDATE_RECORD = 0xDC,
    INS_CREATE = 0xE0,
    INS_APPEND_RECORD = 0xE2,
    INS_CREATE_END = 0xEA,
    INS_EXPORT_KEY = 0xF6,
    INS_DES_CRYPT = 0xFA,
    INS_M1_AUTH = 0xFC,

    RECORD_BY_NUMBER = 0x04, // P2 reference mode: the record numbered in P1
};

#endif
