// One command to the card through the reader object, with what happened
// underneath: every raw exchange (the command, a re-send after 6C XX, each
// GET RESPONSE), printed as it happens when --trace is on.
#ifndef ZUIC_CARDEXCHANGE_H
#define ZUIC_CARDEXCHANGE_H

#include "Apdu.h"
#include "Output.h"
#include "Reasons.h"
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
    Failure failure; // why it was not accepted: the card's refusal or the reader's trouble
};

// Gathers every raw exchange of the process while it lives (one recorder at
// a time: it holds the process's trace hook), printing each as it happens to
// traceTo when given (Output prints only with --trace on).
class ExchangeRecorder {
  public:
    explicit ExchangeRecorder(Output* traceTo = nullptr);
    ~ExchangeRecorder();
    ExchangeRecorder(const ExchangeRecorder&) = delete;
    ExchangeRecorder& operator=(const ExchangeRecorder&) = delete;

    // The exchanges gathered since the last call.
    std::vector<RawExchange> Take();

  private:
    static void Hook(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                     size_t answerLen, void* context);

    Output* m_traceTo;
    std::vector<RawExchange> m_raw;
};

// Sends commands through the reader and tells what happened underneath;
// holds the process's trace hook while it lives, so one at a time.
class CardExchange {
  public:
    CardExchange(CZUReader& reader, Output& output);

    ExchangeOutcome Send(const Apdu& apdu);

  private:
    CZUReader& m_reader;
    ExchangeRecorder m_recorder;
};

} // namespace zuic

#endif
