// CZUReader: one connection to one card, and the command exchange that every
// card operation goes through. Nothing here throws into a host: an
// exception from a host's transport or trace hook, from the allocator or
// from thread creation gives 0 with its reason, every hold let go.
#include "CZUConnection.h"
#include "PCSCTransport.h"
#include "ZUICRD.h"
#include "common/Instructions.h"
#include "common/CommandApdu.h"
#include "common/StatusWords.h"
#include "reader/Deadline.h"
#include "softenc/SecureWipe.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// A card that keeps answering 61 XX is cut off after this many GET RESPONSE
// commands (64 KiB of data), rather than looping for ever.
const int MAX_GET_RESPONSE = 256;

struct ReaderEntry {
    std::string prefix;
    ZUTransportFactory factory;
};

// The trace hook and its context change together, under one lock. Calls in
// flight are counted by the generation of the hook they carry, so that
// replacing the hook can wait for the calls that carry the old context.
struct TraceState {
    std::mutex lock;
    std::condition_variable idle;
    ZUTraceHook hook = nullptr;
    void* context = nullptr;
    unsigned long generation = 0;
    int current = 0; // calls in flight with the installed hook
    int earlier = 0; // calls in flight with hooks replaced since
};
TraceState& Trace() {
    static TraceState state;
    return state;
}
std::atomic<bool> g_traceSet{false};
thread_local int t_inHook = 0;

std::atomic<unsigned> g_transactionTimeout{10000};

// Sets the reason that an exception stands for.
void ReasonFromException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0);
    } catch (const std::system_error&) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0); // thread creation, locks
    } catch (...) {
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 0);
    }
}

// Runs f, turning an exception into 0 and its reason.
template <class F> int NoThrow(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        ReasonFromException();
        return 0;
    }
}

// Sets the reason `fallback` unless the callee left one.
void ReasonUnlessSet(int fallback) {
    if (ZUGetLastError() == ZU_E_NONE) {
        ZUSetLastError(fallback, 0);
    }
}

// Ends a hold of the calling thread when it goes out of scope.
class CHoldRelease {
  public:
    explicit CHoldRelease(std::shared_ptr<CZUConnection> connection)
        : m_connection(std::move(connection)) {}
    ~CHoldRelease() { m_connection->Release(); }
    CHoldRelease(const CHoldRelease&) = delete;
    CHoldRelease& operator=(const CHoldRelease&) = delete;

  private:
    std::shared_ptr<CZUConnection> m_connection;
};

// Hands one exchange to the trace hook. The hook's own calls into the
// library leave the thread's reason as the exchange left it; an exception
// from the hook goes on to the caller once the call is counted out.
void CallTraceHook(const unsigned char* cmd, size_t cmdLen, const unsigned char* answer,
                   size_t answerLen) {
    TraceState& trace = Trace();
    ZUTraceHook hook;
    void* context;
    unsigned long generation;
    {
        std::lock_guard<std::mutex> guard(trace.lock);
        if (trace.hook == nullptr) {
            return;
        }
        hook = trace.hook;
        context = trace.context;
        generation = trace.generation;
        ++trace.current;
    }
    struct CountOut {
        TraceState& trace;
        unsigned long generation;
        int reason = ZUGetLastError();
        long code = ZUGetLastPCSCError();
        ~CountOut() {
            --t_inHook;
            ZUSetLastError(reason, code);
            std::lock_guard<std::mutex> guard(trace.lock);
            if (generation == trace.generation) {
                --trace.current;
            } else if (--trace.earlier == 0) {
                trace.idle.notify_all();
            }
        }
    } countOut{trace, generation};
    ++t_inHook;
    hook(cmd, cmdLen, answer, answerLen, context);
}

// One raw exchange with the transport, reported to the trace hook. On
// failure, and for an answer the reader cannot use, *answerLen is 0 and the
// reason is left.
bool TransmitTraced(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                    unsigned char* answer, size_t* answerLen) {
    *answerLen = 0;
    ZUSetLastError(ZU_E_NONE, 0);
    const bool sent = transport.Transmit(cmd, cmdLen, answer, answerLen);
    const bool ok = sent && *answerLen >= 2 && *answerLen <= ZU_MAX_ANSWER;
    if (!ok) {
        *answerLen = 0;
        if (sent) {
            ZUSetLastError(ZU_E_BAD_ANSWER, 0);
        } else {
            ReasonUnlessSet(ZU_E_TRANSPORT);
        }
    }
    if (g_traceSet.load(std::memory_order_acquire)) {
        CallTraceHook(cmd, cmdLen, answer, *answerLen);
    }
    return ok;
}

std::mutex& RegistryLock() {
    static std::mutex lock;
    return lock;
}

