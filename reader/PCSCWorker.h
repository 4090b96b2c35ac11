// The thread that runs a PC/SC connection's calls that can wait on other
// programs: SCardBeginTransaction, SCardConnect and SCardReconnect wait for
// as long as another program holds the card (for ever if it was stopped),
// and any call waits while one of those occupies the context. The caller
// gives up at its deadline; the call it abandoned runs to its end on this
// thread, which then tidies up what it brought (ends a transaction begun too
// late, lets go of a handle connected too late).
#ifndef ZU_PCSCWORKER_H
#define ZU_PCSCWORKER_H

#include "reader/Deadline.h"

#include <PCSC/winscard.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class CPCSCWorker : public std::enable_shared_from_this<CPCSCWorker> {
  public:
    using Call = std::function<LONG()>;
    using Tidy = std::function<void(LONG)>;

    // A worker with its thread running; null when no thread could be
    // started (the reason is left).
    static std::shared_ptr<CPCSCWorker> Start();

    // Runs call on the worker's thread and returns its result, or
    // SCARD_E_TIMEOUT when it has not returned by the deadline (or an
    // abandoned call still runs then): tidy(result) runs when it does.
    LONG Run(Call call, Tidy tidy, ZUClock::time_point deadline);
    // Whether no abandoned call occupies the context, waiting until the
    // deadline for it to end.
    bool WaitIdle(ZUClock::time_point deadline);
    // Runs `task` now on the caller's thread when no call is under way,
    // otherwise on the worker's thread once the call has returned: for what
    // must happen whatever the wait (ending a transaction).
    void WhenIdle(std::function<void()> task);
    // Ends the thread. `last` (letting go of the handle and the context)
    // runs now on the caller's thread when no call is under way, otherwise on
    // the worker's thread once the call has returned.
    void Stop(std::function<void()> last);

  private:
    void Loop();

    std::mutex m_lock;
    std::condition_variable m_wake;
    Call m_call;
    Tidy m_tidy;
    std::function<void()> m_last;
    std::vector<std::function<void()>> m_afterCall;
    LONG m_result = SCARD_S_SUCCESS;
    unsigned long m_ticket = 0;   // the call handed over last
    unsigned long m_finished = 0; // the call that returned last
    bool m_busy = false;          // a call was handed over and has not returned
    bool m_abandoned = false;     // its caller gave up on it
    bool m_stop = false;
};

#endif
