// A card behind the reader whose every answer the fuzz input chooses:
// transport failures, answers without a status word, answers that claim to
// be longer than the reader's buffer, data of any length up to 256 bytes
// and status words that succeed, refuse, or ask for GET RESPONSE (61 XX) or
// a re-send with another Le (6C XX). Every exchange is logged, so that a
// target can replay what the reader made of it. Once the input is used up,
// or after a bounded number of exchanges, the card answers 90 00.
#ifndef ZU_FUZZ_FUZZTRANSPORT_H
#define ZU_FUZZ_FUZZTRANSPORT_H

#include "common/Bytes.h"
#include "FuzzCheck.h"
#include "ZUICRD.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

// Longest command the reader may hand a transport: header, Lc, 255 data
// bytes and the Le of a re-send.
enum { ZU_FUZZ_LONGEST_COMMAND = 261 };

struct FuzzExchange {
    Bytes command;
    bool transmitted = false; // Transmit reported success
    size_t reported = 0;      // the answer length Transmit reported
    Bytes answer;             // what it wrote, at most ZU_MAX_ANSWER bytes

    // An answer the reader must take: a status word and no more than its buffer.
    bool Usable() const { return transmitted && reported >= 2 && reported <= ZU_MAX_ANSWER; }
    unsigned short SW() const {
        return static_cast<unsigned short>(answer[reported - 2] << 8 | answer[reported - 1]);
    }
};

class CFuzzTransport : public CZUTransport {
  public:
    explicit CFuzzTransport(FuzzedDataProvider& input, size_t budget = 1024)
        : m_input(input), m_budget(budget) {}

    std::vector<FuzzExchange> log;
    int resets = 0;
    bool closed = false;

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        FUZZ_CHECK(!closed, "a closed transport was used");
        FUZZ_CHECK(cmd != nullptr && cmdLen >= 5, "the reader sent less than a header");
        FUZZ_CHECK(cmdLen <= ZU_FUZZ_LONGEST_COMMAND, "the reader sent more than a short APDU");
        FuzzExchange exchange;
        exchange.command.assign(cmd, cmd + cmdLen);
        Answer(cmd, cmdLen, exchange);
        if (exchange.transmitted) {
            if (!exchange.answer.empty()) {
                std::memcpy(answer, exchange.answer.data(), exchange.answer.size());
            }
            *answerLen = exchange.reported;
        }
        log.push_back(exchange);
        return exchange.transmitted;
    }

    // An ATR of up to 40 bytes; as a faulty transport might, the length
    // reported may be the card's whole ATR although only the room was filled.
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        FUZZ_CHECK(!closed, "a closed transport was reset");
        ++resets;
        lastAtr.clear();
        if (Spent() || m_input.ConsumeIntegralInRange<int>(0, 7) == 0) {
            return false;
        }
        const size_t length = m_input.ConsumeIntegralInRange<size_t>(0, 40);
        for (size_t i = 0; i < length; ++i) {
            lastAtr.push_back(NextByte());
        }
        const size_t written = length < atrRoom ? length : atrRoom;
        if (atr != nullptr && written != 0) {
            std::memcpy(atr, lastAtr.data(), written);
        }
        *atrLen = m_input.ConsumeBool() ? length : written;
        return true;
    }
    Bytes lastAtr;

    bool IsCardPresent() override { return !closed && (Spent() || m_input.ConsumeBool()); }
    bool ChangeSlot(int) override {
        lastSlotChange = !closed && (Spent() || m_input.ConsumeBool());
        return lastSlotChange;
    }
    bool lastSlotChange = false;
    void Close() override { closed = true; }

  private:
    bool Spent() const { return m_input.remaining_bytes() == 0 || log.size() >= m_budget; }

    unsigned char NextByte() { return static_cast<unsigned char>(m_counter++ * 7 + 0x31); }

    void Answer(const unsigned char* cmd, size_t cmdLen, FuzzExchange& exchange) {
        exchange.transmitted = true;
        if (Spent()) {
            exchange.answer = {0x90, 0x00};
            exchange.reported = 2;
            return;
        }
        switch (m_input.ConsumeIntegralInRange<int>(0, 15)) {
        case 0: // the reader or the card went away
            exchange.transmitted = false;
            return;
        case 1: // no status word, or half of one
            exchange.reported = m_input.ConsumeIntegralInRange<size_t>(0, 1);
            exchange.answer.assign(exchange.reported, 0x90);
            return;
        case 2: // claims more than the reader's buffer holds
            exchange.answer.assign(ZU_MAX_ANSWER, 0x90);
            exchange.reported = ZU_MAX_ANSWER + m_input.ConsumeIntegralInRange<size_t>(1, 1000);
            return;
        default:
            break;
        }
        size_t length;
        switch (m_input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            length = cmdLen == 5 ? (cmd[4] == 0 ? 256 : cmd[4]) : 8; // what was asked for
            break;
        case 1:
            length = 256; // the longest answer a short APDU allows
            break;
        case 2:
            length = m_input.ConsumeIntegralInRange<size_t>(0, 16);
            break;
        default:
            length = m_input.ConsumeIntegralInRange<size_t>(0, 256);
            break;
        }
        for (size_t i = 0; i < length; ++i) {
            exchange.answer.push_back(NextByte());
        }
        unsigned char sw1 = 0x90, sw2 = 0x00;
        switch (m_input.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            sw1 = 0x61;
            sw2 = m_input.ConsumeIntegral<unsigned char>();
            break;
        case 1:
            sw1 = 0x6C;
            sw2 = m_input.ConsumeIntegral<unsigned char>();
            break;
        case 2:
            sw1 = 0x63;
            sw2 = m_input.ConsumeIntegral<unsigned char>();
            break;
        case 3:
            sw1 = 0x69;
            sw2 = 0x83;
            break;
        case 4:
            sw1 = m_input.ConsumeIntegral<unsigned char>();
            sw2 = m_input.ConsumeIntegral<unsigned char>();
            break;
        default:
            break;
        }
        exchange.answer.push_back(sw1);
        exchange.answer.push_back(sw2);
        exchange.reported = exchange.answer.size();
    }

    FuzzedDataProvider& m_input;
    size_t m_budget;
    unsigned m_counter = 0;
};

#endif
