#include "Apdu.h"

namespace zuic {

namespace {

// Largest command the reader layer accepts: header, Lc and 255 data bytes.
const size_t kMaxReaderCommand = 260;

std::string LengthRule() {
    return "an APDU has " + std::to_string(kShortestApdu) + " to " + std::to_string(kLongestApdu) +
           " bytes";
}

std::string Follow(size_t n) {
    return std::to_string(n) + (n == 1 ? " byte follows" : " bytes follow");
}

// Why bytes of a length between the shortest and the longest APDU are no
// command APDU: Lc disagrees with what follows the header.
std::string LcError(const Bytes& bytes) {
    const size_t lc = bytes[4];
    const size_t follow = bytes.size() - 5;
    if (lc == 0) {
        return "Lc is 00 but " + Follow(follow) +
               " the header (a short APDU carries 1 to 255 data bytes)";
    }
    return "Lc " + FormatHex(&bytes[4], 1) + " announces " + std::to_string(lc) +
           " data bytes but " + Follow(follow) + " the header";
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
    if (n < kShortestApdu) {
        error = "APDU too short: " + std::to_string(n) + (n == 1 ? " byte" : " bytes") + " (" +
                LengthRule() + ")";
        return false;
    }
    if (n > kLongestApdu) {
        error = "APDU too long: " + std::to_string(n) + " bytes (" + LengthRule() + ")";
        return false;
    }
    CommandApdu command;
    if (!command.Parse(bytes.data(), n)) {
        error = LcError(bytes);
        return false;
    }
    apdu.m_case = command.GetCase();
    apdu.m_bytes = std::move(bytes);
    return true;
}

Bytes Apdu::Wire() const {
    Bytes wire = m_bytes;
    if (m_case == CommandApdu::kCase1) {
        wire.push_back(0x00);
    } else if (m_case == CommandApdu::kCase4 && wire.size() > kMaxReaderCommand) {
        wire.pop_back();
    }
    return wire;
}

} // namespace zuic
