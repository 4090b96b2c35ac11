#include "CardExchange.h"

namespace zuic {

namespace {

// Room for everything the reader gathers with GET RESPONSE: it stops after
// 256 of them, each of at most 256 bytes, behind the first answer's data.
const size_t kAnswerRoom = size_t{257} * 256;

} // namespace

ExchangeRecorder::ExchangeRecorder(Output* traceTo) : m_traceTo(traceTo) {
    ZUSetTraceHook(&ExchangeRecorder::Hook, this);
}

ExchangeRecorder::~ExchangeRecorder() {
    ZUSetTraceHook(nullptr, nullptr);
}

std::vector<RawExchange> ExchangeRecorder::Take() {
    std::vector<RawExchange> raw;
    raw.swap(m_raw);
    return raw;
}

void ExchangeRecorder::Hook(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                            size_t answerLen, void* context) {
    auto* self = static_cast<ExchangeRecorder*>(context);
    RawExchange exchange;
    exchange.command.assign(cmd, cmd + cmdLen);
    if (answerLen != 0) {
        exchange.answer.assign(answer, answer + answerLen);
    }
    self->m_raw.push_back(std::move(exchange));
    if (self->m_traceTo != nullptr) {
        self->m_traceTo->TraceExchange(cmd, cmdLen, answer, answerLen);
    }
}

CardExchange::CardExchange(CZUReader& reader, Output& output)
    : m_reader(reader), m_recorder(&output) {}

ExchangeOutcome CardExchange::Send(const Apdu& apdu) {
    m_recorder.Take(); // nothing from before this command
    Bytes wire = apdu.Wire();
    ExchangeOutcome outcome;
    outcome.data.resize(kAnswerRoom);
    unsigned long dataLen = kAnswerRoom;
    outcome.accepted =
        m_reader.SendCommand(wire.data(), wire.size(), outcome.data.data(), &dataLen) == 1;
    outcome.data.resize(dataLen);
    outcome.sw = m_reader.GetSW();
    outcome.raw = m_recorder.Take();
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
    if (!outcome.accepted) {
        // A status word is the card's refusal; without one (00 00) the
        // reader layer says what went wrong.
        if (outcome.sw != 0) {
            outcome.failure.reason = ZU_E_CARD_REFUSED;
        } else {
            outcome.failure = LastFailure();
        }
    }
    return outcome;
}

} // namespace zuic
