#include "Apdu.h"

#include <cstdio>

namespace zuic {

namespace {

// Largest command the reader layer accepts: header, Lc and 255 data bytes.
const size_t kMaxReaderCommand = 260;

std::string HexByte(unsigned char b) {
    char buffer[4];
    std::snprintf(buffer, sizeof buffer, "%02X", b);
    return buffer;
}

std::string LengthRule() {
    return "an APDU has " + std::to_string(kMinApdu) + " to " + std::to_string(kMaxApdu) + " bytes";
}

} // namespace

bool Apdu::Parse(const std::string& text, Apdu& apdu, std::string& error) {
    Bytes bytes;
    std::string hexError;
    if (!ParseHex(text, bytes, hexError)) {
        error = "malformed hex: " + hexError;
        return false;
    }
    const size_t n = bytes.size();
    if (n < kMinApdu) {
        error = "APDU too short: " + std::to_string(n) + (n == 1 ? " byte" : " bytes") + " (" +
                LengthRule() + ")";
        return false;
    }
    if (n > kMaxApdu) {
        error = "APDU too long: " + std::to_string(n) + " bytes (" + LengthRule() + ")";
        return false;
    }
    Case c = kCase1;
    if (n == 4) {
        c = kCase1;
    } else if (n == 5) {
        c = kCase2;
    } else {
        const size_t lc = bytes[4];
        const size_t follow = n - 5;
        if (lc == 0) {
            error = "Lc is 00 but " + std::to_string(follow) +
                    (follow == 1 ? " byte follows" : " bytes follow") +
                    " the header (a short APDU carries 1 to 255 data bytes)";
            return false;
        }
        if (follow == lc) {
            c = kCase3;
        } else if (follow == lc + 1) {
            c = kCase4;
        } else {
            error = "Lc " + HexByte(bytes[4]) + " announces " + std::to_string(lc) +
                    " data bytes but " + std::to_string(follow) +
                    (follow == 1 ? " byte follows" : " bytes follow") + " the header";
            return false;
        }
    }
    apdu.m_bytes = std::move(bytes);
    apdu.m_case = c;
    return true;
}

Bytes Apdu::Wire() const {
    Bytes wire = m_bytes;
    if (m_case == kCase1) {
        wire.push_back(0x00);
    } else if (m_case == kCase4 && wire.size() > kMaxReaderCommand) {
        wire.pop_back();
    }
    return wire;
}

} // namespace zuic
