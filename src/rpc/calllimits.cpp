#include "rpc/calllimits.h"

#include <charconv>

namespace fiscal::rpc {

namespace {
thread_local CallDeadline t_deadline;

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}
} // namespace

std::string limitsHeaderValue(const CallLimits &limits)
{
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    const auto s = [](std::chrono::milliseconds ms) { return std::to_string(duration_cast<seconds>(ms).count()); };
    return "read=" + s(limits.read) + ", save=" + s(limits.save) + ", bulk=" + s(limits.bulk);
}

std::optional<CallLimits> limitsFromHeader(std::string_view value)
{
    // A week at most: a value past that is not a limit any desktop should wait out.
    constexpr long long kLongest = 7 * 24 * 3600;
    CallLimits limits;
    unsigned seen = 0;   // a bit per limit named
    while (!value.empty()) {
        const std::size_t comma = value.find(',');
        const std::string_view item = trimmed(value.substr(0, comma));
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return std::nullopt;
        const std::string_view name = trimmed(item.substr(0, eq));
        const std::string_view number = trimmed(item.substr(eq + 1));
        long long secs = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), secs);
        if (ec != std::errc() || end != number.data() + number.size() || secs < 1 || secs > kLongest)
            return std::nullopt;
        const std::chrono::milliseconds length = std::chrono::seconds(secs);
        if (name == "read") {
            limits.read = length;
            seen |= 1;
        } else if (name == "save") {
            limits.save = length;
            seen |= 2;
        } else if (name == "bulk") {
            limits.bulk = length;
            seen |= 4;
        }   // else one a later server adds
    }
    if (seen != 7)
        return std::nullopt;
    return limits;
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
