// PC/SC transport: one shared connection to one card in one reader.
#include "PCSCTransport.h"
#include "reader/PCSCCodes.h"
#include "reader/PCSCWorker.h"

#include <PCSC/wintypes.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// With a transaction timeout of 0 a PC/SC call still gets the time of one
// answer from the service, so that a free card is taken; pcsc-lite waits
// 100 ms before it asks again for a card that another program holds.
const std::chrono::milliseconds FIRST_ANSWER_GRACE(100);

ZUClock::time_point WorkerDeadline(ZUClock::time_point deadline) {
    if (ZUGetTransactionTimeout() == 0) {
        return std::max(deadline, ZUClock::now() + FIRST_ANSWER_GRACE);
    }
    return deadline;
}

void SetReason(LONG rv) {
    ZUSetLastError(ReasonOfPCSC(rv), rv);
}

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

// The readers on which a thread of this process holds a transaction, by a
// hash of the reader's name: a connect to one of them from that same thread
// would wait for itself.
struct HeldReader {
    const void* transport;
    size_t reader;
    std::thread::id thread;
};
struct HeldReaders {
    std::mutex lock;
    std::vector<HeldReader> list;
};
// Never destroyed: a reader object that outlives static destruction (a
// host's global) still ends its transaction through it.
HeldReaders& Held() {
    static HeldReaders* held = new HeldReaders;
    return *held;
}

void NoteHeld(const void* transport, size_t reader) {
    HeldReaders& held = Held();
    std::lock_guard<std::mutex> guard(held.lock);
    held.list.push_back({transport, reader, std::this_thread::get_id()});
}

void NoteEnded(const void* transport) {
    HeldReaders& held = Held();
    std::lock_guard<std::mutex> guard(held.lock);
    auto it = std::find_if(held.list.begin(), held.list.end(),
                           [transport](const HeldReader& h) { return h.transport == transport; });
    if (it != held.list.end()) {
        *it = held.list.back();
        held.list.pop_back();
    }
}

// Whether this thread holds the reader through another transport than `own`.
bool HeldByThisThread(size_t reader, const void* own) {
    HeldReaders& held = Held();
    std::lock_guard<std::mutex> guard(held.lock);
    const std::thread::id self = std::this_thread::get_id();
    return std::any_of(held.list.begin(), held.list.end(),
                       [reader, self, own](const HeldReader& h) {
                           return h.reader == reader && h.thread == self && h.transport != own;
                       });
}

class CPCSCTransport : public CZUTransport {
  public:
    explicit CPCSCTransport(DWORD preferred) : m_preferred(preferred), m_pid(getpid()) {}
    ~CPCSCTransport() override { CPCSCTransport::Close(); }
    CPCSCTransport(const CPCSCTransport&) = delete;
    CPCSCTransport& operator=(const CPCSCTransport&) = delete;

    // A worker and a context of its own; false with the reason left.
    bool Establish();
    // The readers, in the service's order; false with the reason left.
    bool Readers(std::vector<std::string>* names);
    // Connects to a reader; false with the reason left.
    bool Connect(const std::string& readerName);

    bool Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                  size_t* answerLen) override;
    bool BeginTransaction(unsigned timeoutMs) override;
    void EndTransaction() override;
    std::shared_ptr<CZUTransport> OpenSlot(int slot) override;
    bool ChangeSlot(int slot) override;
    bool Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) override;
    bool IsCardPresent() override;
    void Close() override;

  private:
    // Runs a call that may wait, bounded by the calling thread's deadline.
    LONG Call(CPCSCWorker::Call call, CPCSCWorker::Tidy tidy = nullptr) {
        return m_worker->Run(std::move(call), std::move(tidy), WorkerDeadline(CallDeadline()));
    }
    // Whether this process made the connection and it is open; the reason
    // is left when not.
    bool Usable();
    bool Forked() const { return getpid() != m_pid; }
    LONG Reconnect(DWORD initialization);
    // What a failed call leaves to do. A card reset by another program: the
    // handle is reconnected at once, leaving the card as it is, so that the
    // next command reaches the card (whose selection and security state are
    // gone: the caller starts its sequence again). A removed card, a reader
    // gone or a stopped pcscd are left to Reset or Open.
    void Lost(LONG rv);
    // Connects afresh after the handle died (a removal), in a new context if
    // the old one died too (a restart of pcscd).
    bool Reopen();
    // Disconnects the handle (the context stays).
    void LetGoOfHandle();

    std::shared_ptr<CPCSCWorker> m_worker;
    SCARDCONTEXT m_context = 0;
    SCARDHANDLE m_card = 0;
    DWORD m_preferred;
    DWORD m_active = 0;
    std::string m_reader;
    size_t m_readerHash = 0;
    pid_t m_pid;
    bool m_inTransaction = false;
    bool m_cardLost = false; // the card or the service went inside a transaction
    bool m_broken = false;   // and came back: the transaction did not
};

