// A card object of any class whose SendCommand records each command and
// answers from a script instead of reaching a reader, leaving the reason that
// the reader would leave.
#ifndef ZU_TEST_RECORDINGCARD_H
#define ZU_TEST_RECORDINGCARD_H

#include "ZUICAPI.h"
#include "support/Hex.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

struct CannedAnswer {
    int result = 1;
    Bytes data;
};

struct SentCommand {
    Bytes apdu;
    unsigned long respRoom = 0;             // *respLen on entry
    const unsigned char* resp = nullptr;    // the pointers as handed over, to tell
    const unsigned long* respLen = nullptr; // the caller's from the operation's own
    std::string Hex() const { return ToHex(apdu); }
};

template <class Card> class RecordingCard : public Card {
  public:
    std::vector<SentCommand> sent;
    std::deque<CannedAnswer> answers; // empty: every command accepted, no data

    void Answer(int result, const std::string& dataHex = "") {
        answers.push_back({result, FromHex(dataHex)});
    }

    int SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                    unsigned long* respLen) override {
        SentCommand c;
        c.apdu.assign(cmd, cmd + cmdLen);
        c.respRoom = respLen ? *respLen : 0;
        c.resp = resp;
        c.respLen = respLen;
        sent.push_back(c);
        CannedAnswer a;
        if (!answers.empty()) {
            a = answers.front();
            answers.pop_front();
        }
        // Like the reader: at most the room offered, and the count copied.
        if (resp != nullptr && respLen != nullptr) {
            unsigned long n = std::min<unsigned long>(*respLen, a.data.size());
            if (n != 0) {
                std::memcpy(resp, a.data.data(), n);
            }
            *respLen = n;
        } else if (respLen != nullptr) {
            *respLen = 0;
        }
        // The reason, as the reader leaves one: the card accepted or refused.
        ZUSetLastError(a.result == 1 ? ZU_E_NONE : ZU_E_CARD_REFUSED, 0);
        return a.result;
    }
};

#endif
