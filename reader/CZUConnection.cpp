#include "reader/CZUConnection.h"
#include "reader/Deadline.h"

namespace {

// Closes a transport, whatever a host's transport does on the way.
void CloseQuietly(const std::shared_ptr<CZUTransport>& transport) noexcept {
    try {
        transport->Close();
    } catch (...) {
    }
}

} // namespace

bool CZUConnection::WaitForOthers(std::unique_lock<std::mutex>& lock) {
    if (!m_wake.wait_until(lock, CallDeadline(),
                           [this] { return m_depth == 0 || !m_transport || m_closing; })) {
        ZUSetLastError(ZU_E_TIMEOUT, 0);
        return false;
    }
    if (!m_transport || m_closing) {
        ZUSetLastError(ZU_E_NOT_OPEN, 0);
        return false;
    }
    return true;
}

CZUConnection::Hold CZUConnection::Acquire(std::shared_ptr<CZUTransport>* transport) noexcept {
    std::unique_lock<std::mutex> lock(m_lock);
    if (HeldHere()) {
        if (m_closing) { // closed by this thread inside its own hold
            ZUSetLastError(ZU_E_NOT_OPEN, 0);
            return Hold::Closed;
        }
        ++m_depth;
        *transport = m_transport;
        return Hold::Held;
    }
    try {
        if (!WaitForOthers(lock)) {
            return ZUGetLastError() == ZU_E_TIMEOUT ? Hold::Failed : Hold::Closed;
        }
    } catch (...) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0);
        return Hold::Failed;
    }
    m_owner = std::this_thread::get_id();
    m_depth = 1;
    m_transaction = true;
    std::shared_ptr<CZUTransport> held = m_transport;
    lock.unlock();
    // The transport's own wait (other programs) runs without our lock: other
    // threads of this process queue on m_depth meanwhile.
    bool begun = false;
    ZUSetLastError(ZU_E_NONE, 0);
    try {
        begun = held->BeginTransaction(RemainingMs(CallDeadline()));
    } catch (const std::bad_alloc&) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0);
    } catch (const std::system_error&) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0); // no thread
    } catch (...) {
        ZUSetLastError(ZU_E_HOST_EXCEPTION, 0);
    }
    if (!begun) {
        if (ZUGetLastError() == ZU_E_NONE) {
            ZUSetLastError(ZU_E_TRANSPORT, 0);
        }
        lock.lock();
        m_transaction = false;
        LetGo(lock);
        return Hold::Failed;
    }
    *transport = std::move(held);
    return Hold::Held;
}

std::shared_ptr<CZUTransport> CZUConnection::AcquireWithoutTransaction() noexcept {
    std::unique_lock<std::mutex> lock(m_lock);
    if (HeldHere()) {
        if (m_closing) {
            ZUSetLastError(ZU_E_NOT_OPEN, 0);
            return nullptr;
        }
        ++m_depth;
        return m_transport;
    }
    try {
        if (!WaitForOthers(lock)) {
            return nullptr;
        }
    } catch (...) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0);
        return nullptr;
    }
    m_owner = std::this_thread::get_id();
    m_depth = 1;
    m_transaction = false;
    return m_transport;
}

bool CZUConnection::Release() noexcept {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!HeldHere()) {
        return false;
    }
    if (--m_depth == 0) {
        ++m_depth;
        EndOutermost(lock);
    }
    return true;
}

void CZUConnection::ReleaseForOwner() noexcept {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_depth == 0) {
        return;
    }
    if (--m_depth == 0) {
        ++m_depth;
        EndOutermost(lock);
    }
}

void CZUConnection::EndOutermost(std::unique_lock<std::mutex>& lock) noexcept {
    std::shared_ptr<CZUTransport> held = m_transaction ? m_transport : nullptr;
    lock.unlock();
    if (held) {
        // Ending keeps the reason of the step that failed before it.
        const int reason = ZUGetLastError();
        const long code = ZUGetLastPCSCError();
        try {
            held->EndTransaction();
        } catch (...) {
        }
        ZUSetLastError(reason, code);
    }
    lock.lock();
    m_transaction = false;
    LetGo(lock);
}

void CZUConnection::LetGo(std::unique_lock<std::mutex>& lock) noexcept {
    m_depth = 0;
    m_owner = std::thread::id();
    std::shared_ptr<CZUTransport> closing;
    if (m_closing) {
        closing = std::move(m_transport);
    }
    lock.unlock();
    if (closing) {
        CloseQuietly(closing);
    }
    m_wake.notify_all();
}

void CZUConnection::Close() noexcept {
    std::unique_lock<std::mutex> lock(m_lock);
    m_closing = true;
    m_wake.notify_all(); // waiters for a hold give up now
    if (HeldHere()) {
        return; // LetGo closes it
    }
    const auto deadline = ZUClock::now() + std::chrono::milliseconds(ZUGetTransactionTimeout());
    bool idle = false;
    try {
        idle = m_wake.wait_until(lock, deadline, [this] { return m_depth == 0; });
    } catch (...) {
    }
    if (!idle) {
        return; // the last holder's LetGo closes it
    }
    std::shared_ptr<CZUTransport> transport = std::move(m_transport);
    lock.unlock();
    if (transport) {
        CloseQuietly(transport);
    }
    m_wake.notify_all();
}
