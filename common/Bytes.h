// A run of bytes as the host holds it: an APDU, an answer, a key record.
#ifndef ZU_BYTES_H
#define ZU_BYTES_H

#include <vector>

typedef std::vector<unsigned char> Bytes;

#endif
