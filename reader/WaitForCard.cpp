// ZUWaitForCard and ZUCancelWait. An in-process reader is asked through a
// transport of the wait's own, every few milliseconds, on a condition
// variable that ZUCancelWait wakes; a PC/SC reader is watched in
// PCSCWait.cpp.
#include "WaitForCard.h"
#include "Registry.h"
#include "ZUICRD.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// How often an in-process reader is asked whether a card came.
const std::chrono::milliseconds POLL_INTERVAL(10);

std::mutex g_cancelLock;
std::condition_variable g_cancelled;
unsigned long g_cancelGeneration = 0;

int WaitInProcess(ZUTransportFactory factory, const char* name, unsigned timeoutMs,
                  unsigned long ticket) {
    std::shared_ptr<CZUTransport> transport = factory(name, ZU_PROTOCOL_ANY);
    if (!transport) {
        return ZU_E_NO_READER;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int reason = ZU_E_NONE;
    while (!transport->IsCardPresent()) {
        std::unique_lock<std::mutex> lock(g_cancelLock);
        const auto now = std::chrono::steady_clock::now();
        if (g_cancelGeneration != ticket) {
            reason = ZU_E_CANCELLED;
            break;
        }
        if (now >= deadline) {
            reason = ZU_E_WAIT_TIMEOUT;
            break;
        }
        const auto until = now + POLL_INTERVAL < deadline ? now + POLL_INTERVAL : deadline;
        g_cancelled.wait_until(lock, until, [ticket] { return g_cancelGeneration != ticket; });
    }
    transport->Close();
    return reason;
}

} // namespace

unsigned long WaitTicket() {
    std::lock_guard<std::mutex> lock(g_cancelLock);
    return g_cancelGeneration;
}

bool WaitCancelled(unsigned long ticket) {
    std::lock_guard<std::mutex> lock(g_cancelLock);
    return g_cancelGeneration != ticket;
}

int ZUWaitForCard(const char* readerName, unsigned timeoutMs) {
    int reason = ZU_E_NONE;
    long pcscCode = 0;
    try {
        const unsigned long ticket = WaitTicket();
        if (ZUTransportFactory factory = FindRegisteredFactory(readerName)) {
            reason = WaitInProcess(factory, readerName, timeoutMs, ticket);
        } else if (readerName != nullptr && std::strncmp(readerName, "sim", 3) == 0) {
            reason = ZU_E_NO_READER; // a simulated reader that nobody registered, as for Open
        } else {
            reason = PCSCWaitForCard(readerName == nullptr ? "" : readerName, timeoutMs, ticket,
                                     &pcscCode);
        }
    } catch (const std::bad_alloc&) {
        reason = ZU_E_NO_MEMORY;
    } catch (...) {
        reason = ZU_E_HOST_EXCEPTION; // a registered reader's factory or transport threw
    }
    ZUSetLastError(reason, pcscCode);
    return reason == ZU_E_NONE ? 1 : 0;
}

void ZUCancelWait(void) {
    try {
        {
            std::lock_guard<std::mutex> lock(g_cancelLock);
            ++g_cancelGeneration;
        }
        g_cancelled.notify_all();
        PCSCCancelWaits();
    } catch (...) {
        // A lock that failed: nothing to cancel through it.
    }
}
