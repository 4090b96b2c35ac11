// The connection that every copy of a reader object shares: one transport,
// who holds the card through it, and whether it is still open.
//
// A hold belongs to one thread and nests: the first Acquire of a thread
// begins the transport's transaction, later ones of the same thread only
// count, and the last Release ends it. Another thread waits until the
// holder lets go, at most until the call's deadline. The transport stays
// alive while anyone holds it, so a Close from another copy (or from a trace
// hook inside the exchange) never frees it under a running exchange. No
// member throws; a failure leaves the calling thread's reason.
#ifndef ZU_CZUCONNECTION_H
#define ZU_CZUCONNECTION_H

#include "ZUICRD.h"

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

    // Holds the card for the calling thread, with the transport's
    // transaction. Held: *transport is the transport to use until the
    // matching Release.
    Hold Acquire(std::shared_ptr<CZUTransport>* transport) noexcept;
    // Ends the calling thread's innermost hold; false when this thread holds
    // nothing here.
    bool Release() noexcept;
    // Ends one hold of whichever thread owns it: for a host's hold object
    // that goes away on another thread than its own.
    void ReleaseForOwner() noexcept;

    // The transport for a call outside any exchange (Reset, presence, slot
    // changes), waiting for other threads' holds like Acquire but without a
    // transaction; null when closed, closing or still busy at the deadline.
    // Pair with Release.
    std::shared_ptr<CZUTransport> AcquireWithoutTransaction() noexcept;

    // Refuses new holds, this thread's nested ones included. The transport is
    // closed now if nobody holds it; else once the holders of other threads
    // let go, waiting for them until the timeout and leaving the close to the
    // last of them after it; or, when the caller's own thread holds it, at
    // that hold's end.
    void Close() noexcept;

  private:
    // Waits (lock held) until no other thread holds the card; the reason is
    // left when it cannot be had.
    bool WaitForOthers(std::unique_lock<std::mutex>& lock);
    // Ends the hold (m_depth already 0 or to be cleared) and closes a
    // transport whose connection is closing.
    void LetGo(std::unique_lock<std::mutex>& lock) noexcept;
    // The outermost hold's end: the transaction ended while still counted,
    // so that a Close waiting for it cannot close the transport under
    // EndTransaction.
    void EndOutermost(std::unique_lock<std::mutex>& lock) noexcept;
    bool HeldHere() const { return m_depth != 0 && m_owner == std::this_thread::get_id(); }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::shared_ptr<CZUTransport> m_transport;
    std::thread::id m_owner;
    int m_depth = 0;
    bool m_transaction = false; // the outermost hold began a transaction
    bool m_closing = false;
};

#endif
