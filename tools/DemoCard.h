// The card that zuic demo issues on the simulated card and SAM, and that the
// end-to-end tests issue again through the library: a master file with a key
// file (PIN and three triple-DES keys), and an application holding a binary
// file written under secure messaging and a file of variable records.
#ifndef ZUIC_DEMOCARD_H
#define ZUIC_DEMOCARD_H

#include "common/Bytes.h"

#include <cstddef>

namespace zuic {
namespace democard {

const unsigned char kMf[2] = {0x3F, 0x00};
const unsigned char kKeyFile[2] = {0x00, 0x01};
const unsigned char kApp[2] = {0xDF, 0x01};
const unsigned char kBinary[2] = {0x01, 0x01};
const unsigned char kRecords[2] = {0x01, 0x02};
const unsigned char kAppName[] = "ZUSIM.APP1";
const size_t kAppNameLength = sizeof kAppName - 1;
const unsigned char kSerial[8] = {0x20, 0x26, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34};

const unsigned char kAuthKeyNo = 0x01, kSmKeyNo = 0x02, kLoadedKeyNo = 0x03;
const unsigned char kAuthKey[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                    0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01};
const unsigned char kSmKey[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                  0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7};
const unsigned char kLoadedKey[16] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
                                      0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
const size_t kFileSize = 1024;
const size_t kWritten = 600; // bytes written to the binary file

// length bytes of data to write: (7 i + seed) mod 256.
inline Bytes Pattern(size_t length, unsigned seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
    }
    return bytes;
}

} // namespace democard
} // namespace zuic

#endif
