// One command to the card through the reader object, with what happened
// underneath: every raw exchange (the command, a re-send after 6C XX, each
// GET RESPONSE), printed as it happens when --trace is on.
#ifndef ZUIC_CARDEXCHANGE_H
#define ZUIC_CARDEXCHANGE_H

#include "Apdu.h"
#include "Output.h"
#include "ZUICRD.h"

#include <vector>

namespace zuic {

struct RawExchange {
    Bytes command;
    Bytes answer; // data then SW1 SW2; empty when the exchange failed
};

struct ExchangeOutcome {
    bool accepted = false;      // the reader's verdict: final status word 90 00
    bool answered = false;      // every raw exchange got an answer
    unsigned short sw = 0;      // final status word, as GetSW keeps it
    unsigned short firstSw = 0; // the card's answer to the command itself
    Bytes data;                 // answer data, all GET RESPONSE parts together
    std::vector<RawExchange> raw;
};

// Watches the process's exchanges while it lives: one at a time.
class CardExchange {
  public:
    CardExchange(CZUReader& reader, Output& output);
    ~CardExchange();
    CardExchange(const CardExchange&) = delete;
    CardExchange& operator=(const CardExchange&) = delete;

    ExchangeOutcome Send(const Apdu& apdu);

  private:
    static void Hook(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                     size_t answerLen, void* context);

    CZUReader& m_reader;
    Output& m_output;
    std::vector<RawExchange> m_raw;
};

} // namespace zuic

#endif
