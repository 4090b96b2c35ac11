// A card behind the reader whose every answer the fuzz input chooses:
// transport failures, answers without a status word or longer than the
// reader's buffer, up to 256 data bytes with a status word that succeeds,
// refuses, or asks for GET RESPONSE (61 XX) or a re-send (6C XX). Every
// exchange is logged. Once the input is used up, or after a bounded number
// of exchanges, the card answers 90 00.
#ifndef ZU_FUZZ_FUZZTRANSPORT_H
#define ZU_FUZZ_FUZZTRANSPORT_H

#include "FuzzCheck.h"
#include "ZUICRD.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <vector>

struct FuzzExchange {
    Bytes command;
    bool usable = false; // a status word within the reader's buffer
    unsigned short sw = 0;
    size_t data = 0; // data bytes before the status word
};

class CFuzzTransport : public CZUTransport {
  public:
    explicit CFuzzTransport(FuzzedDataProvider& input) : m_in(input) {}
    std::vector<FuzzExchange> log;
    size_t resets = 0;

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        // Header, Lc, 255 data bytes and the Le of a re-send.
        FUZZ_CHECK(cmd != nullptr && cmdLen >= 4 && cmdLen <= 261, "not a short APDU");
        FuzzExchange x;
        x.command.assign(cmd, cmd + cmdLen);
        const int kind = Spent() ? 9 : m_in.ConsumeIntegralInRange<int>(0, 15);
        static const unsigned short kSW[] = {0x9000, 0x6100, 0x6C00, 0x63C0, 0x6983, 0x6A82};
        x.sw = kind == 9 ? 0x9000 : kSW[m_in.ConsumeIntegralInRange<int>(0, 5)];
        x.sw = static_cast<unsigned short>(
            x.sw | (x.sw & 0xFF ? 0 : m_in.ConsumeIntegral<unsigned char>()));
        x.data = kind == 9 ? 0 : m_in.ConsumeIntegralInRange<size_t>(0, kind == 3 ? 256 : 16);
        x.usable = kind != 0 && kind != 1 && kind != 2;
        log.push_back(x);
        if (kind == 0) { // the reader or the card went away
            return false;
        }
        std::memset(answer, 0x90, ZU_MAX_ANSWER);
        *answerLen = kind == 1   ? m_in.ConsumeIntegralInRange<size_t>(0, 1) // no status word
                     : kind == 2 ? ZU_MAX_ANSWER + 1 + m_in.ConsumeIntegral<unsigned char>()
                                 : x.data + 2;
        for (size_t i = 0; x.usable && i < x.data; ++i) {
            answer[i] = static_cast<unsigned char>(m_counter++ * 7 + 0x31);
        }
        if (x.usable) {
            answer[x.data] = static_cast<unsigned char>(x.sw >> 8);
            answer[x.data + 1] = static_cast<unsigned char>(x.sw);
        }
        return true;
    }
    // An ATR of up to 40 bytes; as a faulty transport might, the length
    // reported may be the whole ATR although only the room was filled.
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        ++resets;
        if (Spent() || m_in.ConsumeIntegralInRange<int>(0, 7) == 0) {
            return false;
        }
        const size_t length = m_in.ConsumeIntegralInRange<size_t>(0, 40);
        const size_t written = length < atrRoom ? length : atrRoom;
        if (atr != nullptr) {
            std::memset(atr, 0x3B, written);
        }
        *atrLen = m_in.ConsumeBool() ? length : written;
        return true;
    }
    bool IsCardPresent() override { return Spent() || m_in.ConsumeBool(); }
    bool ChangeSlot(int) override { return Spent() || m_in.ConsumeBool(); }

  private:
    bool Spent() const { return m_in.remaining_bytes() == 0 || log.size() >= 1024; }
    FuzzedDataProvider& m_in;
    unsigned m_counter = 0;
};

#endif
