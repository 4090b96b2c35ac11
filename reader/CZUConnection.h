// The connection that every copy of a reader object shares: one transport,
// who holds the card through it, and whether it is still open.
//
// A hold belongs to one thread and nests: the first Acquire of a thread
// begins the transport's transaction, later ones of the same thread only
// count, and the last Release ends it. Another thread waits (bounded) until
// the holder lets go. The transport stays alive while anyone holds it, so a
// Close from another copy (or from a trace hook inside the exchange) never
// frees it under a running exchange.
#ifndef ZU_CZUCONNECTION_H
#define ZU_CZUCONNECTION_H

#include "ZUICRD.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class CZUConnection {
  public:
    explicit CZUConnection(std::shared_ptr<CZUTransport> transport)
        : m_transport(std::move(transport)) {}
    ~CZUConnection() { Close(); }
    CZUConnection(const CZUConnection&) = delete;
    CZUConnection& operator=(const CZUConnection&) = delete;

    enum class Hold { Held, Failed, Closed };

    // Holds the card for the calling thread. Held: *transport is the
    // transport to use until the matching Release.
    Hold Acquire(std::shared_ptr<CZUTransport>* transport) {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_depth != 0 && m_owner == self) {
            ++m_depth;
            *transport = m_transport;
            return Hold::Held;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(ZUGetTransactionTimeout());
        if (!m_wake.wait_until(lock, deadline, [this] { return m_depth == 0 || !m_transport; })) {
            return Hold::Failed;
        }
        if (!m_transport || m_closing) {
            return Hold::Closed;
        }
        m_owner = self;
        m_depth = 1;
        std::shared_ptr<CZUTransport> held = m_transport;
        lock.unlock();
        // The transport's own wait (other programs) runs without our lock:
        // other threads of this process queue on m_depth meanwhile.
        if (!held->BeginTransaction(ZUGetTransactionTimeout())) {
            lock.lock();
            LetGo(lock);
            return Hold::Failed;
        }
        *transport = std::move(held);
        return Hold::Held;
    }

    void Release() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_depth == 0 || m_owner != std::this_thread::get_id()) {
            return;
        }
        if (m_depth > 1) {
            --m_depth;
            return;
        }
        // The outermost hold ends its transaction while still counted: a
        // Close waiting for the exchange must not close the transport under
        // EndTransaction. LetGo clears the count afterwards.
        std::shared_ptr<CZUTransport> held = m_transport;
        lock.unlock();
        if (held) {
            held->EndTransaction();
        }
        lock.lock();
        LetGo(lock);
    }

    // The transport for a call outside any exchange (Reset, presence),
    // waiting for other threads' holds like Acquire; null when closed or
    // still busy at the timeout. Pair with Release.
    std::shared_ptr<CZUTransport> AcquireWithoutTransaction() {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(m_lock);
        if (!(m_depth != 0 && m_owner == self)) {
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(ZUGetTransactionTimeout());
            if (!m_wake.wait_until(lock, deadline,
                                   [this] { return m_depth == 0 || !m_transport; }) ||
                !m_transport || m_closing) {
                return nullptr;
            }
            m_owner = self;
        }
        ++m_depth;
        return m_transport;
    }
    void ReleaseWithoutTransaction() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_depth == 0 || m_owner != std::this_thread::get_id()) {
            return;
        }
        if (--m_depth == 0) {
            LetGo(lock);
        }
    }

    // The transport, unless closed or closing.
    std::shared_ptr<CZUTransport> Transport() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_closing ? nullptr : m_transport;
    }

    // Refuses new holds; the transport is closed now if nobody holds it,
    // after the holders of other threads let go, or, when the caller's own
    // thread holds it, at that hold's end.
    void Close() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_closing = true;
        if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
            return; // LetGo closes it
        }
        m_wake.wait(lock, [this] { return m_depth == 0; });
        std::shared_ptr<CZUTransport> transport = std::move(m_transport);
        lock.unlock();
        if (transport) {
            transport->Close();
        }
        m_wake.notify_all();
    }

  private:
    // Ends the calling thread's hold (m_depth already 0 or to be cleared).
    void LetGo(std::unique_lock<std::mutex>& lock) {
        m_depth = 0;
        m_owner = std::thread::id();
        std::shared_ptr<CZUTransport> closing;
        if (m_closing) {
            closing = std::move(m_transport);
        }
        lock.unlock();
        if (closing) {
            closing->Close();
        }
        m_wake.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::shared_ptr<CZUTransport> m_transport;
    std::thread::id m_owner;
    int m_depth = 0;
    bool m_closing = false;
};

#endif
