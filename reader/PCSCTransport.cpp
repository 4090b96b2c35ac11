// PC/SC transport: one shared connection to one card in one reader.
#include "PCSCTransport.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// pcsc-lite's SCardBeginTransaction waits for as long as another program
// holds the card. To give up after a bounded time, it runs on a worker thread
// of the connection; a call that outlives its caller's patience is abandoned:
// the worker ends the transaction it finally gets at once. Once the
// connection is closed, a worker still waiting inherits the PC/SC handle and
// context and lets them go when its call returns.
class CBeginWorker {
  public:
    // Begins the transaction on `card`, waiting at most timeoutMs. Returns
    // the PC/SC result, or SCARD_E_TIMEOUT.
    LONG Begin(SCARDHANDLE card, unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(m_lock);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        // An abandoned call may still be waiting: that is the same wait.
        if (!m_wake.wait_until(lock, deadline, [this] { return !m_busy; })) {
            return SCARD_E_TIMEOUT;
        }
        m_card = card;
        m_busy = true;
        m_done = false;
        m_abandoned = false;
        m_wake.notify_all();
        if (!m_wake.wait_until(lock, deadline, [this] { return m_done; })) {
            m_abandoned = true;
            return SCARD_E_TIMEOUT;
        }
        return m_result;
    }
    // Whether a call is still under way (the handle's context is then busy).
    bool Busy(unsigned timeoutMs) {
        std::unique_lock<std::mutex> lock(m_lock);
        return !m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return !m_busy; });
    }
    // Stops the worker. Returns false when a call is still under way: the
    // worker then disconnects `card` and releases `context` itself.
    bool Stop(SCARDHANDLE card, SCARDCONTEXT context) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_wake.notify_all();
        if (!m_busy) {
            return true;
        }
        m_abandoned = true;
        m_inheritCard = card;
        m_inheritContext = context;
        return false;
    }
    void Run() {
        std::unique_lock<std::mutex> lock(m_lock);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || (m_busy && !m_done); });
            if (!m_busy) {
                return; // stopped while idle
            }
            SCARDHANDLE card = m_card;
            lock.unlock();
            LONG rv = SCardBeginTransaction(card);
            lock.lock();
            if (m_abandoned && rv == SCARD_S_SUCCESS) {
                SCardEndTransaction(card, SCARD_LEAVE_CARD);
            }
            m_result = rv;
            m_done = true;
            m_busy = false;
            m_wake.notify_all();
            if (m_stop) {
                if (m_inheritCard != 0) {
                    SCardDisconnect(m_inheritCard, SCARD_LEAVE_CARD);
                }
                if (m_inheritContext != 0) {
                    SCardReleaseContext(m_inheritContext);
                }
                return;
            }
        }
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    SCARDHANDLE m_card = 0;
    LONG m_result = SCARD_S_SUCCESS;
    bool m_busy = false;
    bool m_done = false;
    bool m_abandoned = false;
    bool m_stop = false;
    SCARDHANDLE m_inheritCard = 0;
    SCARDCONTEXT m_inheritContext = 0;
};

DWORD PreferredProtocols(int protocol) {
    switch (protocol) {
    case ZU_PROTOCOL_T0:
        return SCARD_PROTOCOL_T0;
    case ZU_PROTOCOL_T1:
        return SCARD_PROTOCOL_T1;
    default:
        return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    }
}

std::vector<std::string> ListReaders(SCARDCONTEXT context) {
    std::vector<std::string> names;
    DWORD size = 0;
    if (SCardListReaders(context, nullptr, nullptr, &size) != SCARD_S_SUCCESS || size == 0) {
        return names;
    }
    std::vector<char> multi(size);
    if (SCardListReaders(context, nullptr, multi.data(), &size) != SCARD_S_SUCCESS) {
        return names;
    }
    multi.resize(size);
    multi.push_back('\0');
    for (const char* p = multi.data(); *p != '\0'; p += std::strlen(p) + 1) {
        names.emplace_back(p);
    }
    return names;
}

