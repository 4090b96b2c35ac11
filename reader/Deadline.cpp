#include "reader/Deadline.h"

namespace {
thread_local bool t_set = false;
thread_local ZUClock::time_point t_deadline;
} // namespace

CDeadlineScope::CDeadlineScope() : m_outer(!t_set) {
    if (m_outer) {
        t_deadline = ZUClock::now() + std::chrono::milliseconds(ZUGetTransactionTimeout());
        t_set = true;
    }
}

CDeadlineScope::~CDeadlineScope() {
    if (m_outer) {
        t_set = false;
    }
}

ZUClock::time_point CallDeadline() {
    return t_set ? t_deadline
                 : ZUClock::now() + std::chrono::milliseconds(ZUGetTransactionTimeout());
}

unsigned RemainingMs(ZUClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ZUClock::now()).count();
    return left > 0 ? static_cast<unsigned>(left) : 0;
}
