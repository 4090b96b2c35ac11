#include "reader/PCSCWorker.h"

#include <thread>

std::shared_ptr<CPCSCWorker> CPCSCWorker::Start() {
    try {
        auto worker = std::make_shared<CPCSCWorker>();
        std::thread([worker] { worker->Loop(); }).detach();
        return worker;
    } catch (...) {
        ZUSetLastError(ZU_E_NO_MEMORY, 0); // no memory, or no thread
        return nullptr;
    }
}

LONG CPCSCWorker::Run(Call call, Tidy tidy, ZUClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_lock);
    // An abandoned call may still be under way: its end is waited for too.
    if (!m_wake.wait_until(lock, deadline, [this] { return !m_busy || m_stop; }) || m_stop) {
        return SCARD_E_TIMEOUT;
    }
    m_call = std::move(call);
    m_tidy = std::move(tidy);
    m_busy = true;
    m_abandoned = false;
    const unsigned long ticket = ++m_ticket;
    m_wake.notify_all();
    if (!m_wake.wait_until(lock, deadline, [this, ticket] { return m_finished == ticket; })) {
        m_abandoned = true;
        return SCARD_E_TIMEOUT;
    }
    return m_result;
}

bool CPCSCWorker::WaitIdle(ZUClock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_wake.wait_until(lock, deadline, [this] { return !m_busy; });
}

void CPCSCWorker::WhenIdle(std::function<void()> task) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_busy) {
        m_afterCall.push_back(std::move(task));
        return;
    }
    lock.unlock();
    task();
}

void CPCSCWorker::Stop(std::function<void()> last) {
    std::unique_lock<std::mutex> lock(m_lock);
    m_stop = true;
    if (m_busy) {
        m_abandoned = true;
        m_last = std::move(last);
        m_wake.notify_all();
        return;
    }
    m_wake.notify_all();
    lock.unlock();
    if (last) {
        last();
    }
}

void CPCSCWorker::Loop() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || (m_busy && m_call); });
        if (m_busy && m_call) {
            Call call = std::move(m_call);
            m_call = nullptr;
            lock.unlock();
            LONG rv = SCARD_E_NO_MEMORY;
            try {
                rv = call();
            } catch (...) {
            }
            lock.lock();
            if (m_abandoned && m_tidy) {
                Tidy tidy = std::move(m_tidy);
                lock.unlock();
                tidy(rv);
                lock.lock();
            }
            m_tidy = nullptr;
            std::vector<std::function<void()>> after;
            after.swap(m_afterCall);
            if (!after.empty()) {
                lock.unlock();
                for (std::function<void()>& task : after) {
                    task();
                }
                lock.lock();
            }
            m_result = rv;
            m_finished = m_ticket;
            m_busy = false;
            m_wake.notify_all();
            continue;
        }
        std::function<void()> last = std::move(m_last);
        lock.unlock();
        if (last) {
            last();
        }
        return;
    }
}
