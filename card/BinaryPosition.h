// Which binary-file positions a chunked READ/UPDATE BINARY may address.
#ifndef ZU_BINARYPOSITION_H
#define ZU_BINARYPOSITION_H

enum : unsigned long {
    ZU_BINARY_CHUNK = 128,
    ZU_POSITION_LIMIT = 0x10000, // P1-P2 carry 16 bits
    ZU_SFI_POSITION = 0x8000,    // P1's top bit: short-identifier addressing
};

// True when every chunk of a `length`-byte transfer starting at `offset`
// reaches the place the caller asked for: below 65,536; for an offset below
// 32,768 every chunk starts below 32,768 (else P1's top bit would name
// another file); for an offset of 32,768 or more (the caller's own
// short-identifier addressing) every chunk keeps the offset's P1.
inline bool BinaryChunksAddressable(unsigned long offset, unsigned long length) {
    if (offset >= ZU_POSITION_LIMIT || length > ZU_POSITION_LIMIT) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    unsigned long lastStart = offset + (length - 1) / ZU_BINARY_CHUNK * ZU_BINARY_CHUNK;
    if (offset < ZU_SFI_POSITION) {
        return lastStart < ZU_SFI_POSITION;
    }
    return (lastStart >> 8) == (offset >> 8);
}

#endif