std::vector<ReaderEntry>& Registry() {
    static std::vector<ReaderEntry> entries;
    return entries;
}

ZUTransportFactory FindFactory(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (const ReaderEntry& entry : Registry()) {
        if (std::strncmp(name, entry.prefix.c_str(), entry.prefix.size()) == 0) {
            return entry.factory;
        }
    }
    return nullptr;
}

// Appends an answer's data to the caller's buffer as far as it has room.
void CollectData(const unsigned char* data, size_t length, unsigned char* resp, size_t room,
                 size_t* copied) {
    if (resp == nullptr || *copied >= room) {
        return;
    }
    size_t take = room - *copied;
    if (take > length) {
        take = length;
    }
    std::memcpy(resp + *copied, data, take);
    *copied += take;
}

// Runs call(transport) outside any exchange (no transaction: Reset,
// presence, slot changes), holding the transport against the other threads
// of the connection, so that no two of them are inside it and none while it
// closes. 1 when call succeeds; 0 with the transport's reason, or fallback.
template <class F>
int OutsideExchange(const std::shared_ptr<CZUConnection>& connection, F&& call, int fallback) {
    if (!connection) {
        ZUSetLastError(ZU_E_NOT_OPEN, 0);
        return 0;
    }
    CDeadlineScope deadline;
    std::shared_ptr<CZUTransport> transport = connection->AcquireWithoutTransaction();
    if (!transport) {
        return 0;
    }
    CHoldRelease release(connection);
    ZUSetLastError(ZU_E_NONE, 0);
    if (!call(transport)) {
        ReasonUnlessSet(fallback);
        return 0;
    }
    ZUSetLastError(ZU_E_NONE, 0);
    return 1;
}

unsigned short StatusWordOf(const unsigned char* answer, size_t answerLen) {
    return static_cast<unsigned short>((answer[answerLen - 2] << 8) | answer[answerLen - 1]);
}

} // namespace

ZUTransportFactory FindRegisteredFactory(const char* name) {
    return FindFactory(name);
}

CZUTransport::~CZUTransport() = default;

bool CZUTransport::ChangeSlot(int) {
    return false;
}

std::shared_ptr<CZUTransport> CZUTransport::OpenSlot(int) {
    return nullptr;
}

bool CZUTransport::BeginTransaction(unsigned) {
    return true;
}

void ZUSetTransactionTimeout(unsigned timeoutMs) {
    g_transactionTimeout.store(timeoutMs);
}

unsigned ZUGetTransactionTimeout() {
    return g_transactionTimeout.load();
}

void ZUSetTraceHook(ZUTraceHook hook, void* context) {
    TraceState& trace = Trace();
    std::unique_lock<std::mutex> lock(trace.lock);
    trace.hook = hook;
    trace.context = context;
    ++trace.generation;
    trace.earlier += trace.current;
    trace.current = 0;
    g_traceSet.store(hook != nullptr, std::memory_order_release);
    // The calls that carry the old context end before it is handed back,
    // unless this thread is inside one of them.
    if (t_inHook == 0) {
        try {
            trace.idle.wait(lock, [&trace] { return trace.earlier == 0; });
        } catch (...) {
        }
    }
}

int ZURegisterReader(const char* prefix, ZUTransportFactory factory) {
    if (prefix == nullptr || *prefix == '\0') {
        ZUSetLastError(ZU_E_INPUT_NULL, 0);
        return 0;
    }
    return NoThrow([&] {
        std::lock_guard<std::mutex> guard(RegistryLock());
        std::vector<ReaderEntry>& entries = Registry();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->prefix == prefix) {
                entries.erase(it);
                break;
            }
        }
        if (factory != nullptr) {
            entries.push_back({prefix, factory});
        }
        ZUSetLastError(ZU_E_NONE, 0);
        return 1;
    });
}

std::vector<std::string> ZUListPCSCReaders() {
    try {
        return PCSCListReaders();
    } catch (...) {
        ReasonFromException();
        return {};
    }
}

int ZUOpenTransport(CZUReader& reader, std::shared_ptr<CZUTransport> transport) {
    reader.m_connection.reset();
    reader.m_sw = 0;
    if (!transport) {
        ZUSetLastError(ZU_E_NO_READER, 0);
        return 0;
    }
    return NoThrow([&] {
        reader.m_connection = std::make_shared<CZUConnection>(std::move(transport));
        ZUSetLastError(ZU_E_NONE, 0);
        return 1;
    });
}

CZUReader::CZUReader() : m_sw(0) {}

CZUReader::CZUReader(const CZUReader& other) : m_connection(other.m_connection), m_sw(other.m_sw) {}

const CZUReader& CZUReader::operator=(const CZUReader& other) {
    if (this == &other) {
        return *this;
    }
    CopyReaderParameter(&other);
    return *this;
}

