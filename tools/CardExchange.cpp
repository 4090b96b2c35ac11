#include "CardExchange.h"

namespace zuic {

namespace {

// Room for everything the reader gathers with GET RESPONSE: it stops after
// 256 of them, each of at most 256 bytes, behind the first answer's data.
const size_t kAnswerRoom = size_t{257} * 256;

} // namespace

CardExchange::CardExchange(CZUReader& reader, Output& output) : m_reader(reader), m_output(output) {
    ZUSetTraceHook(&CardExchange::Hook, this);
}

CardExchange::~CardExchange() {
    ZUSetTraceHook(nullptr, nullptr);
}

void CardExchange::Hook(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                        size_t answerLen, void* context) {
    auto* self = static_cast<CardExchange*>(context);
    RawExchange exchange;
    exchange.command.assign(cmd, cmd + cmdLen);
    if (answerLen != 0) {
        exchange.answer.assign(answer, answer + answerLen);
    }
    self->m_raw.push_back(std::move(exchange));
    self->m_output.TraceExchange(cmd, cmdLen, answer, answerLen);
}

ExchangeOutcome CardExchange::Send(const Apdu& apdu) {
    m_raw.clear();
    Bytes wire = apdu.Wire();
    ExchangeOutcome outcome;
    outcome.data.resize(kAnswerRoom);
    unsigned long dataLen = kAnswerRoom;
    outcome.accepted =
        m_reader.SendCommand(wire.data(), wire.size(), outcome.data.data(), &dataLen) == 1;
    outcome.data.resize(dataLen);
    outcome.sw = m_reader.GetSW();
    outcome.raw = std::move(m_raw);
    m_raw.clear();
    outcome.answered = !outcome.raw.empty();
    for (const RawExchange& exchange : outcome.raw) {
        if (exchange.answer.empty()) {
            outcome.answered = false;
        }
    }
    if (!outcome.raw.empty() && outcome.raw.front().answer.size() >= 2) {
        const Bytes& first = outcome.raw.front().answer;
        outcome.firstSw =
            static_cast<unsigned short>((first[first.size() - 2] << 8) | first[first.size() - 1]);
    }
    return outcome;
}

} // namespace zuic