bool CPCSCTransport::Usable() {
    if (Forked()) {
        ZUSetLastError(ZU_E_FORKED, 0);
        return false;
    }
    if (!m_worker || m_context == 0) {
        ZUSetLastError(ZU_E_NOT_OPEN, 0);
        return false;
    }
    return true;
}

bool CPCSCTransport::Establish() {
    m_worker = CPCSCWorker::Start();
    if (!m_worker) {
        return false;
    }
    auto context = std::make_shared<SCARDCONTEXT>(0);
    LONG rv = Call(
        [context] {
            return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, context.get());
        },
        [context](LONG late) {
            if (late == SCARD_S_SUCCESS) {
                SCardReleaseContext(*context);
            }
        });
    if (rv != SCARD_S_SUCCESS) {
        SetReason(rv);
        return false;
    }
    m_context = *context;
    return true;
}

bool CPCSCTransport::Readers(std::vector<std::string>* names) {
    names->clear();
    if (!Usable()) {
        return false;
    }
    auto multi = std::make_shared<std::vector<char>>();
    const SCARDCONTEXT context = m_context;
    LONG rv = Call([context, multi] {
        DWORD size = 0;
        LONG result = SCardListReaders(context, nullptr, nullptr, &size);
        if (result == SCARD_S_SUCCESS) {
            multi->resize(size);
            result = SCardListReaders(context, nullptr, multi->data(), &size);
            multi->resize(result == SCARD_S_SUCCESS ? size : 0);
        }
        return result;
    });
    if (rv == SCARD_E_NO_READERS_AVAILABLE) {
        ZUSetLastError(ZU_E_NONE, 0);
        return true;
    }
    if (rv != SCARD_S_SUCCESS) {
        SetReason(rv);
        return false;
    }
    *names = SplitMultiString(*multi);
    ZUSetLastError(ZU_E_NONE, 0);
    return true;
}

bool CPCSCTransport::Connect(const std::string& readerName) {
    if (!Usable()) {
        return false;
    }
    const size_t readerHash = std::hash<std::string>()(readerName);
    if (HeldByThisThread(readerHash, this)) {
        ZUSetLastError(ZU_E_HELD_HERE, 0);
        return false;
    }
    LetGoOfHandle();
    struct Connected {
        SCARDHANDLE card = 0;
        DWORD active = 0;
    };
    auto out = std::make_shared<Connected>();
    const SCARDCONTEXT context = m_context;
    const DWORD preferred = m_preferred;
    LONG rv = Call(
        [context, readerName, preferred, out] {
            return SCardConnect(context, readerName.c_str(), SCARD_SHARE_SHARED, preferred,
                                &out->card, &out->active);
        },
        [out](LONG late) {
            if (late == SCARD_S_SUCCESS) {
                SCardDisconnect(out->card, SCARD_LEAVE_CARD);
            }
        });
    if (rv != SCARD_S_SUCCESS) {
        // A reader listed a moment ago and unknown now was unplugged.
        ZUSetLastError(rv == SCARD_E_UNKNOWN_READER ? ZU_E_READER_GONE : ReasonOfPCSC(rv), rv);
        return false;
    }
    m_card = out->card;
    m_active = out->active;
    m_reader = readerName;
    m_readerHash = readerHash;
    return true;
}

void CPCSCTransport::LetGoOfHandle() {
    if (m_card == 0) {
        return;
    }
    const SCARDHANDLE card = m_card;
    m_card = 0;
    m_broken = m_inTransaction; // a handle of a new connection has no transaction
    // On the worker: a call given up on may still occupy the context. If it
    // does past the deadline, the handle goes with the context at Close.
    Call([card] { return SCardDisconnect(card, SCARD_LEAVE_CARD); });
}

bool CPCSCTransport::Transmit(const unsigned char* cmd, size_t cmdLen, unsigned char* answer,
                              size_t* answerLen) {
    *answerLen = 0;
    if (!Usable()) {
        return false;
    }
    if (m_card == 0) {
        ZUSetLastError(ZU_E_NO_CARD, 0); // lost, and not yet reopened by Reset
        return false;
    }
    if (m_broken) {
        ZUSetLastError(ZU_E_HOLD_BROKEN, 0);
        return false;
    }
    if (!m_worker->WaitIdle(CallDeadline())) {
        SetReason(SCARD_E_TIMEOUT); // a call given up on still occupies the context
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
        ZUSetLastError(ZU_E_BAD_ANSWER, 0);
        return false;
    }
    *answerLen = received;
    return true;
}