CZUReader::~CZUReader() = default;

void CZUReader::CopyReaderParameter(const CZUReader* source) {
    if (source == nullptr) {
        m_connection.reset();
        m_sw = 0;
        return;
    }
    if (source != this) {
        m_connection = source->m_connection;
        m_sw = source->m_sw;
    }
}

int CZUReader::Open(char* readerName, int protocol) {
    m_connection.reset();
    m_sw = 0;
    return NoThrow([&] {
        CDeadlineScope deadline;
        ZUSetLastError(ZU_E_NONE, 0);
        std::shared_ptr<CZUTransport> transport;
        if (ZUTransportFactory factory = FindFactory(readerName)) {
            transport = factory(readerName, protocol);
        } else if (readerName != nullptr && std::strncmp(readerName, "sim", 3) == 0) {
            ZUSetLastError(ZU_E_NO_READER, 0); // a simulated reader that nobody registered
            return 0;
        } else {
            transport = PCSCConnect(readerName == nullptr ? "" : readerName, -1, protocol);
        }
        if (!transport) {
            ReasonUnlessSet(ZU_E_NO_READER);
            return 0;
        }
        return ZUOpenTransport(*this, std::move(transport));
    });
}

int CZUReader::Open(int readerIndex, int protocol) {
    m_connection.reset();
    m_sw = 0;
    return NoThrow([&] {
        CDeadlineScope deadline;
        std::shared_ptr<CZUTransport> transport = PCSCConnect(nullptr, readerIndex, protocol);
        if (!transport) {
            return 0; // PCSCConnect left the reason
        }
        return ZUOpenTransport(*this, std::move(transport));
    });
}

int CZUReader::Close() {
    if (!m_connection) {
        ZUSetLastError(ZU_E_NOT_OPEN, 0);
        return 0;
    }
    std::shared_ptr<CZUConnection> connection = std::move(m_connection);
    connection->Close();
    ZUSetLastError(ZU_E_NONE, 0);
    return 1;
}

void CZUReader::ChangeSlot(int slot) {
    NoThrow([&] {
        const std::shared_ptr<CZUConnection> connection = std::move(m_connection);
        return OutsideExchange(
            connection,
            [&](const std::shared_ptr<CZUTransport>& transport) {
                // A connection of this object's own: the copies stay where
                // they are.
                if (std::shared_ptr<CZUTransport> moved = transport->OpenSlot(slot)) {
                    m_connection = std::make_shared<CZUConnection>(std::move(moved));
                    return true;
                }
                // A transport that can only move itself is moved when nobody
                // else uses it (this object held the last reference besides
                // the local ones).
                if (connection.use_count() == 2 && transport.use_count() == 2 &&
                    transport->ChangeSlot(slot)) {
                    m_connection = connection;
                    return true;
                }
                return false;
            },
            ZU_E_NO_READER);
    });
}

int CZUReader::IsCardExist() {
    return NoThrow([&] {
        return OutsideExchange(
            m_connection,
            [](const std::shared_ptr<CZUTransport>& transport) {
                return transport->IsCardPresent();
            },
            ZU_E_NO_CARD);
    });
}

int CZUReader::Reset(unsigned char* atr, unsigned long* atrLen) {
    const size_t room = (atr != nullptr && atrLen != nullptr) ? *atrLen : 0;
    size_t got = 0;
    const int ok = NoThrow([&] {
        return OutsideExchange(
            m_connection,
            [&](const std::shared_ptr<CZUTransport>& transport) {
                return transport->Reset(atr, room, &got);
            },
            ZU_E_NO_CARD);
    });
    if (atrLen != nullptr) {
        // Never more than the caller's room, whatever length the transport
        // reports: the caller reads *atrLen bytes of atr.
        *atrLen = ok ? (got < room ? got : room) : 0;
    }
    return ok;
}

unsigned short CZUReader::GetSW() const {
    return m_sw;
}

int CZUReader::Exchange(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                        unsigned char* answer, size_t* answerLen) {
    *answerLen = 0;
    if (!TransmitTraced(transport, cmd, cmdLen, answer, answerLen)) {
        return 0;
    }
    // 6C XX: the card wants Le = XX. Send the command once more with that Le:
    // in P3 for a command without data, in place of the Le that a command
    // with data already carries (header, Lc, data, Le), appended behind the
    // data otherwise.
    if (answer[*answerLen - 2] == 0x6C && cmdLen >= 5) {
        unsigned char again[kLongestApdu];
        CScopeWipe wipeAgain(again, sizeof again); // may carry a PIN or key
        std::memcpy(again, cmd, cmdLen);
        size_t againLen = cmdLen;
        if (cmdLen == 5) {
            again[4] = answer[*answerLen - 1];
        } else if (cmd[4] != 0 && cmdLen == 5 + size_t{cmd[4]} + 1) {
            again[cmdLen - 1] = answer[*answerLen - 1];
        } else {
            again[cmdLen] = answer[*answerLen - 1];
            againLen = cmdLen + 1;
        }
        if (!TransmitTraced(transport, again, againLen, answer, answerLen)) {
            return 0;
        }
    }
    return 1;
}

