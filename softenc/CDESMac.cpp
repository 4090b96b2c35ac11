// CDESMac: the DES MAC of secure messaging, and ISO/IEC 9797-1 padding.
#include "softenc.h"

#include <cstring>

void CDESMac::Reset() {
    std::memset(m_key, 0, sizeof m_key);
    m_keyLength = 0;
    std::memset(m_chain, 0, sizeof m_chain);
    std::memset(m_buffer, 0, sizeof m_buffer);
    m_fill = 0;
}

void CDESMac::Init(const unsigned char* key, unsigned long keyLength, const unsigned char* iv) {
    if (keyLength > sizeof m_key) {
        // Longer than the key field: nothing is copied and the engine is left
        // uninitialised, so that Update refuses.
        std::memset(m_key, 0, sizeof m_key);
        m_keyLength = 0;
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
    return ProcessBlock(&context);
}

int CDESMac::Update(const unsigned char* data, unsigned long length) {
    if (m_keyLength == 0) {
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
    if (length != 0) {
        std::memcpy(m_buffer, data, length);
    }
    m_fill = static_cast<uint32_t>(length);
    return 1;
}

void CDESMac::Final(unsigned char* mac) {
    m_buffer[m_fill] = 0x80;
    for (uint32_t i = m_fill + 1; i < 8; ++i) {
        m_buffer[i] = 0x00;
    }
    m_fill = 8;
    ProcessBlock();
    if (m_keyLength == 16) {
        CDESDecryptor(m_key + 8).ProcessBlocks(m_chain, 8);
        CDESEncryptor(m_key).ProcessBlocks(m_chain, 8);
    }
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
