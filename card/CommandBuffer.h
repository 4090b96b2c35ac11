// A command APDU assembled in a fixed buffer on the caller's stack.
//
// Capacity is the operation's command buffer: header (CLA INS P1 P2 P3) plus
// at most Capacity - 5 data bytes. Append refuses anything that would not
// fit, and a null pointer with a non-zero length, so that an operation can
// refuse the call with 0 before anything is sent.
//
// Commands carry PINs and keys (VERIFY, CHANGE PIN, WRITE KEY), so the
// buffer is wiped when it goes out of scope, on every path out of the
// operation.
#ifndef ZU_COMMANDBUFFER_H
#define ZU_COMMANDBUFFER_H

#include "ZUICRD.h"
#include "softenc/SecureWipe.h"

#include <cstddef>
#include <cstring>

// Refuses an operation before anything reaches the card: result 0, and the
// status word reads 00 00 (no answer, as after a transport failure) rather
// than the answer to an earlier command. The reader's own SendCommand does
// exactly that for a command it cannot carry, without a card exchange; it is
// called directly, past any override, because nothing is sent.
inline int RefuseUnsent(CZUReader& card) {
    card.CZUReader::SendCommand(nullptr, 0, nullptr, nullptr);
    return 0;
}

// Gives up an operation whose hold on the card could not be had: result 0
// and status word 00 00 as above, the hold's reason (timeout, card reset,
// removed, ...) left for the caller.
inline int RefuseUnheld(CZUReader& card) {
    const int reason = ZUGetLastError();
    const long code = ZUGetLastPCSCError();
    RefuseUnsent(card);
    ZUSetLastError(reason, code);
    return 0;
}

template <size_t Capacity> class CCommandBuffer {
    static_assert(Capacity >= 5 && Capacity <= 260, "a short APDU: header and up to 255 bytes");

  public:
    CCommandBuffer(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2)
        : m_bytes{cla, ins, p1, p2, 0}, m_length(5), m_ok(true) {}
    ~CCommandBuffer() { SecureWipe(m_bytes, m_length); }
    CCommandBuffer(const CCommandBuffer&) = delete;
    CCommandBuffer& operator=(const CCommandBuffer&) = delete;

    CCommandBuffer& Append(const unsigned char* data, unsigned long length) {
        if (!m_ok || (data == nullptr && length != 0) || length > Capacity - m_length) {
            m_ok = false;
        } else if (length != 0) {
            std::memcpy(m_bytes + m_length, data, length);
            m_length += length;
        }
        return *this;
    }
    CCommandBuffer& Append(unsigned char byte) { return Append(&byte, 1); }

    // False once anything was refused: the operation must send nothing.
    bool Ok() const { return m_ok; }
    unsigned char* Bytes() { return m_bytes; }

    // Sends the command with its data: P3 = Lc, the data length.
    int SendData(CZUReader& card, unsigned char* resp, unsigned long* respLen) {
        if (!m_ok) {
            return RefuseUnsent(card);
        }
        m_bytes[4] = static_cast<unsigned char>(m_length - 5);
        return card.SendCommand(m_bytes, m_length, resp, respLen);
    }

    // Sends the bare header with P3 = le (Le, or 00 for a command that has
    // neither data nor an expected answer).
    int SendHeader(CZUReader& card, unsigned char le, unsigned char* resp, unsigned long* respLen) {
        if (!m_ok) {
            return RefuseUnsent(card);
        }
        m_bytes[4] = le;
        return card.SendCommand(m_bytes, 5, resp, respLen);
    }

  private:
    unsigned char m_bytes[Capacity];
    size_t m_length;
    bool m_ok;
};

#endif
