// Waiting for a card in a PC/SC reader: SCardGetStatusChange on a context of
// the wait's own, in slices, so that ZUCancelWait reaches it both through
// SCardCancel on that context and, should the cancel come just before the
// call, at the end of the slice.
#include "WaitForCard.h"
#include "reader/PCSCCodes.h"
#include "ZUICRD.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

const DWORD SLICE_MS = 250;

std::mutex g_waitsLock;
std::vector<SCARDCONTEXT> g_waits; // the contexts of the waits under way

// A context that ZUCancelWait can cancel while it lives.
class CWaitContext {
  public:
    CWaitContext() {
        m_result = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &m_context);
        if (m_result == SCARD_S_SUCCESS) {
            std::lock_guard<std::mutex> lock(g_waitsLock);
            g_waits.push_back(m_context);
        }
    }
    ~CWaitContext() {
        if (m_result != SCARD_S_SUCCESS) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(g_waitsLock);
            g_waits.erase(std::find(g_waits.begin(), g_waits.end(), m_context));
        }
        SCardReleaseContext(m_context);
    }
    CWaitContext(const CWaitContext&) = delete;
    CWaitContext& operator=(const CWaitContext&) = delete;

    LONG Result() const { return m_result; }
    SCARDCONTEXT Handle() const { return m_context; }

  private:
    SCARDCONTEXT m_context = 0;
    LONG m_result;
};

// The reason for a PC/SC failure while waiting: a reader that the service
// no longer knows was unplugged while the wait went on.
int ReasonFor(LONG rv) {
    return rv == SCARD_E_UNKNOWN_READER ? ZU_E_READER_GONE : ReasonOfPCSC(rv);
}

// The first reader whose name contains name; "" when none does.
LONG FindReader(SCARDCONTEXT context, const char* name, std::string* reader) {
    DWORD size = 0;
    LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
    std::vector<char> multi(size + 1, '\0');
    if (rv == SCARD_S_SUCCESS) {
        rv = SCardListReaders(context, nullptr, multi.data(), &size);
    }
    if (rv != SCARD_S_SUCCESS) {
        return rv;
    }
    multi.resize(size);
    for (const std::string& candidate : SplitMultiString(multi)) {
        if (candidate.find(name) != std::string::npos) {
            *reader = candidate;
            break;
        }
    }
    return rv;
}

// Watches the reader until a card answers in it, the time runs out, or the
// wait is cancelled; *rv is the PC/SC result that decided.
int Watch(SCARDCONTEXT context, const std::string& reader, unsigned timeoutMs, unsigned long ticket,
          LONG* rv) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    DWORD slice = 0; // the first call reports the state as it is
    for (;;) {
        if (WaitCancelled(ticket)) {
            return ZU_E_CANCELLED;
        }
        *rv = SCardGetStatusChange(context, slice, &state, 1);
        if (*rv == SCARD_S_SUCCESS) {
            const DWORD event = state.dwEventState;
            if ((event & (SCARD_STATE_UNKNOWN | SCARD_STATE_IGNORE)) != 0) {
                return ZU_E_READER_GONE;
            }
            if ((event & SCARD_STATE_PRESENT) != 0 && (event & SCARD_STATE_MUTE) == 0) {
                return ZU_E_NONE;
            }
            state.dwCurrentState = event & ~SCARD_STATE_CHANGED;
        } else if (*rv != SCARD_E_TIMEOUT) {
            return ReasonFor(*rv);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return ZU_E_WAIT_TIMEOUT;
        }
        slice = static_cast<DWORD>(std::min<long long>(left, SLICE_MS));
    }
}

} // namespace

int PCSCWaitForCard(const char* name, unsigned timeoutMs, unsigned long ticket, long* pcscCode) {
    CWaitContext context;
    LONG rv = context.Result();
    int reason = ZU_E_NO_SERVICE; // no context: no service to ask
    if (rv == SCARD_S_SUCCESS) {
        std::string reader;
        rv = FindReader(context.Handle(), name, &reader);
        if (rv == SCARD_E_NO_READERS_AVAILABLE || (rv == SCARD_S_SUCCESS && reader.empty())) {
            reason = ZU_E_NO_READER;
        } else if (rv != SCARD_S_SUCCESS) {
            reason = ReasonFor(rv);
        } else {
            reason = Watch(context.Handle(), reader, timeoutMs, ticket, &rv);
        }
    }
    // The wait's own verdicts carry no PC/SC code, whichever call ended it.
    const bool own = reason == ZU_E_NONE || reason == ZU_E_WAIT_TIMEOUT || reason == ZU_E_CANCELLED;
    *pcscCode = own ? 0 : rv;
    return reason;
}

void PCSCCancelWaits() {
    std::lock_guard<std::mutex> lock(g_waitsLock);
    for (SCARDCONTEXT context : g_waits) {
        SCardCancel(context);
    }
}