bool CPCSCTransport::BeginTransaction(unsigned timeoutMs) {
    if (!Usable()) {
        return false;
    }
    if (m_card == 0) {
        ZUSetLastError(ZU_E_NO_CARD, 0);
        return false;
    }
    const SCARDHANDLE card = m_card;
    NoteHeld(this, m_readerHash); // before the call: a connect of this thread meanwhile is refused
    LONG rv = SCARD_E_NO_MEMORY;
    try {
        rv = m_worker->Run([card] { return SCardBeginTransaction(card); },
                           [card](LONG late) {
                               if (late == SCARD_S_SUCCESS) {
                                   SCardEndTransaction(card, SCARD_LEAVE_CARD);
                               }
                           },
                           WorkerDeadline(ZUClock::now() + std::chrono::milliseconds(timeoutMs)));
    } catch (...) {
    }
    if (rv != SCARD_S_SUCCESS) {
        NoteEnded(this);
        Lost(rv);
        return false;
    }
    m_inTransaction = true;
    m_cardLost = false;
    m_broken = false;
    return true;
}

void CPCSCTransport::EndTransaction() {
    NoteEnded(this);
    const bool held = m_inTransaction && !m_broken;
    m_inTransaction = false;
    m_cardLost = false;
    m_broken = false; // the hold is over: the reopened handle serves again
    if (!held || m_card == 0 || Forked() || !m_worker) {
        return;
    }
    // Ended in any case: after the call given up on, if one still occupies
    // the context (the reason of the sequence's failure is what counts).
    const SCARDHANDLE card = m_card;
    m_worker->WhenIdle([card] { SCardEndTransaction(card, SCARD_LEAVE_CARD); });
}

std::shared_ptr<CZUTransport> CPCSCTransport::OpenSlot(int slot) {
    if (!Usable()) {
        return nullptr;
    }
    // The new connection lists and connects in a context of its own: this
    // one's stays as it is for the copies.
    auto moved = std::make_shared<CPCSCTransport>(m_preferred);
    std::vector<std::string> names;
    if (!moved->Establish() || !moved->Readers(&names)) {
        return nullptr;
    }
    if (slot < 0 || static_cast<size_t>(slot) >= names.size()) {
        ZUSetLastError(ZU_E_NO_READER, 0);
        return nullptr;
    }
    if (!moved->Connect(names[static_cast<size_t>(slot)])) {
        return nullptr;
    }
    return moved;
}

bool CPCSCTransport::ChangeSlot(int slot) {
    std::vector<std::string> names;
    if (!Readers(&names)) {
        return false;
    }
    if (slot < 0 || static_cast<size_t>(slot) >= names.size()) {
        LetGoOfHandle();
        m_reader.clear();
        ZUSetLastError(ZU_E_NO_READER, 0);
        return false;
    }
    return Connect(names[static_cast<size_t>(slot)]);
}

LONG CPCSCTransport::Reconnect(DWORD initialization) {
    auto active = std::make_shared<DWORD>(0);
    const SCARDHANDLE card = m_card;
    const DWORD preferred = m_preferred;
    LONG rv = Call([card, preferred, initialization, active] {
        return SCardReconnect(card, SCARD_SHARE_SHARED, preferred, initialization, active.get());
    });
    if (rv == SCARD_S_SUCCESS) {
        m_active = *active;
    }
    return rv;
}

bool CPCSCTransport::Reopen() {
    const std::string reader = m_reader;
    bool connected = Connect(reader);
    const int reason = ZUGetLastError();
    if (!connected && reason != ZU_E_TIMEOUT && reason != ZU_E_NO_CARD &&
        reason != ZU_E_CARD_REMOVED && reason != ZU_E_HELD_HERE) {
        // The context may have died with the service: a new worker and context.
        const bool held = m_inTransaction;
        Close();
        m_inTransaction = held;
        connected = Establish() && Connect(reader);
    }
    return connected;
}

