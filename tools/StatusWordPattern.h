// An expected status word in a script: four hex digits, any of which may be
// X for "any digit" ("9000", "61XX", "63CX").
#ifndef ZUIC_STATUSWORDPATTERN_H
#define ZUIC_STATUSWORDPATTERN_H

#include <string>

namespace zuic {

class StatusWordPattern {
  public:
    // The exact status word 90 00.
    StatusWordPattern() = default;

    // Reads "9000", "90 00", "61XX", "6a:8x". On failure returns false and
    // sets error.
    static bool Parse(const std::string& text, StatusWordPattern& pattern, std::string& error);

    bool Matches(unsigned short sw) const { return (sw & m_mask) == m_value; }
    // "90 00", "61 XX".
    std::string ToString() const;

  private:
    unsigned short m_value = 0x9000;
    unsigned short m_mask = 0xFFFF;
};

} // namespace zuic

#endif