class CPCSCTransport : public CZUTransport {
  public:
    CPCSCTransport(SCARDCONTEXT context, int protocol)
        : m_context(context), m_preferred(PreferredProtocols(protocol)) {}
    CPCSCTransport(SCARDCONTEXT context, DWORD preferred)
        : m_context(context), m_preferred(preferred) {}
    ~CPCSCTransport() override { CPCSCTransport::Close(); }

    bool Connect(const std::string& readerName) {
        Disconnect();
        DWORD active = 0;
        if (SCardConnect(m_context, readerName.c_str(), SCARD_SHARE_SHARED, m_preferred, &m_card,
                         &active) != SCARD_S_SUCCESS) {
            m_card = 0;
            return false;
        }
        m_reader = readerName;
        m_active = active;
        return true;
    }

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override {
        *answerLen = 0;
        if (m_card == 0) {
            return false;
        }
        const SCARD_IO_REQUEST* pci = (m_active == SCARD_PROTOCOL_T1) ? SCARD_PCI_T1 : SCARD_PCI_T0;
        DWORD received = ZU_MAX_ANSWER;
        LONG rv =
            SCardTransmit(m_card, pci, cmd, static_cast<DWORD>(cmdLen), nullptr, answer, &received);
        if (rv != SCARD_S_SUCCESS) {
            Lost(rv);
            return false;
        }
        if (received < 2 || received > ZU_MAX_ANSWER) {
            return false;
        }
        *answerLen = received;
        return true;
    }

    bool BeginTransaction(unsigned timeoutMs) override {
        if (m_card == 0) {
            return false;
        }
        if (!m_worker) {
            m_worker = std::make_shared<CBeginWorker>();
            std::shared_ptr<CBeginWorker> worker = m_worker;
            std::thread([worker] { worker->Run(); }).detach();
        }
        LONG rv = m_worker->Begin(m_card, timeoutMs);
        if (rv != SCARD_S_SUCCESS) {
            Lost(rv);
            return false;
        }
        return true;
    }

    void EndTransaction() override {
        if (m_card != 0) {
            LONG rv = SCardEndTransaction(m_card, SCARD_LEAVE_CARD);
            if (rv != SCARD_S_SUCCESS) {
                Lost(rv);
            }
        }
    }

