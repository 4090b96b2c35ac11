// A card object of any class whose SendCommand checks and logs each command
// that an operation hands the reader, then lets the real reader carry it to
// the fuzzed card: every command is a well-formed short APDU (5 bytes, or 5
// plus Lc), the reader never reports more response bytes than the room it
// was offered, and the result is 0 or 1.
#ifndef ZU_FUZZ_FUZZCARD_H
#define ZU_FUZZ_FUZZCARD_H

#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "ZUICAPI.h"

#include <vector>

struct FuzzCommand {
    Bytes apdu;
    int result = 0;
    Bytes delivered; // response bytes the reader wrote
};

template <class Card> class CFuzzCard : public Card {
  public:
    explicit CFuzzCard(std::vector<FuzzCommand>& log) : m_log(log) {}

    int SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                    unsigned long* respLen) override {
        FUZZ_CHECK(cmd != nullptr, "a command without bytes");
        FUZZ_CHECK(cmdLen >= 5 && cmdLen <= 260, "a command beyond the short APDU form");
        FUZZ_CHECK(cmdLen == 5 || cmdLen == 5UL + cmd[4], "Lc disagrees with the command length");
        FuzzCommand command;
        command.apdu.assign(cmd, cmd + cmdLen);
        const bool answerWanted = resp != nullptr && respLen != nullptr;
        const unsigned long room = answerWanted ? *respLen : 0;
        command.result = Card::SendCommand(cmd, cmdLen, resp, respLen);
        FUZZ_CHECK(command.result == 0 || command.result == 1, "a result other than 0 or 1");
        if (respLen != nullptr) {
            FUZZ_CHECK(*respLen <= room, "more response bytes reported than there was room");
        }
        if (answerWanted) {
            command.delivered.assign(resp, resp + *respLen);
        }
        m_log.push_back(command);
        return command.result;
    }

  private:
    std::vector<FuzzCommand>& m_log;
};

#endif
