#include "ops/calllog.h"

#include "rpc/dispatcher.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

namespace fiscal::ops {

namespace {

// Characters a value may have without quotes.
bool plain(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.'
           || c == '_' || c == '-' || c == ':' || c == '/' || c == '@' || c == '+';
}

// At most rpc::kEchoedLength characters of UTF-8 text, "…" where it was cut.
std::string_view cut(std::string_view text, bool &wasCut)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;   // continuation byte
        if (chars == std::size_t(rpc::kEchoedLength)) {
            wasCut = true;
            return text.substr(0, i);
        }
        ++chars;
    }
    wasCut = false;
    return text;
}

void field(std::string &out, const char *key, std::string_view value)
{
    out += ' ';
    out += key;
    out += '=';
    if (value.empty()) {
        out += '-';
        return;
    }
    bool wasCut = false;
    value = cut(value, wasCut);
    bool quote = wasCut;
    for (unsigned char c : value)
        quote = quote || !plain(c);
    if (!quote) {
        out += value;
        return;
    }
    out += '"';
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += char(c);   // UTF-8 passes as it is
        }
    }
    if (wasCut)
        out += "\xE2\x80\xA6";
    out += '"';
}

enum Priority { Error = 3, Warning = 4, Info = 6 };

Priority priorityOf(const rpc::CallRecord &call)
{
    if (call.broken || call.code == rpc::code::Database || call.code == rpc::code::Internal)
        return Error;
    return call.code == 0 ? Info : Warning;
}

const char *levelName(Priority p)
{
    switch (p) {
    case Error:
        return "error";
    case Warning:
        return "warning";
    case Info:
        break;
    }
    return "info";
}

} // namespace

CallLog::CallLog(int fd, bool journalPriorities) : m_fd(fd), m_priorities(journalPriorities) {}

bool CallLog::forJournal()
{
    // systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected to the journal.
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st{};
    if (!stream || fstat(2, &st) != 0)
        return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2)
        return false;
    return dev == static_cast<unsigned long long>(st.st_dev)
           && ino == static_cast<unsigned long long>(st.st_ino);
}

std::string CallLog::line(const rpc::CallRecord &call, std::int64_t unixMillis)
{
    const std::time_t seconds = std::time_t(unixMillis / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char time[96];
    std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  int(unixMillis % 1000));
    std::string out;
    out.reserve(256);
    out += "time=";
    out += time;
    out += " level=";
    out += levelName(priorityOf(call));
    field(out, "user", call.user);
    field(out, "object", call.object);
    field(out, "method", call.method);
    out += " code=";
    out += call.broken ? std::string("broken") : std::to_string(call.code);
    out += " status=" + std::to_string(call.httpStatus);
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f", std::chrono::duration<double, std::milli>(call.duration).count());
    out += " duration_ms=";
    out += ms;
    out += " bytes_in=" + std::to_string(call.bytesIn);
    out += " bytes_out=" + std::to_string(call.bytesOut);
    field(out, "peer", call.peer);
    return out;
}

void CallLog::write(const rpc::CallRecord &call) const
{
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    std::string text;
    if (m_priorities)
        text = "<" + std::to_string(int(priorityOf(call))) + ">";
    text += line(call, now.count());
    text += '\n';
    // A short write to a pipe or the journal's socket does not happen below PIPE_BUF; a
    // failing standard error must not fail the call.
    ssize_t ignored = ::write(m_fd, text.data(), text.size());
    (void)ignored;
}

} // namespace fiscal::ops
