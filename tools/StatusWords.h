// What a status word means, in the words of ISO/IEC 7816-4.
#ifndef ZUIC_STATUSWORDS_H
#define ZUIC_STATUSWORDS_H

#include <string>

namespace zuic {

// "file not found" for 6A 82, "2 more bytes available" for 61 02, "counter
// 3 (verification failed, 3 tries left)" for 63 C3; the meaning of the
// status word's group for codes that ISO/IEC 7816-4 does not list one by
// one; "proprietary status" for 9X XX other than 90 00; "no answer" for the
// 00 00 that the reader keeps after a failed exchange.
std::string DescribeStatusWord(unsigned short sw);

// "6A 82".
std::string FormatStatusWord(unsigned short sw);

} // namespace zuic

#endif
