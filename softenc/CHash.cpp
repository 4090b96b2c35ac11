// CHash: the one operation the hash classes share.
#include "softenc.h"

void CHash::CalculateDigest(unsigned char* digest, const unsigned char* input,
                            unsigned int length) {
    Update(input, length);
    Final(digest);
}
