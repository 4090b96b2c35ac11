// A command APDU assembled in a fixed buffer on the caller's stack.
//
// Capacity is the operation's command buffer: header (CLA INS P1 P2 P3) plus
// at most Capacity - 5 data bytes. Append refuses anything that would not
// fit (ZU_E_INPUT_TOO_LONG), and a null pointer with a non-zero length
// (ZU_E_INPUT_NULL), so that an operation can refuse the call with 0 before
// anything is sent; the first refusal is the one reported.
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

// Refuses an operation before anything reaches the card: result 0, the
// status word 00 00 (no answer, as after a transport failure) rather than the
// answer to an earlier command, and `reason` (ZU_E_INPUT_TOO_LONG,
// ZU_E_INPUT_RANGE or ZU_E_INPUT_NULL) for the calling thread. The reader's
// own SendCommand refuses a command it cannot carry exactly so, without a
// card exchange; it is called directly, past any override, because nothing
// is sent. It leaves a reason of its own, so the operation's comes after it.
inline int RefuseUnsent(CZUReader& card, int reason) {
    card.CZUReader::SendCommand(nullptr, 0, nullptr, nullptr);
    ZUSetLastError(reason, 0);
    return 0;
}

// Gives up a sequence whose hold could not be had: status word 00 00, as for
// a refusal, and the hold's own reason kept (card reset or removed, reader or
// service gone, busy past the timeout).
inline int RefuseUnheld(CZUReader& card) {
    const int reason = ZUGetLastError();
    const long pcscCode = ZUGetLastPCSCError();
    card.CZUReader::SendCommand(nullptr, 0, nullptr, nullptr);
    ZUSetLastError(reason, pcscCode);
    return 0;
}

// An operation that succeeds without sending anything (nothing to transfer).
inline int SucceedUnsent() {
    ZUSetLastError(ZU_E_NONE, 0);
    return 1;
}

// The card accepted a command but its answer cannot be used (too short, no
// bytes where bytes were due).
inline int RefuseAnswer() {
    ZUSetLastError(ZU_E_BAD_ANSWER, 0);
    return 0;
}

template <size_t Capacity> class CCommandBuffer {
    static_assert(Capacity >= 5 && Capacity <= 260, "a short APDU: header and up to 255 bytes");

  public:
    CCommandBuffer(unsigned char cla, unsigned char ins, unsigned char p1, unsigned char p2)
        : m_bytes{cla, ins, p1, p2, 0}, m_length(5), m_refusal(ZU_E_NONE) {}
    ~CCommandBuffer() { SecureWipe(m_bytes, m_length); }
    CCommandBuffer(const CCommandBuffer&) = delete;
    CCommandBuffer& operator=(const CCommandBuffer&) = delete;

    CCommandBuffer& Append(const unsigned char* data, unsigned long length) {
        if (m_refusal != ZU_E_NONE) {
            return *this;
        }
        if (data == nullptr && length != 0) {
            m_refusal = ZU_E_INPUT_NULL;
        } else if (length > Capacity - m_length) {
            m_refusal = ZU_E_INPUT_TOO_LONG;
        } else if (length != 0) {
            std::memcpy(m_bytes + m_length, data, length);
            m_length += length;
        }
        return *this;
    }
    CCommandBuffer& Append(unsigned char byte) { return Append(&byte, 1); }

    // False once anything was refused: the operation must send nothing.
    bool Ok() const { return m_refusal == ZU_E_NONE; }
    // Why: the ZU_E_INPUT_... reason of the first refusal, or ZU_E_NONE.
    int Refusal() const { return m_refusal; }
    unsigned char* Bytes() { return m_bytes; }

    // Sends the command with its data: P3 = Lc, the data length.
    int SendData(CZUReader& card, unsigned char* resp, unsigned long* respLen) {
        if (m_refusal != ZU_E_NONE) {
            return RefuseUnsent(card, m_refusal);
        }
        m_bytes[4] = static_cast<unsigned char>(m_length - 5);
        return card.SendCommand(m_bytes, m_length, resp, respLen);
    }

    // Sends the bare header with P3 = le (Le, or 00 for a command that has
    // neither data nor an expected answer).
    int SendHeader(CZUReader& card, unsigned char le, unsigned char* resp, unsigned long* respLen) {
        if (m_refusal != ZU_E_NONE) {
            return RefuseUnsent(card, m_refusal);
        }
        m_bytes[4] = le;
        return card.SendCommand(m_bytes, 5, resp, respLen);
    }

  private:
    unsigned char m_bytes[Capacity];
    size_t m_length;
    int m_refusal;
};

#endif