    std::shared_ptr<CZUTransport> OpenSlot(int slot) override {
        if (!Idle()) {
            return nullptr;
        }
        std::vector<std::string> names = ListReaders(m_context);
        if (slot < 0 || static_cast<size_t>(slot) >= names.size()) {
            return nullptr;
        }
        SCARDCONTEXT context = 0;
        if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) !=
            SCARD_S_SUCCESS) {
            return nullptr;
        }
        auto moved = std::make_shared<CPCSCTransport>(context, m_preferred);
        if (!moved->Connect(names[static_cast<size_t>(slot)])) {
            return nullptr;
        }
        return moved;
    }

    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override {
        *atrLen = 0;
        if (m_reader.empty() || !Idle()) {
            return false;
        }
        DWORD active = 0;
        bool connected = m_card != 0 && m_context != 0 &&
                         SCardReconnect(m_card, SCARD_SHARE_SHARED, m_preferred, SCARD_RESET_CARD,
                                        &active) == SCARD_S_SUCCESS;
        if (connected) {
            m_active = active;
        } else {
            // After a removal the old handle is dead, and after a restart of
            // pcscd the context too: connect afresh, in a new context if the
            // old one no longer answers.
            std::string reader = m_reader;
            connected = Connect(reader);
            if (!connected && Renew()) {
                connected = Connect(reader);
            }
        }
        if (!connected) {
            return false;
        }
        unsigned char buffer[MAX_ATR_SIZE];
        DWORD bufferLen = sizeof buffer;
        DWORD state = 0;
        DWORD protocol = 0;
        DWORD nameLen = 0;
        if (SCardStatus(m_card, nullptr, &nameLen, &state, &protocol, buffer, &bufferLen) !=
            SCARD_S_SUCCESS) {
            return false;
        }
        size_t copied = bufferLen < atrRoom ? bufferLen : atrRoom;
        if (atr != nullptr) {
            std::memcpy(atr, buffer, copied);
        }
        *atrLen = copied;
        return true;
    }

    bool IsCardPresent() override {
        if (m_context == 0 || m_reader.empty() || !Idle()) {
            return false;
        }
        SCARD_READERSTATE state{};
        state.szReader = m_reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        LONG rv = SCardGetStatusChange(m_context, 0, &state, 1);
        if (rv != SCARD_S_SUCCESS) {
            return false;
        }
        return (state.dwEventState & SCARD_STATE_PRESENT) != 0 &&
               (state.dwEventState & SCARD_STATE_MUTE) == 0;
    }

    bool ChangeSlot(int slot) override {
        if (!Idle()) {
            return false;
        }
        std::vector<std::string> names = ListReaders(m_context);
        if (slot < 0 || static_cast<size_t>(slot) >= names.size()) {
            Disconnect();
            m_reader.clear();
            return false;
        }
        return Connect(names[static_cast<size_t>(slot)]);
    }

    void Close() override {
        if (m_worker && !m_worker->Stop(m_card, m_context)) {
            // The worker's call still runs on this handle: it lets go of the
            // handle and the context when the call returns.
            m_card = 0;
            m_context = 0;
        }
        m_worker.reset();
        Disconnect();
        m_reader.clear();
        if (m_context != 0) {
            SCardReleaseContext(m_context);
            m_context = 0;
        }
    }

  private:
    void Disconnect() {
        if (m_card != 0) {
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
            m_card = 0;
        }
    }

    // Whether no abandoned SCardBeginTransaction still occupies the context
    // (waiting for it as long as a transaction would).
    bool Idle() { return !m_worker || !m_worker->Busy(ZUGetTransactionTimeout()); }

    // What a failed call leaves to do. A card reset by another program: the
    // handle is reconnected at once, leaving the card as it is, so that the
    // next command reaches the card (whose selection and security state are
    // gone: the caller starts its sequence again). A removed card, a reader
    // gone or a stopped pcscd are left to Reset or Open.
    void Lost(LONG rv) {
        if (rv == SCARD_W_RESET_CARD && m_card != 0) {
            DWORD active = 0;
            if (SCardReconnect(m_card, SCARD_SHARE_SHARED, m_preferred, SCARD_LEAVE_CARD,
                               &active) == SCARD_S_SUCCESS) {
                m_active = active;
            }
        }
    }

    // A new PC/SC context in place of one that pcscd no longer knows.
    bool Renew() {
        if (m_worker && !m_worker->Stop(m_card, m_context)) {
            m_card = 0;
            m_context = 0;
        }
        m_worker.reset();
        if (m_card != 0) {
            SCardDisconnect(m_card, SCARD_LEAVE_CARD);
            m_card = 0;
        }
        if (m_context != 0) {
            SCardReleaseContext(m_context);
            m_context = 0;
        }
        return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context) ==
               SCARD_S_SUCCESS;
    }

    SCARDCONTEXT m_context;
    SCARDHANDLE m_card = 0;
    DWORD m_preferred;
    DWORD m_active = 0;
    std::string m_reader;
    std::shared_ptr<CBeginWorker> m_worker;
};

} // namespace

std::vector<std::string> PCSCListReaders() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return {};
    }
    std::vector<std::string> names = ListReaders(context);
    SCardReleaseContext(context);
    return names;
}

std::shared_ptr<CZUTransport> PCSCConnect(const char* name, int index, int protocol) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return nullptr;
    }
    auto transport = std::make_shared<CPCSCTransport>(context, protocol);
    std::vector<std::string> names = ListReaders(context);
    const std::string* chosen = nullptr;
    if (name != nullptr) {
        for (const std::string& candidate : names) {
            if (candidate.find(name) != std::string::npos) {
                chosen = &candidate;
                break;
            }
        }
    } else if (index >= 0 && static_cast<size_t>(index) < names.size()) {
        chosen = &names[static_cast<size_t>(index)];
    }
    if (chosen == nullptr || !transport->Connect(*chosen)) {
        return nullptr;
    }
    return transport;
}