// The exchange of one command under the card's hold: the command, a re-send
// after 6C XX, every GET RESPONSE. Returns the final status word, 0000 when
// the exchange failed; the reason is left.
unsigned short CZUReader::Transfer(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                                   unsigned char* resp, size_t room, size_t* copied) {
    unsigned char answer[ZU_MAX_ANSWER];
    CScopeWipe wipeAnswer(answer, sizeof answer); // may carry keys or challenges
    size_t answerLen = 0;
    if (!Exchange(transport, cmd, cmdLen, answer, &answerLen)) {
        return 0;
    }
    unsigned short sw = StatusWordOf(answer, answerLen);
    CollectData(answer, answerLen - 2, resp, room, copied);
    // 61 XX: more data waiting; fetch it with GET RESPONSE while it comes.
    for (int getResponses = 0; (sw >> 8) == 0x61; ++getResponses) {
        if (getResponses == MAX_GET_RESPONSE) {
            ZUSetLastError(ZU_E_BAD_ANSWER, 0);
            return sw;
        }
        unsigned char getResponse[5] = {CLA_ISO, INS_GET_RESPONSE, 0x00, 0x00,
                                        static_cast<unsigned char>(sw & 0xFF)};
        if (!Exchange(transport, getResponse, 5, answer, &answerLen)) {
            return 0;
        }
        sw = StatusWordOf(answer, answerLen);
        CollectData(answer, answerLen - 2, resp, room, copied);
    }
    ZUSetLastError(sw == SW_OK ? ZU_E_NONE : ZU_E_CARD_REFUSED, 0);
    return sw;
}

int CZUReader::SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                           unsigned long* respLen) {
    const size_t room = (resp != nullptr && respLen != nullptr) ? *respLen : 0;
    size_t copied = 0;
    unsigned short sw = 0;
    const int result = NoThrow([&] {
        // Commands run from a bare header with P3 up to header, Lc, 255 data
        // bytes and Le.
        if (cmd == nullptr || cmdLen < 5 || cmdLen >= kLongestApdu) {
            ZUSetLastError(cmd == nullptr ? ZU_E_INPUT_NULL
                           : cmdLen < 5   ? ZU_E_INPUT_RANGE
                                          : ZU_E_INPUT_TOO_LONG,
                           0);
            return 0;
        }
        // The card is held for the whole exchange; the local references keep
        // the connection and its transport alive even if a copy (or a trace
        // hook) closes or reopens the reader meanwhile.
        std::shared_ptr<CZUConnection> connection = m_connection;
        if (!connection) {
            ZUSetLastError(ZU_E_NOT_OPEN, 0);
            return 0;
        }
        CDeadlineScope deadline;
        std::shared_ptr<CZUTransport> transport;
        if (connection->Acquire(&transport) != CZUConnection::Hold::Held) {
            return 0;
        }
        CHoldRelease release(connection);
        sw = Transfer(*transport, cmd, cmdLen, resp, room, &copied);
        return ZUGetLastError() == ZU_E_NONE ? 1 : 0;
    });
    m_sw = sw;
    if (respLen != nullptr) {
        *respLen = copied;
    }
    return result;
}

CZUTransaction::CZUTransaction(CZUReader& reader) : m_failed(false) {
    NoThrow([&] {
        std::shared_ptr<CZUConnection> connection = reader.m_connection;
        if (!connection) {
            ZUSetLastError(ZU_E_NOT_OPEN, 0);
            return 0;
        }
        CDeadlineScope deadline;
        std::shared_ptr<CZUTransport> transport;
        switch (connection->Acquire(&transport)) {
        case CZUConnection::Hold::Held:
            m_connection = std::move(connection);
            ZUSetLastError(ZU_E_NONE, 0);
            return 1;
        case CZUConnection::Hold::Failed:
            m_failed = true;
            return 0;
        case CZUConnection::Hold::Closed:
            return 0;
        }
        return 0;
    });
}

CZUTransaction::~CZUTransaction() {
    if (m_connection && !m_connection->Release()) {
        m_connection->ReleaseForOwner(); // going away on another thread
    }
}

void CZUTransaction::End() {
    if (!m_connection) {
        return;
    }
    if (!m_connection->Release()) {
        ZUSetLastError(ZU_E_WRONG_THREAD, 0); // the hold stays until its thread ends it
        return;
    }
    m_connection.reset();
}
