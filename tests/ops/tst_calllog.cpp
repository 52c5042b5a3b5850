// The call log's lines, as a log shipper splits them: one line per call, every value
// either bare or quoted, so that no request can add a line or a field of its own.

#include "ops/calllog.h"

#include <gtest/gtest.h>

#include <unistd.h>

using fiscal::ops::CallLog;
using fiscal::rpc::CallRecord;
using namespace std::chrono_literals;

namespace {

// 2026-12-08 14:03:07.215 UTC
constexpr std::int64_t kWhen = 1796738587215;

struct Case {
    const char *what;
    CallRecord call;
    std::string expected;
};

CallRecord record(std::string_view user, std::string_view method, int code, int status = 200,
                  bool broken = false)
{
    CallRecord r;
    r.user = user;
    r.object = "Ger10200.rdmParamGrupFiscal";
    r.method = method;
    r.code = code;
    r.httpStatus = status;
    r.broken = broken;
    r.duration = 412us;
    r.bytesIn = 318;
    r.bytesOut = 97;
    r.peer = "127.0.0.1";
    return r;
}

TEST(CallLog, LinesAreOneRecordEach)
{
    const std::string prefix = "time=2026-12-08T14:03:07.215Z level=";
    const std::string tail = " duration_ms=0.412 bytes_in=318 bytes_out=97 peer=127.0.0.1";
    const std::string longName(60, 'x');
    const std::vector<Case> cases{
        {"a success", record("maria", "SetCliente", 0),
         "info user=maria object=Ger10200.rdmParamGrupFiscal method=SetCliente code=0 status=200"},
        {"unknown user, conflict", record("", "SetCliente", -32001),
         "warning user=- object=Ger10200.rdmParamGrupFiscal method=SetCliente code=-32001 status=200"},
        {"accents and blanks are quoted", record("João da Silva", "GetDados", -32000),
         "error user=\"João da Silva\" object=Ger10200.rdmParamGrupFiscal method=GetDados code=-32000 status=200"},
        {"a method name cannot forge a line or a field", record("-", "X\nlevel=info user=root \"", -32601),
         "warning user=- object=Ger10200.rdmParamGrupFiscal method=\"X\\nlevel=info user=root \\\"\" code=-32601 status=200"},
        {"control bytes", record("a\x01" "b", "Get", 0),
         "info user=\"a\\x01b\" object=Ger10200.rdmParamGrupFiscal method=Get code=0 status=200"},
        {"long names are cut", record("ana", longName, -32601),
         ("warning user=ana object=Ger10200.rdmParamGrupFiscal method=\"" + std::string(40, 'x')
          + "\xE2\x80\xA6\" code=-32601 status=200")},
        {"a reply broken off", record("ana", "GetDados", -32603, 200, true),
         "error user=ana object=Ger10200.rdmParamGrupFiscal method=GetDados code=broken status=200"},
        {"a refusal", record("", "", -32004, 401),
         "warning user=- object=Ger10200.rdmParamGrupFiscal method=- code=-32004 status=401"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CallLog::line(c.call, kWhen), prefix + c.expected + tail) << c.what;
}

TEST(CallLog, JournalGetsPriorities)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const CallLog journal(fds[1], true);
    const CallLog plain(fds[1], false);
    journal.write(record("ana", "SetCliente", 0));
    journal.write(record("ana", "SetCliente", -32001));
    journal.write(record("ana", "SetCliente", -32603));
    plain.write(record("ana", "SetCliente", 0));
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, std::size_t(n));
    close(fds[0]);
    std::vector<std::string> lines;
    for (std::size_t pos = 0, eol; (eol = out.find('\n', pos)) != std::string::npos; pos = eol + 1)
        lines.push_back(out.substr(pos, eol - pos));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 8), "<6>time=");
    EXPECT_EQ(lines[1].substr(0, 8), "<4>time=");
    EXPECT_EQ(lines[2].substr(0, 8), "<3>time=");
    EXPECT_EQ(lines[3].substr(0, 5), "time=");
}

} // namespace
