// The in-process connection to a simulated device.
#include "sim/CZUSimTransport.h"
#include "sim/CZUSimRefusal.h"
#include "sim/CZUSimT0Adapter.h"

#include <chrono>
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
    if (m_holding) {
        EndTransaction(); // a hold does not follow the connection to another slot
    }
    {
        std::unique_lock<std::mutex> guard(slot->lock);
        // (m_slot is not yet this slot: wait on it directly.)
        if (!slot->released.wait_for(guard, std::chrono::milliseconds(ZUGetTransactionTimeout()),
                                     [&slot] { return slot->holder == nullptr; })) {
            ZUSetLastError(ZU_E_TIMEOUT, 0);
            return false;
        }
        chain->PowerOn();
        m_generation = slot->generation;
    }
    m_base = base;
    m_slot = slot;
    m_chain = chain;
    return true;
}

bool CZUSimTransport::Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                               size_t* answerLen) {
    *answerLen = 0;
    if (!Usable() || Removed()) {
        return false;
    }
    std::vector<unsigned char> reply;
    {
        std::unique_lock<std::mutex> guard(m_slot->lock);
        if (!WaitForHolder(guard, ZUGetTransactionTimeout()) || ResetByOther()) {
            return false; // busy past the timeout, or the card's state is gone
        }
        ++m_commands;
        reply = m_chain->Process(cmd, cmdLen);
    }
    if (reply.size() < 2 || reply.size() > ZU_MAX_ANSWER) {
        ZUSetLastError(ZU_E_BAD_ANSWER, 0);
        return false;
    }
    std::memcpy(answer, reply.data(), reply.size());
    *answerLen = reply.size();
    return true;
}

bool CZUSimTransport::Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) {
    *atrLen = 0;
    if (!Usable() || Removed()) { // a card that left is not brought back by a reset
        return false;
    }
    std::vector<unsigned char> answer;
    {
        std::unique_lock<std::mutex> guard(m_slot->lock);
        if (!WaitForHolder(guard, ZUGetTransactionTimeout())) {
            return false;
        }
        answer = m_chain->PowerOn();
        m_generation = ++m_slot->generation;
    }
    size_t n = answer.size() < atrRoom ? answer.size() : atrRoom;
    if (atr != nullptr && n != 0) {
        std::memcpy(atr, answer.data(), n);
    }
    *atrLen = atr != nullptr ? n : 0;
    return true;
}

bool CZUSimTransport::IsCardPresent() {
    return Usable() && !Removed();
}

bool CZUSimTransport::Usable() const {
    if (m_slot && !m_closed && !m_removed) {
        return true;
    }
    ZUSetLastError(m_removed ? ZU_E_CARD_REMOVED : ZU_E_NOT_OPEN, 0);
    return false;
}

bool CZUSimTransport::Removed() {
    if (m_options.remove && m_commands >= m_options.removeAfter) {
        m_removed = true;
        ZUSetLastError(ZU_E_CARD_REMOVED, 0);
    }
    return m_removed;
}

bool CZUSimTransport::WaitForHolder(std::unique_lock<std::mutex>& lock, unsigned timeoutMs) const {
    CZUSimSlot& slot = *m_slot;
    if (!slot.released.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&slot, this] {
            return slot.holder == nullptr || slot.holder == this;
        })) {
        ZUSetLastError(ZU_E_TIMEOUT, 0);
        return false;
    }
    return true;
}

bool CZUSimTransport::ResetByOther() {
    if (m_generation == m_slot->generation) {
        return false;
    }
    m_generation = m_slot->generation;
    ZUSetLastError(ZU_E_CARD_RESET, 0);
    return true;
}

bool CZUSimTransport::BeginTransaction(unsigned timeoutMs) {
    if (!Usable()) {
        return false;
    }
    CZUSimSlot& slot = *m_slot;
    std::unique_lock<std::mutex> guard(slot.lock);
    if (!WaitForHolder(guard, timeoutMs) || ResetByOther()) {
        return false;
    }
    slot.holder = this;
    m_holding = true;
    return true;
}

void CZUSimTransport::EndTransaction() {
    if (!m_slot || !m_holding) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_slot->lock);
        if (m_slot->holder == this) {
            m_slot->holder = nullptr;
        }
    }
    m_holding = false;
    m_slot->released.notify_all();
}

std::shared_ptr<CZUTransport> CZUSimTransport::OpenSlot(int slot) {
    if (!Usable()) {
        return nullptr;
    }
    std::string base = SimSlotBase(m_base, slot);
    if (base.empty()) {
        ZUSetLastError(ZU_E_NO_READER, 0);
        return nullptr;
    }
    auto moved = std::make_shared<CZUSimTransport>(m_options);
    moved->m_commands = m_commands;
    if (!moved->Attach(base)) {
        return nullptr;
    }
    return moved;
}

bool CZUSimTransport::ChangeSlot(int slot) {
    if (!Usable()) {
        return false;
    }
    std::string base = SimSlotBase(m_base, slot);
    return !base.empty() && Attach(base);
}

void CZUSimTransport::Close() {
    EndTransaction();
    if (m_slot && !m_closed && !m_removed) {
        std::unique_lock<std::mutex> guard(m_slot->lock);
        if (WaitForHolder(guard, ZUGetTransactionTimeout())) {
            m_chain->PowerOff();
        }
    }
    m_closed = true;
    m_chain.reset();
    m_slot.reset();
}
