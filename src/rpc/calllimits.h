#pragma once
// How long a call may take, and how much of the heavy work one batch may ask for.
//
// Every method is registered with its kind (Dispatcher::add); the call runner gives each
// call the deadline of its kind before the method runs, and the database work, the reply
// being streamed and the commit all read it from here:
//
//   const rpc::CallDeadline &d = rpc::currentDeadline();
//   if (d.passed()) ...               // too late to make the call's work permanent
//
// Outside a call there is no deadline (at is time_point::max()).

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace fiscal::rpc {

enum class CallKind {
    Read,        // a few rows, or one screen's grid
    HeavyRead,   // may read every row of the database (GetDados, the reports)
    Save,        // a user's edits of a few rows: waits only briefly for a row someone else holds
    Bulk,        // a set-based write or its preview over many rows
    SignIn,      // a password checked and the attempt recorded: one per batch
};

// Heavy calls: a batch may hold only a few of them.
constexpr bool isHeavy(CallKind k)
{
    return k == CallKind::HeavyRead || k == CallKind::Bulk;
}

struct CallLimits {
    std::chrono::milliseconds read{std::chrono::seconds(120)};
    std::chrono::milliseconds save{std::chrono::seconds(30)};
    std::chrono::milliseconds bulk{std::chrono::seconds(900)};
    // A save waits this long for a row (PostgreSQL) or the write lock (SQLite) another
    // operation holds, then gives up with a message that says so.
    std::chrono::milliseconds lockWait{std::chrono::seconds(5)};
    // Heavy calls in one batch; a batch with more is refused whole.
    std::size_t heavyPerBatch = 4;

    std::chrono::milliseconds of(CallKind k) const
    {
        switch (k) {
        case CallKind::Save: return save;
        case CallKind::Bulk: return bulk;
        case CallKind::Read:
        case CallKind::HeavyRead:
        case CallKind::SignIn: break;
        }
        return read;
    }
};

// Every answer of the server names its limits, so that a desktop waits for a call as long as
// the server may work on it, however the server was started:
//
//   X-Fiscal-Limits: read=120, save=30, bulk=900          (seconds)
inline constexpr const char *kLimitsHeader = "X-Fiscal-Limits";
std::string limitsHeaderValue(const CallLimits &limits);
// The limits a header names (read, save and bulk; the rest as CallLimits has them by
// default); none when the value is missing or not one.
std::optional<CallLimits> limitsFromHeader(std::string_view value);

struct CallDeadline {
    using Clock = std::chrono::steady_clock;
    Clock::time_point at = Clock::time_point::max();
    CallKind kind = CallKind::Read;
    std::chrono::milliseconds length{0};     // at - start; 0 outside a call
    std::chrono::milliseconds lockWait{0};   // 0: the database's own default

    bool set() const { return at != Clock::time_point::max(); }
    bool passed() const { return set() && Clock::now() >= at; }
};

// The deadline of the call running on this thread.
const CallDeadline &currentDeadline();

// Sets currentDeadline() for its lifetime (the call runner wraps every method in one).
class DeadlineScope {
public:
    explicit DeadlineScope(const CallDeadline &d);
    ~DeadlineScope();
    DeadlineScope(const DeadlineScope &) = delete;
    DeadlineScope &operator=(const DeadlineScope &) = delete;
private:
    CallDeadline m_previous;
};

} // namespace fiscal::rpc
