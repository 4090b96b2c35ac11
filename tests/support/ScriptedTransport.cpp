#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

ScriptedTransport& ScriptedTransport::Expect(const std::string& commandHex,
                                             const std::string& answerHex) {
    steps.push_back({FromHex(commandHex), FromHex(answerHex), false});
    return *this;
}

ScriptedTransport& ScriptedTransport::ExpectFailure(const std::string& commandHex) {
    steps.push_back({FromHex(commandHex), {}, true});
    return *this;
}

bool ScriptedTransport::Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                                 size_t* answerLen) {
    ++transmitted;
    Bytes got(cmd, cmd + cmdLen);
    if (steps.empty()) {
        ADD_FAILURE() << "unexpected command " << ToHex(got);
        return false;
    }
    Step step = steps.front();
    steps.pop_front();
    EXPECT_EQ(ToHex(step.command), ToHex(got));
    if (step.fail) {
        return false;
    }
    size_t n = std::min<size_t>(step.answer.size(), ZU_MAX_ANSWER);
    std::memcpy(answer, step.answer.data(), n);
    *answerLen = n;
    return true;
}

bool ScriptedTransport::Reset(unsigned char* out, size_t atrRoom, size_t* atrLen) {
    if (!present) {
        return false;
    }
    size_t n = std::min(atrRoom, atr.size());
    if (n != 0) {
        std::memcpy(out, atr.data(), n);
    }
    *atrLen = n;
    return true;
}
