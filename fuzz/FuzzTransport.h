// A card behind the reader whose every answer the input chooses: transport
// failures, answers without a status word or longer than the reader's
// buffer, up to 256 data bytes behind a status word that succeeds, refuses,
// or asks for GET RESPONSE (61 XX) or a re-send (6C XX). Each exchange is
// logged. Once the input is used up, or after 1024 exchanges, it answers 90 00.
#ifndef ZU_FUZZ_FUZZTRANSPORT_H
#define ZU_FUZZ_FUZZTRANSPORT_H

#include "FuzzCheck.h"
#include "ZUICRD.h"

#include <cstring>
#include <vector>

struct FuzzExchange {
    Bytes command;
    bool usable;       // a status word within the reader's buffer
    unsigned short sw; // that status word
};

class CFuzzTransport : public CZUTransport {
  public:
    explicit CFuzzTransport(FuzzedDataProvider& in) : m_in(in) {}
    std::vector<FuzzExchange> log;
    size_t dataBytes = 0; // in the answers with a status word

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        // Header, Lc, 255 data bytes and the Le of a re-send.
        FUZZ_CHECK(cmd != nullptr && cmdLen >= 4 && cmdLen <= 261, "not a short APDU");
        static const unsigned short kSW[] = {0x9000, 0x6100, 0x6C00, 0x63C0, 0x6983, 0x6A82};
        const int kind = Spent() ? 9 : m_in.ConsumeIntegralInRange(0, 15);
        unsigned sw = kind == 9 ? 0x9000 : kSW[m_in.ConsumeIntegralInRange(0, 5)];
        sw |= sw & 0xFF ? 0 : m_in.ConsumeIntegral<unsigned char>();
        const size_t n =
            kind == 9 ? 0 : m_in.ConsumeIntegralInRange<size_t>(0, kind == 3 ? 256 : 16);
        log.push_back({Bytes(cmd, cmd + cmdLen), kind > 2, static_cast<unsigned short>(sw)});
        dataBytes += kind > 2 ? n : 0;
        std::memset(answer, 0x90, ZU_MAX_ANSWER);
        for (size_t i = 0; i < n; ++i) {
            answer[i] = static_cast<unsigned char>(m_counter++ * 7 + 0x31);
        }
        answer[n] = static_cast<unsigned char>(sw >> 8);
        answer[n + 1] = static_cast<unsigned char>(sw);
        // 1: no status word, or half of one; 2: more than the reader's buffer.
        *answerLen = kind == 1 ? n % 2 : kind == 2 ? ZU_MAX_ANSWER + 1 + n : n + 2;
        return kind != 0; // 0: the reader or the card went away
    }
    // An ATR of up to 40 bytes; as a faulty transport might, the length
    // reported may be the whole ATR although only the room was filled.
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        if (!Spent() && m_in.ConsumeIntegralInRange(0, 7) == 0) {
            return false;
        }
        const size_t n = Spent() ? 0 : m_in.ConsumeIntegralInRange<size_t>(0, 40);
        if (atr != nullptr) {
            std::memset(atr, 0x3B, std::min(n, atrRoom));
        }
        *atrLen = Spent() || m_in.ConsumeBool() ? n : std::min(n, atrRoom);
        return true;
    }
    bool IsCardPresent() override { return present = Spent() || m_in.ConsumeBool(); }
    bool present = false; // the last answer to IsCardPresent
    bool ChangeSlot(int) override { return Spent() || m_in.ConsumeBool(); }

  private:
    bool Spent() const { return m_in.remaining_bytes() == 0 || log.size() >= 1024; }
    FuzzedDataProvider& m_in;
    unsigned m_counter = 0;
};

#endif
