// The one deadline of a reader call: every wait that the call makes (for
// another thread's hold, for another program's transaction, for a PC/SC
// call that pcscd holds back) ends at the same moment, the transaction
// timeout after the call began.
#ifndef ZU_DEADLINE_H
#define ZU_DEADLINE_H

#include "ZUICRD.h"

#include <chrono>

using ZUClock = std::chrono::steady_clock;

// Sets the calling thread's deadline for the life of this object; an inner
// scope keeps the outer one's.
class CDeadlineScope {
  public:
    CDeadlineScope();
    ~CDeadlineScope();
    CDeadlineScope(const CDeadlineScope&) = delete;
    CDeadlineScope& operator=(const CDeadlineScope&) = delete;

  private:
    bool m_outer;
};

// The calling thread's deadline, or the timeout from now outside any scope.
ZUClock::time_point CallDeadline();

// Milliseconds left until the deadline, 0 when it has passed.
unsigned RemainingMs(ZUClock::time_point deadline);

#endif
