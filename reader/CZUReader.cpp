// CZUReader: one connection to one card, and the command exchange that every
// card operation goes through.
#include "CZUConnection.h"
#include "PCSCTransport.h"
#include "ZUICRD.h"
#include "softenc/SecureWipe.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

const unsigned short SW_SUCCESS = 0x9000;
// A card that keeps answering 61 XX is cut off after this many GET RESPONSE
// commands (64 KiB of data), rather than looping for ever.
const int MAX_GET_RESPONSE = 256;
// Longest short command APDU: header, Lc, 255 data bytes and Le.
const size_t MAX_COMMAND = 261;

struct ReaderEntry {
    std::string prefix;
    ZUTransportFactory factory;
};

// The trace hook and its context change together, under one lock.
struct TraceHook {
    ZUTraceHook hook = nullptr;
    void* context = nullptr;
};
std::mutex g_traceLock;
TraceHook g_trace;
std::atomic<bool> g_traceSet{false};

std::atomic<unsigned> g_transactionTimeout{10000};

// One raw exchange with the transport, reported to the trace hook. On
// failure, and for an answer the reader cannot use, *answerLen is 0.
bool TransmitTraced(CZUTransport& transport, const unsigned char* cmd, size_t cmdLen,
                    unsigned char* answer, size_t* answerLen) {
    *answerLen = 0;
    bool ok = transport.Transmit(cmd, cmdLen, answer, answerLen) && *answerLen >= 2 &&
              *answerLen <= ZU_MAX_ANSWER;
    if (!ok) {
        *answerLen = 0;
    }
    if (g_traceSet.load(std::memory_order_acquire)) {
        TraceHook trace;
        {
            std::lock_guard<std::mutex> guard(g_traceLock);
            trace = g_trace;
        }
        if (trace.hook != nullptr) {
            trace.hook(cmd, cmdLen, answer, *answerLen, trace.context);
        }
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

} // namespace

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
    std::lock_guard<std::mutex> guard(g_traceLock);
    g_trace.hook = hook;
    g_trace.context = context;
    g_traceSet.store(hook != nullptr, std::memory_order_release);
}

int ZURegisterReader(const char* prefix, ZUTransportFactory factory) {
    if (prefix == nullptr || *prefix == '\0') {
        return 0;
    }
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
    return 1;
}

std::vector<std::string> ZUListPCSCReaders() {
    return PCSCListReaders();
}

int ZUOpenTransport(CZUReader& reader, std::shared_ptr<CZUTransport> transport) {
    reader.m_connection.reset();
    reader.m_sw = 0;
    if (!transport) {
        return 0;
    }
    reader.m_connection = std::make_shared<CZUConnection>(std::move(transport));
    return 1;
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
    std::shared_ptr<CZUTransport> transport;
    if (ZUTransportFactory factory = FindFactory(readerName)) {
        transport = factory(readerName, protocol);
    } else if (readerName != nullptr && std::strncmp(readerName, "sim", 3) == 0) {
        return 0; // a simulated reader that nobody registered
    } else {
        transport = PCSCConnect(readerName == nullptr ? "" : readerName, -1, protocol);
    }
    return ZUOpenTransport(*this, std::move(transport));
}

int CZUReader::Open(int readerIndex, int protocol) {
    m_connection.reset();
    m_sw = 0;
    return ZUOpenTransport(*this, PCSCConnect(nullptr, readerIndex, protocol));
}

int CZUReader::Close() {
    if (!m_connection) {
        return 0;
    }
    std::shared_ptr<CZUConnection> connection = std::move(m_connection);
    connection->Close();
    return 1;
}

void CZUReader::ChangeSlot(int slot) {
    std::shared_ptr<CZUConnection> connection = std::move(m_connection);
    std::shared_ptr<CZUTransport> transport = connection ? connection->Transport() : nullptr;
    if (!transport) {
        return;
    }
    // A connection of this object's own: the copies stay where they are.
    std::shared_ptr<CZUTransport> moved = transport->OpenSlot(slot);
    if (moved) {
        m_connection = std::make_shared<CZUConnection>(std::move(moved));
        return;
    }
    // A transport that can only move itself is moved when nobody else uses it
    // (this object held the last reference besides the local ones).
    if (connection.use_count() == 1 && transport.use_count() == 2 && transport->ChangeSlot(slot)) {
        m_connection = std::move(connection);
    }
}

