// The in-process connection to a simulated device.
#include "sim/CZUSimTransport.h"
#include "sim/CZUSimRefusal.h"
#include "sim/CZUSimT0Adapter.h"

#include <cstring>

namespace {
// Hands the persistent device to the adapters without owning it twice: the
// slot keeps it alive as long as the connection holds the slot.
class CZUSimBorrowed : public CZUSimDevice {
  public:
    explicit CZUSimBorrowed(std::shared_ptr<CZUSimSlot> slot) : m_slot(std::move(slot)) {}
    std::vector<unsigned char> PowerOn() override { return m_slot->device->PowerOn(); }
    void PowerOff() override { m_slot->device->PowerOff(); }
    std::vector<unsigned char> Process(const unsigned char* apdu, size_t length) override {
        return m_slot->device->Process(apdu, length);
    }

  private:
    std::shared_ptr<CZUSimSlot> m_slot;
};
} // namespace

std::shared_ptr<CZUSimTransport> CZUSimTransport::Connect(const char* name, int protocol) {
    std::string base;
    SimReaderOptions options;
    if (!SimParseReaderName(name, &base, &options)) {
        return nullptr;
    }
    if (protocol == ZU_PROTOCOL_T0) {
        options.t0 = true;
    } else if (protocol == ZU_PROTOCOL_T1 && options.t0) {
        return nullptr;
    }
    auto transport = std::make_shared<CZUSimTransport>(options);
    if (!transport->Attach(base)) {
        return nullptr;
    }
    return transport;
}

bool CZUSimTransport::Attach(const std::string& base) {
    std::shared_ptr<CZUSimSlot> slot = SimPersistentSlot(base);
    if (!slot) {
        return false;
    }
    std::shared_ptr<CZUSimDevice> chain = std::make_shared<CZUSimBorrowed>(slot);
    if (m_options.t0) {
        chain = std::make_shared<CZUSimT0Adapter>(chain);
    }
    if (m_options.refuseAt != 0) {
        // Counted over the connection's commands, whatever the slot.
        auto refusal = std::make_shared<CZUSimRefusal>(
            chain, m_options.refuseAt > m_commands ? m_options.refuseAt - m_commands : 0);
        chain = refusal;
    }
    {
        std::lock_guard<std::mutex> guard(slot->lock);
        chain->PowerOn();
    }
    m_base = base;
    m_slot = slot;
    m_chain = chain;
    return true;
}

bool CZUSimTransport::Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                               size_t* answerLen) {
    *answerLen = 0;
    if (!Usable()) {
        return false;
    }
    if (m_options.remove && m_commands >= m_options.removeAfter) {
        m_removed = true;
        return false;
    }
    ++m_commands;
    std::vector<unsigned char> reply;
    {
        std::lock_guard<std::mutex> guard(m_slot->lock);
        reply = m_chain->Process(cmd, cmdLen);
    }
    if (reply.size() < 2 || reply.size() > ZU_MAX_ANSWER) {
        return false;
    }
    std::memcpy(answer, reply.data(), reply.size());
    *answerLen = reply.size();
    return true;
}

bool CZUSimTransport::Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) {
    *atrLen = 0;
    if (!Usable()) {
        return false;
    }
    if (m_options.remove && m_commands >= m_options.removeAfter) {
        m_removed = true; // a card that left is not brought back by a reset
        return false;
    }
    std::vector<unsigned char> answer;
    {
        std::lock_guard<std::mutex> guard(m_slot->lock);
        answer = m_chain->PowerOn();
    }
    size_t n = answer.size() < atrRoom ? answer.size() : atrRoom;
    if (atr != nullptr && n != 0) {
        std::memcpy(atr, answer.data(), n);
    }
    *atrLen = atr != nullptr ? n : 0;
    return true;
}

bool CZUSimTransport::IsCardPresent() {
    return Usable() && !(m_options.remove && m_commands >= m_options.removeAfter);
}

bool CZUSimTransport::ChangeSlot(int slot) {
    if (!Usable()) {
        return false;
    }
    std::string base = SimSlotBase(m_base, slot);
    return !base.empty() && Attach(base);
}

void CZUSimTransport::Close() {
    if (m_slot && !m_closed && !m_removed) {
        std::lock_guard<std::mutex> guard(m_slot->lock);
        m_chain->PowerOff();
    }
    m_closed = true;
    m_chain.reset();
    m_slot.reset();
}
