#include "Script.h"

namespace zuic {

namespace {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

} // namespace

bool ParseScriptLine(const std::string& text, ScriptLine& line, bool& isCommand,
                     std::string& error) {
    isCommand = false;
    std::string body = text.substr(0, text.find('#'));
    body = Trim(body);
    if (body.empty()) {
        return true;
    }
    std::string apduText = body;
    std::string swText;
    size_t eq = body.find('=');
    if (eq != std::string::npos) {
        if (body.find('=', eq + 1) != std::string::npos) {
            error = "more than one '=' (write the expected status word once, at the end)";
            return false;
        }
        apduText = Trim(body.substr(0, eq));
        swText = Trim(body.substr(eq + 1));
        if (apduText.empty()) {
            error = "expected status word without an APDU";
            return false;
        }
        if (swText.empty()) {
            error = "'=' without an expected status word";
            return false;
        }
    }
    ScriptLine parsed;
    if (!Apdu::Parse(apduText, parsed.apdu, error)) {
        return false;
    }
    if (!swText.empty()) {
        if (!StatusWordPattern::Parse(swText, parsed.expected, error)) {
            return false;
        }
        parsed.hasExpectation = true;
    }
    parsed.number = line.number;
    line = parsed;
    isCommand = true;
    return true;
}

bool ParseScript(std::istream& in, std::vector<ScriptLine>& lines, std::string& error) {
    lines.clear();
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        ScriptLine line;
        line.number = number;
        bool isCommand = false;
        std::string lineError;
        if (!ParseScriptLine(text, line, isCommand, lineError)) {
            error = "line " + std::to_string(number) + ": " + lineError;
            lines.clear();
            return false;
        }
        if (isCommand) {
            lines.push_back(line);
        }
    }
    if (in.bad()) {
        error = "read error after line " + std::to_string(number);
        lines.clear();
        return false;
    }
    return true;
}

} // namespace zuic