int CZUReader::IsCardExist() {
    std::shared_ptr<CZUConnection> connection = m_connection;
    std::shared_ptr<CZUTransport> transport =
        connection ? connection->AcquireWithoutTransaction() : nullptr;
    if (!transport) {
        return 0;
    }
    bool present = transport->IsCardPresent();
    connection->ReleaseWithoutTransaction();
    return present ? 1 : 0;
}

int CZUReader::Reset(unsigned char* atr, unsigned long* atrLen) {
    size_t room = (atr != nullptr && atrLen != nullptr) ? *atrLen : 0;
    size_t got = 0;
    std::shared_ptr<CZUConnection> connection = m_connection;
    std::shared_ptr<CZUTransport> transport =
        connection ? connection->AcquireWithoutTransaction() : nullptr;
    bool ok = false;
    if (transport) {
        ok = transport->Reset(atr, room, &got);
        connection->ReleaseWithoutTransaction();
    }
    if (atrLen != nullptr) {
        // Never more than the caller's room, whatever length the transport
        // reports: the caller reads *atrLen bytes of atr.
        *atrLen = ok ? (got < room ? got : room) : 0;
    }
    return ok ? 1 : 0;
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
        unsigned char again[MAX_COMMAND];
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

int CZUReader::SendCommand(unsigned char* cmd, unsigned long cmdLen, unsigned char* resp,
                           unsigned long* respLen) {
    const size_t room = (resp != nullptr && respLen != nullptr) ? *respLen : 0;
    size_t copied = 0;
    unsigned short sw = 0;
    int result = 0;
    unsigned char answer[ZU_MAX_ANSWER];
    CScopeWipe wipeAnswer(answer, sizeof answer); // may carry keys or challenges
    size_t answerLen = 0;

    // The card is held for the whole exchange; the local references keep the
    // connection and its transport alive even if a copy (or a trace hook)
    // closes or reopens the reader meanwhile.
    std::shared_ptr<CZUConnection> connection = m_connection;
    std::shared_ptr<CZUTransport> transport;
    // Commands run from a bare header with P3 up to header, Lc, 255 data bytes.
    if (cmd != nullptr && cmdLen >= 5 && cmdLen < MAX_COMMAND && connection &&
        connection->Acquire(&transport) == CZUConnection::Hold::Held) {
        if (Exchange(*transport, cmd, cmdLen, answer, &answerLen)) {
            sw = static_cast<unsigned short>((answer[answerLen - 2] << 8) | answer[answerLen - 1]);
            CollectData(answer, answerLen - 2, resp, room, &copied);
            // 61 XX: more data waiting; fetch it with GET RESPONSE while it comes.
            int getResponses = 0;
            while ((sw >> 8) == 0x61 && sw != 0) {
                if (++getResponses > MAX_GET_RESPONSE) {
                    break;
                }
                unsigned char getResponse[5] = {0x00, 0xC0, 0x00, 0x00,
                                                static_cast<unsigned char>(sw & 0xFF)};
                if (!Exchange(*transport, getResponse, 5, answer, &answerLen)) {
                    sw = 0;
                    break;
                }
                sw = static_cast<unsigned short>((answer[answerLen - 2] << 8) |
                                                 answer[answerLen - 1]);
                CollectData(answer, answerLen - 2, resp, room, &copied);
            }
            result = (sw == SW_SUCCESS) ? 1 : 0;
        }
        connection->Release();
    }
    m_sw = sw;
    if (respLen != nullptr) {
        *respLen = copied;
    }
    return result;
}

CZUTransaction::CZUTransaction(CZUReader& reader) : m_failed(false) {
    std::shared_ptr<CZUConnection> connection = reader.m_connection;
    if (!connection) {
        return;
    }
    std::shared_ptr<CZUTransport> transport;
    switch (connection->Acquire(&transport)) {
    case CZUConnection::Hold::Held:
        m_connection = std::move(connection);
        break;
    case CZUConnection::Hold::Failed:
        m_failed = true;
        break;
    case CZUConnection::Hold::Closed:
        break;
    }
}

CZUTransaction::~CZUTransaction() {
    End();
}

void CZUTransaction::End() {
    if (m_connection) {
        m_connection->Release();
        m_connection.reset();
    }
}
