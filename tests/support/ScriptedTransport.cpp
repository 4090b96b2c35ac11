#include "support/ScriptedTransport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

bool ScriptedTransport::Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                                 size_t* answerLen) {
    ++transmitted;
    if (steps.empty()) {
        ADD_FAILURE() << "unexpected command " << ToHex(cmd, cmdLen);
        return false;
    }
    Step step = steps.front();
    steps.pop_front();
    EXPECT_EQ(ToHex(step.command), ToHex(cmd, cmdLen));
    *answerLen = std::min<size_t>(step.answer.size(), ZU_MAX_ANSWER);
    std::copy_n(step.answer.begin(), *answerLen, answer);
    return !step.fail;
}

bool ScriptedTransport::Reset(unsigned char* out, size_t atrRoom, size_t* atrLen) {
    *atrLen = present ? std::min(atrRoom, atr.size()) : 0;
    std::copy_n(atr.begin(), *atrLen, out);
    return present;
}
