// The keys and PINs of a key file (or of a SAM's key table), stored from
// the key records of WRITE KEY: number, kind, limit, value.
#ifndef ZU_CZUSIMKEYSTORE_H
#define ZU_CZUSIMKEYSTORE_H

#include <cstddef>
#include <vector>

struct CZUSimKey {
    unsigned char number = 0;
    unsigned char kind = 0;      // ZUSIM_KEY_DES, ZUSIM_KEY_TDES2 or ZUSIM_KEY_PIN
    unsigned char usage = 0;     // ZUSIM_USE_...; unstated until first used
    unsigned char limit = 0;     // tries allowed; 0 for a key without a counter
    unsigned char remaining = 0; // tries left
    std::vector<unsigned char> value;

    bool IsPin() const;
    bool Blocked() const { return limit != 0 && remaining == 0; }
    // Whether the key may serve this usage; an unstated usage becomes it.
    bool UseFor(unsigned char wanted);
    // Counts a failed try; returns the status word to answer (63 Cx, or
    // 63 00 for a key without a counter).
    unsigned short Fail();
};

class CZUSimKeyStore {
  public:
    explicit CZUSimKeyStore(size_t capacity) : m_capacity(capacity) {}

    CZUSimKey* FindKey(unsigned char number);
    CZUSimKey* FindPin(unsigned char number);
    // Checks a key record and stores it, replacing the key or PIN of the same
    // number; returns 90 00, 6A 80 for a malformed record or 6A 84 when the
    // store is full.
    unsigned short Store(const unsigned char* record, size_t length);

  private:
    CZUSimKey* Find(unsigned char number, bool pin);

    size_t m_capacity;
    std::vector<CZUSimKey> m_keys;
};

#endif
