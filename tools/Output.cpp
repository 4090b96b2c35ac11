#include "Output.h"

#include "common/HexText.h"
#include "common/Instructions.h"

namespace zuic {

std::string Printable(const std::string& text, size_t limit) {
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        if (shown.size() >= limit) {
            shown += "...";
            break;
        }
        shown += PrintableCharacter(text[i]);
    }
    return shown;
}

bool CarriesSecret(const unsigned char* cmd, size_t length) {
    if (length < 2) {
        return false;
    }
    const unsigned char cla = cmd[0], ins = cmd[1];
    return (cla == CLA_ISO && ins == INS_VERIFY) ||
           (cla == CLA_PROPRIETARY && ins == INS_CHANGE_PIN) ||
           ((cla == CLA_PROPRIETARY || cla == CLA_PROPRIETARY_SECURE) && ins == INS_WRITE_KEY) ||
           (cla == CLA_PROPRIETARY && ins == INS_KEY_COMMAND);
}

std::string FormatCommand(const unsigned char* cmd, size_t length, bool showSecrets) {
    const size_t header = 5;
    if (showSecrets || length <= header || !CarriesSecret(cmd, length)) {
        return FormatHex(cmd, length);
    }
    return FormatHex(cmd, header) + " ** (" + std::to_string(length - header) +
           (length - header == 1 ? " byte)" : " bytes)");
}

void Output::Error(const std::string& message) {
    m_out.flush(); // so that the message stands after what came before it
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
    m_out << "  trace >> " << Command(cmd, cmdLen) << '\n';
    if (answerLen == 0) {
        m_out << "  trace << no answer\n";
    } else {
        m_out << "  trace << " << FormatHex(answer, answerLen) << '\n';
    }
}

} // namespace zuic
