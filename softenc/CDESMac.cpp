// CDESMac: the DES MAC of secure messaging, and ISO/IEC 9797-1 padding.
#include "DESCore.h"
#include "SecureWipe.h"
#include "softenc.h"

#include <cstring>

void CDESMac::Reset() {
    SecureWipe(m_key, sizeof m_key);
    m_keyLength = 0;
    SecureWipe(m_chain, sizeof m_chain);
    SecureWipe(m_buffer, sizeof m_buffer);
    m_fill = 0;
    m_refused = false;
}

CDESMac::~CDESMac() {
    // An engine abandoned before Final still holds the key and chaining value.
    Reset();
}

void CDESMac::Init(const unsigned char* key, unsigned long keyLength, const unsigned char* iv) {
    if (m_refused) {
        return; // refused until Final ends the computation
    }
    if (keyLength > sizeof m_key) {
        // Longer than the key field (a 24-byte triple-DES key, say): nothing
        // is copied, whatever was absorbed is dropped, and the engine refuses
        // Update and gives no MAC from Final until Final has reset it.
        Reset();
        m_refused = true;
        return;
    }
    if (keyLength != 0) {
        std::memcpy(m_key, key, keyLength);
    }
    m_keyLength = static_cast<uint32_t>(keyLength);
    if (iv != nullptr) {
        std::memcpy(m_chain, iv, sizeof m_chain);
    }
}

int CDESMac::ProcessBlock(const DESContext* context) {
    if (m_fill != 8) {
        return 0;
    }
    for (int i = 0; i < 8; ++i) {
        m_chain[i] ^= m_buffer[i];
    }
    DESEncryptBlock(context, m_chain, m_chain);
    m_fill = 0;
    return 1;
}

int CDESMac::ProcessBlock() {
    DESContext context;
    DESSetKey(&context, m_key);
    const int result = ProcessBlock(&context);
    SecureWipe(&context, sizeof context);
    return result;
}

int CDESMac::Update(const unsigned char* data, unsigned long length) {
    if (m_keyLength == 0 || m_refused) {
        return 0;
    }
    while (m_fill < 8 && length != 0) {
        m_buffer[m_fill++] = *data++;
        --length;
    }
    if (m_fill < 8) {
        return 1;
    }
    // One schedule serves every block of this call.
    DESContext context;
    DESSetKey(&context, m_key);
    ProcessBlock(&context);
    while (length >= 8) {
        std::memcpy(m_buffer, data, 8);
        m_fill = 8;
        ProcessBlock(&context);
        data += 8;
        length -= 8;
    }
    SecureWipe(&context, sizeof context);
    if (length != 0) {
        std::memcpy(m_buffer, data, length);
    }
    m_fill = static_cast<uint32_t>(length);
    return 1;
}

void CDESMac::Final(unsigned char* mac) {
    if (m_refused) {
        // Fail closed: no MAC of anything the caller gave, and none that the
        // zero key computes either.
        std::memset(mac, 0, 4);
        Reset();
        return;
    }
    m_buffer[m_fill] = 0x80;
    for (uint32_t i = m_fill + 1; i < 8; ++i) {
        m_buffer[i] = 0x00;
    }
    m_fill = 8;
    // K1's schedule serves the last block and the output transformation.
    DESContext k1;
    DESSetKey(&k1, m_key);
    ProcessBlock(&k1);
    if (m_keyLength == 16) {
        DESContext k2;
        DESSetKey(&k2, m_key + 8);
        DESDecryptBlock(&k2, m_chain, m_chain);
        SecureWipe(&k2, sizeof k2);
        DESEncryptBlock(&k1, m_chain, m_chain);
    }
    SecureWipe(&k1, sizeof k1);
    std::memcpy(mac, m_chain, 4);
    Reset();
}

void AppendISOPadding(unsigned char* buffer, unsigned long* length) {
    unsigned long n = 8 - (*length % 8);
    buffer[*length] = 0x80;
    for (unsigned long i = 1; i < n; ++i) {
        buffer[*length + i] = 0x00;
    }
    *length += n;
}
