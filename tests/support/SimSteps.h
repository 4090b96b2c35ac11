// Commands to a simulated device as hex strings, and scripts of them with
// the answers each must get.
#ifndef ZU_TEST_SIM_STEPS_H
#define ZU_TEST_SIM_STEPS_H

#include "sim/ZUSim.h"
#include "softenc.h"
#include "support/Hex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline std::string Send(CZUSimDevice& card, const std::string& apduHex) {
    Bytes apdu = FromHex(apduHex);
    return ToHex(card.Process(apdu.data(), apdu.size()));
}

struct Step {
    std::string apdu;
    std::string answer; // the whole answer; "* SW1 SW2": any data, then that status word
};

inline void Play(CZUSimDevice& card, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + ": " + s.apdu);
        std::string got = Send(card, s.apdu);
        if (s.answer.compare(0, 2, "* ") == 0) {
            std::string sw = s.answer.substr(2);
            ASSERT_GT(got.size(), sw.size()) << "no data came";
            EXPECT_EQ(sw, got.substr(got.size() - sw.size()));
        } else {
            EXPECT_EQ(s.answer, got);
        }
    }
}

// Two-key triple DES over whole blocks, either way.
inline Bytes Tdes(const unsigned char* key, const Bytes& in, bool encrypt = true) {
    Bytes out(in.size());
    if (encrypt) {
        CTDES2Encryptor(key).ProcessBlocks(in.data(), out.data(), in.size());
    } else {
        CTDES2Decryptor(key).ProcessBlocks(in.data(), out.data(), in.size());
    }
    return out;
}

#endif
