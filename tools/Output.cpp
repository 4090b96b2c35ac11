#include "Output.h"

#include "HexCodec.h"

#include <cstdio>

namespace zuic {

std::string Printable(const std::string& text, size_t limit) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shown.size() >= limit) {
            shown += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(text[i]);
        if (u >= 0x20 && u < 0x7F) {
            shown += text[i];
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", u);
            shown += buffer;
        }
    }
    return shown;
}

void Output::Error(const std::string& message) {
    m_err << "zuic: " << message << '\n';
    m_err.flush();
}

void Output::Data(const std::string& prefix, const unsigned char* data, size_t length) {
    const size_t perLine = 16;
    for (size_t i = 0; i < length; i += perLine) {
        m_out << (i == 0 ? prefix : std::string(prefix.size(), ' '))
              << FormatHex(data + i, length - i < perLine ? length - i : perLine) << '\n';
    }
}

void Output::TraceExchange(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                           size_t answerLen) {
    if (!m_trace) {
        return;
    }
    m_out << "  trace >> " << FormatHex(cmd, cmdLen) << '\n';
    if (answerLen == 0) {
        m_out << "  trace << no answer\n";
    } else {
        m_out << "  trace << " << FormatHex(answer, answerLen) << '\n';
    }
}

} // namespace zuic