bool CPCSCTransport::Reset(unsigned char* atr, size_t atrRoom, size_t* atrLen) {
    *atrLen = 0;
    if (Forked()) {
        ZUSetLastError(ZU_E_FORKED, 0);
        return false;
    }
    if (m_reader.empty()) {
        ZUSetLastError(ZU_E_NOT_OPEN, 0);
        return false;
    }
    LONG rv = (m_worker && m_card != 0) ? Reconnect(SCARD_RESET_CARD) : SCARD_E_INVALID_HANDLE;
    if (rv == SCARD_E_TIMEOUT || rv == SCARD_E_SHARING_VIOLATION) {
        SetReason(rv); // another program holds the card
        return false;
    }
    if (rv != SCARD_S_SUCCESS) {
        m_cardLost = m_cardLost || m_inTransaction;
        if (!Reopen()) {
            return false;
        }
    }
    // Whatever the service kept of a transaction across a removal or its own
    // restart, the sequence it held is gone with the card's state.
    m_broken = m_broken || m_cardLost;
    struct Status {
        unsigned char atr[MAX_ATR_SIZE];
        DWORD atrLen = MAX_ATR_SIZE;
    };
    auto status = std::make_shared<Status>();
    const SCARDHANDLE card = m_card;
    rv = Call([card, status] {
        DWORD state = 0;
        DWORD protocol = 0;
        DWORD nameLen = 0;
        return SCardStatus(card, nullptr, &nameLen, &state, &protocol, status->atr,
                           &status->atrLen);
    });
    if (rv != SCARD_S_SUCCESS) {
        SetReason(rv);
        return false;
    }
    const size_t copied = std::min<size_t>(status->atrLen, atrRoom);
    if (atr != nullptr) {
        std::memcpy(atr, status->atr, copied);
    }
    *atrLen = copied;
    return true;
}

bool CPCSCTransport::IsCardPresent() {
    if (!Usable() || m_reader.empty()) {
        return false;
    }
    struct Presence {
        std::string reader;
        SCARD_READERSTATE state{};
    };
    auto presence = std::make_shared<Presence>();
    presence->reader = m_reader;
    const SCARDCONTEXT context = m_context;
    LONG rv = Call([context, presence] {
        presence->state.szReader = presence->reader.c_str();
        presence->state.dwCurrentState = SCARD_STATE_UNAWARE;
        return SCardGetStatusChange(context, 0, &presence->state, 1);
    });
    if (rv != SCARD_S_SUCCESS) {
        SetReason(rv);
        return false;
    }
    const DWORD state = presence->state.dwEventState;
    if ((state & SCARD_STATE_PRESENT) == 0 || (state & SCARD_STATE_MUTE) != 0) {
        ZUSetLastError(ZU_E_NO_CARD, 0);
        return false;
    }
    return true;
}

void CPCSCTransport::Lost(LONG rv) {
    SetReason(rv);
    const int reason = ReasonOfPCSC(rv);
    if (m_inTransaction && (reason == ZU_E_CARD_REMOVED || reason == ZU_E_NO_CARD ||
                            reason == ZU_E_READER_GONE || reason == ZU_E_NO_SERVICE)) {
        m_cardLost = true;
    }
    if (rv == SCARD_W_RESET_CARD && m_card != 0) {
        Reconnect(SCARD_LEAVE_CARD);
        SetReason(rv); // the reset is what the caller hears of
    }
}

void CPCSCTransport::Close() {
    NoteEnded(this);
    if (Forked()) {
        // The parent's handle and context are not ours to let go; nor is the
        // worker, whose thread stayed with the parent.
        new std::shared_ptr<CPCSCWorker>(std::move(m_worker)); // NOLINT: left on purpose
        m_card = 0;
        m_context = 0;
        return;
    }
    if (m_worker) {
        const SCARDHANDLE card = m_card;
        const SCARDCONTEXT context = m_context;
        m_worker->Stop([card, context] {
            if (card != 0) {
                SCardDisconnect(card, SCARD_LEAVE_CARD);
            }
            if (context != 0) {
                SCardReleaseContext(context);
            }
        });
        m_worker.reset();
    }
    m_card = 0;
    m_context = 0;
    m_inTransaction = false;
}

} // namespace

std::vector<std::string> PCSCListReaders() {
    CPCSCTransport lister(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    std::vector<std::string> names;
    if (lister.Establish()) {
        lister.Readers(&names);
    }
    return names;
}

std::shared_ptr<CZUTransport> PCSCConnect(const char* name, int index, int protocol) {
    auto transport = std::make_shared<CPCSCTransport>(PreferredProtocols(protocol));
    std::vector<std::string> names;
    if (!transport->Establish() || !transport->Readers(&names)) {
        return nullptr;
    }
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
    if (chosen == nullptr) {
        ZUSetLastError(ZU_E_NO_READER, 0);
        return nullptr;
    }
    if (!transport->Connect(*chosen)) {
        return nullptr;
    }
    ZUSetLastError(ZU_E_NONE, 0);
    return transport;
}
