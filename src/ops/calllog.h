#pragma once
// One line per answered request on standard error, in logfmt (key=value pairs), which
// journalctl shows as is and log shippers split into fields:
//
//   time=2026-12-08T14:03:07.215Z level=info user=maria object=Ger10200.rdmParamGrupFiscal
//   method=SetCliente code=0 status=200 duration_ms=0.412 bytes_in=318 bytes_out=97 peer=127.0.0.1
//
// (one line). level is info for a success, warning for an error the caller caused (a
// conflict, a bad argument, an unknown code, a refusal) and error for a failure of the
// server or its database (-32000, -32603, a reply broken off). Under systemd, whose journal
// takes the priority from a "<N>" prefix, every line starts with one. Text from the request
// is quoted and escaped, and cut like the server's messages cut it, so a request can neither
// forge a line nor make one huge. Each line is written with a single write(2), so lines of
// concurrent calls never mix.

#include "rpc/serverhooks.h"

#include <cstdint>
#include <string>

namespace fiscal::ops {

class CallLog {
public:
    // fd: where to write (standard error). journalPriorities: write the "<N>" prefixes;
    // forJournal() tells whether standard error is the journal.
    explicit CallLog(int fd = 2, bool journalPriorities = forJournal());

    void write(const rpc::CallRecord &call) const;
    // The line without the prefix and the newline, at the given UTC time (for tests).
    static std::string line(const rpc::CallRecord &call, std::int64_t unixMillis);

    static bool forJournal();

private:
    int m_fd;
    bool m_priorities;
};

} // namespace fiscal::ops
