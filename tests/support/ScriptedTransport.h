// A transport that expects a fixed list of commands and answers each with a
// canned answer (data and status word); any other command fails the test.
#ifndef ZU_TEST_SCRIPTEDTRANSPORT_H
#define ZU_TEST_SCRIPTEDTRANSPORT_H

#include "ZUICRD.h"
#include "support/Hex.h"

#include <deque>
#include <string>

class ScriptedTransport : public CZUTransport {
  public:
    struct Step {
        Bytes command;
        Bytes answer; // data then SW1 SW2; may be shorter than 2 to test malformed answers
        bool fail;    // the exchange itself fails (reader gone)
    };
    // Expect `commandHex`, answer with `answerHex` (data and SW).
    ScriptedTransport& Expect(const std::string& commandHex, const std::string& answerHex) {
        steps.push_back({FromHex(commandHex), FromHex(answerHex), false});
        return *this;
    }
    ScriptedTransport& ExpectFailure(const std::string& commandHex) {
        steps.push_back({FromHex(commandHex), {}, true});
        return *this;
    }
    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override;
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override;
    bool IsCardPresent() override { return present; }
    void Close() override { closed = true; }
    bool Done() const { return steps.empty(); }

    std::deque<Step> steps;
    Bytes atr = FromHex("3B 02 14 50");
    bool present = true;
    bool closed = false;
    int transmitted = 0;
};

#endif
