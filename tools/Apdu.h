// A short command APDU as typed on the command line or in a script, checked
// for the shape ISO/IEC 7816-4 gives it before anything reaches a card.
#ifndef ZUIC_APDU_H
#define ZUIC_APDU_H

#include "common/CommandApdu.h"
#include "common/HexText.h"

#include <string>

namespace zuic {

class Apdu {
  public:
    typedef CommandApdu::Case Case;

    // Reads hex (spaces and colons allowed) and checks the length against
    // Lc. On failure returns false and sets error to a one-line description.
    static bool Parse(const std::string& text, Apdu& apdu, std::string& error);

    // The bytes as given.
    const Bytes& Raw() const { return m_bytes; }
    Case GetCase() const { return m_case; }

    // The bytes handed to the reader. A bare header goes with P3 = 00, as
    // the card classes send commands without data. A case 4 command of the
    // full 255 data bytes goes without its Le: the reader takes commands of
    // at most 260 bytes and fetches the answer with GET RESPONSE when the
    // card announces it with 61 XX.
    Bytes Wire() const;

  private:
    Bytes m_bytes;
    Case m_case = CommandApdu::kCase1;
};

} // namespace zuic

#endif
