#include "rpc/calllimits.h"

namespace fiscal::rpc {

namespace {
thread_local CallDeadline t_deadline;
}

const CallDeadline &currentDeadline()
{
    return t_deadline;
}

DeadlineScope::DeadlineScope(const CallDeadline &d) : m_previous(t_deadline)
{
    t_deadline = d;
}

DeadlineScope::~DeadlineScope()
{
    t_deadline = m_previous;
}

} // namespace fiscal::rpc
