// Where zuic writes: results to standard output, one-line errors to standard
// error, and the raw exchanges when --trace is on.
#ifndef ZUIC_OUTPUT_H
#define ZUIC_OUTPUT_H

#include <cstddef>
#include <ostream>
#include <string>

namespace zuic {

// text as it can stand in a one-line message: control and non-ASCII bytes
// become \xNN, and text longer than limit is cut to its start and "...".
std::string Printable(const std::string& text, size_t limit = 40);

// Whether a command carries a secret in its data: VERIFY (00 20), CHANGE
// PIN (80 5E) and the key commands (80 D4, 84 D4, 80 D8).
bool CarriesSecret(const unsigned char* cmd, size_t length);

// A command in hex; the data of a command that carries a secret show as
// "** (n bytes)" behind the header unless showSecrets.
std::string FormatCommand(const unsigned char* cmd, size_t length, bool showSecrets);

class Output {
  public:
    Output(std::ostream& out, std::ostream& err, bool trace = false, bool showSecrets = false)
        : m_out(out), m_err(err), m_trace(trace), m_showSecrets(showSecrets) {}

    std::ostream& Out() { return m_out; }
    // "zuic: message" on standard error.
    void Error(const std::string& message);
    bool Tracing() const { return m_trace; }
    bool ShowingSecrets() const { return m_showSecrets; }
    // FormatCommand as this output shows commands.
    std::string Command(const unsigned char* cmd, size_t length) const {
        return FormatCommand(cmd, length, m_showSecrets);
    }
    // Answer data after prefix, 16 bytes a line, the following lines
    // indented to line up; nothing for no data.
    void Data(const std::string& prefix, const unsigned char* data, size_t length);
    // "  trace >> command" and "  trace << answer" (or "no answer"), whole.
    void TraceExchange(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                       size_t answerLen);

  private:
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_trace;
    bool m_showSecrets;
};

} // namespace zuic

#endif
