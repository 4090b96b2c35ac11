// The two keys that EraseMF presents when a card refuses to erase its master
// file, built at run time so that they never lie in the library as one block.
// The simulated card accepts the same keys.
#ifndef ZU_ERASEKEYS_H
#define ZU_ERASEKEYS_H

enum { ZU_ERASE_KEY_LENGTH = 16 };

// which 1: 00 11 22 ... FF; which 2: FF EE DD ... 00.
inline void BuildEraseKey(int which, unsigned char* key) {
    for (int i = 0; i < ZU_ERASE_KEY_LENGTH; ++i) {
        unsigned char value = static_cast<unsigned char>(i * 0x11);
        key[i] = (which == 1) ? value : static_cast<unsigned char>(0xFF - value);
    }
}

#endif
