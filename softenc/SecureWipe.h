// SecureWipe: overwrites a secret with zeros in a way that the optimiser
// cannot drop, even when the memory is never read again (a buffer about to
// go out of scope or be freed). Internal to the library; not installed.
//
// explicit_bzero where the C library has it (glibc 2.25 and later, the BSDs),
// a loop through a volatile pointer elsewhere.
#ifndef SOFTENC_SECUREWIPE_H
#define SOFTENC_SECUREWIPE_H

#include <cstddef>
#include <cstring>
#include <string.h>

#if (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 25))) ||        \
    defined(__OpenBSD__) || defined(__FreeBSD__)
#define SOFTENC_HAVE_EXPLICIT_BZERO 1
#endif

inline void SecureWipe(void* p, size_t n) {
    if (p == nullptr || n == 0) {
        return;
    }
#ifdef SOFTENC_HAVE_EXPLICIT_BZERO
    explicit_bzero(p, n);
#else
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
    while (n-- != 0) {
        *bytes++ = 0;
    }
#endif
}

// Wipes an object or array of known size when the scope ends, on every path
// out of it.
class CScopeWipe {
  public:
    CScopeWipe(void* p, size_t n) : m_p(p), m_n(n) {}
    ~CScopeWipe() { SecureWipe(m_p, m_n); }
    CScopeWipe(const CScopeWipe&) = delete;
    CScopeWipe& operator=(const CScopeWipe&) = delete;

  private:
    void* m_p;
    size_t m_n;
};

#endif
