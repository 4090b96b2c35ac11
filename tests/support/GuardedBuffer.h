// A caller's buffer that ends exactly where a readable page ends, followed
// by a page that can be neither read nor written (mmap, mprotect
// PROT_NONE): touching one byte past the buffer faults at once, with or
// without a sanitizer. The buffer starts out filled with a known byte, so
// that a test can tell which bytes were written.
#ifndef ZU_TEST_GUARDEDBUFFER_H
#define ZU_TEST_GUARDEDBUFFER_H

#include "support/Hex.h"

#include <cstddef>

class CGuardedBuffer {
  public:
    enum : unsigned char { FILL = 0xEE };

    // size bytes of FILL; size 0 gives a pointer to the guard page itself.
    explicit CGuardedBuffer(size_t size);
    // A buffer holding exactly these bytes.
    explicit CGuardedBuffer(const Bytes& contents);
    ~CGuardedBuffer();
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    unsigned char* Data() const { return m_data; }
    char* Text() const { return reinterpret_cast<char*>(m_data); }
    size_t Size() const { return m_size; }
    Bytes Contents() const { return Bytes(m_data, m_data + m_size); }

  private:
    void* m_mapping;
    size_t m_mappingSize;
    unsigned char* m_data;
    size_t m_size;
};

#endif
