#pragma once
// What every benchmark shares: its command line, a fiscal-server child process, timing a
// raw-database child process, peak memory, percentiles and the Markdown table the run
// script collects into docs/performance.md.
//
//   Options o = Options::parse(argc, argv);     // --db URL --server EXE --out FILE ...
//   ServerChild s(o.server, o.db);              // --listen 127.0.0.1:0, waits for the port
//   rpc::Client c("127.0.0.1", s.port());
//   ProcessRun r = runProcess({"sqlite3", "-csv", db, sql});   // wall time, peak RSS
//   long kib = peakKiB(s.pid());                // VmHWM from /proc/<pid>/status
//
// Every loop in the benchmarks is bounded twice: by a count and by a Deadline.

#include "rpc/client.h"
#include "storage/database.h"

#include <QCborArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace fiscal::bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class Deadline {
public:
    explicit Deadline(double seconds)
        : m_end(Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))) {}
    bool passed() const { return Clock::now() >= m_end; }
private:
    Clock::time_point m_end;
};

// --name value pairs; every benchmark takes --db, --server and --out, the rest are its own.
struct Options {
    std::map<std::string, std::string> values;
    static Options parse(int argc, char **argv);
    std::string get(const std::string &name, const std::string &fallback = {}) const;
    std::string require(const std::string &name) const;   // throws when missing
    int integer(const std::string &name, int fallback) const;
    double number(const std::string &name, double fallback) const;
};

bool isPostgres(const std::string &db);
std::string engineName(const std::string &db);   // "SQLite" / "PostgreSQL"
// The same PostgreSQL connection with another database.
std::string withDatabase(const std::string &url, const std::string &name);

// Peak resident memory (VmHWM) of a live process, KiB; 0 when it cannot be read.
long peakKiB(pid_t pid);
long ownPeakKiB();
// Resident memory (VmRSS) of a live process, KiB.
long residentKiB(pid_t pid);

// What a piece of work run in this process adds to its memory at the work's peak: on
// construction it gives back what the allocator keeps spare, notes the resident size and
// resets the peak (/proc/self/clear_refs); heldKiB() is the peak since, less that size.
class MemoryWatch {
public:
    MemoryWatch();
    long heldKiB() const;
private:
    long m_base = 0;
};

// CPU time (user + system) a process has used so far, seconds; 0 when it cannot be read.
double cpuSeconds(pid_t pid);
// The same for a process and its children, those it has waited for included (nginx's
// workers, PostgreSQL's backends, the ones already ended too).
double treeCpu(pid_t root);
// The process id written first in a file (a postmaster.pid, an nginx.pid).
pid_t pidFromFile(const std::string &path);

// fiscal-server --db DB --listen 127.0.0.1:0 [--workers N]; stopped (SIGTERM) on destruction.
class ServerChild {
public:
    // `auth`: --auth; the benchmarks of the calls themselves run without sign-in.
    ServerChild(const std::string &exe, const std::string &db, int workers = 0, const std::string &auth = "nenhuma");
    ~ServerChild();
    ServerChild(const ServerChild &) = delete;
    ServerChild &operator=(const ServerChild &) = delete;
    std::uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    // SIGTERM and wait (bounded); returns the exit status as the shell would show it.
    int stop();
private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::uint16_t m_port = 0;
};

struct ProcessRun {
    double seconds = 0;
    double markerSeconds = -1;   // when the child printed the marker (-1: it did not)
    long peakKiB = 0;   // VmHWM of the child as it exits
    int exitCode = -1;  // 128 + signal when killed
};
// Runs argv to completion with stdout to /dev/null (stderr kept, for failures); kills it
// after timeoutSeconds. Throws when it cannot be started or fails. With a marker, stdout is
// read instead, and the time from the start until a line beginning with the marker came
// out is kept: a process's own work without its teardown.
ProcessRun runProcess(const std::vector<std::string> &argv, double timeoutSeconds = 600,
                      const std::string &marker = {});

// Calls object.method; throws std::runtime_error with the server's message on a failure,
// so a benchmark never times an error reply.
rpc::Reply callOk(rpc::Client &client, const std::string &object, const std::string &method,
                  const QCborArray &params = {});

// The database's per-row foreign-key checks on this connection on or off, as a bulk call
// that checked its values once writes (SQLite's pragma; PostgreSQL's replication role,
// which needs a superuser). Outside a transaction.
void perRowChecks(storage::Connection &c, bool on);

// Entrar as `login`: the session's token, for the Authorization header of the calls after.
std::string signIn(rpc::Client &client, const std::string &login, const std::string &password);
inline const std::string kParamGrupFiscal = "Ger10200.rdmParamGrupFiscal";
inline const std::string kCadAutParGrpFis = "Ger10201.rdmCadAutParGrpFis";
inline const std::string kHistorico = "Ger10204.rdmHistorico";

// One value of a data packet a call answered (row and column from 0); empty when absent.
QString packetValue(const rpc::Reply &reply, int row, int column);

// Benchmarks that save move clients from the first fiscal group to the second, one row
// per call; client codes are the numbers 1..N, zero-padded.
struct ClientMoves {
    std::string from, to, fromName, toName;
    int codeWidth = 8;
    std::int64_t clients = 0;
    // Throws when the database has fewer than two groups or other client codes.
    static ClientMoves read(storage::Connection &c);
    std::string code(std::int64_t n) const;
    // SetCliente's argument: a one-row change set moving client n from `from` to `to`.
    QCborArray changeSet(std::int64_t n) const;
    // Every client back in `from` (only the moved rows are written).
    void reset(storage::Connection &c) const;
};

// A word for /bin/sh, in single quotes.
std::string shellQuote(const std::string &s);

// Percentile over a copy (nearest rank); 0 for an empty sample.
// Every thread of process `pid` (0: this one) onto one CPU; threads it starts later inherit
// it. For figures that must not include the machine waking an idle core.
void pinToCpu(pid_t pid, int cpu);

double percentile(std::vector<double> sample, double p);
double median(std::vector<double> sample);

// Small direct SQL helpers for setting up and checking (not timed).
std::optional<std::string> scalar(storage::Connection &c, const std::string &sql,
                                  const std::vector<std::optional<std::string>> &params = {});
std::int64_t count(storage::Connection &c, const std::string &sql,
                   const std::vector<std::optional<std::string>> &params = {});
void execute(storage::Connection &c, const std::string &sql,
             const std::vector<std::optional<std::string>> &params = {});
// The fiscal groups' codes, descending or not; throws when there are fewer than `atLeast`.
std::vector<std::string> fiscalGroups(storage::Connection &c, std::size_t atLeast, bool descending = false);

// The state registration of `company` with the most supplier parameters for `tax` (the
// largest origin or selection of the demo); throws when there is none.
std::string busiestRegistration(storage::Connection &c, const std::string &tax, const std::string &company);

// One Markdown results table; appended to --out (or stdout) by write().
struct ResultRow {
    std::string what;
    std::string raw;
    std::string ours;
    double ratio = 0;       // ours / raw (time or memory); 0: no raw side
    std::string goal;       // "≤ 1.5×"
    std::optional<bool> met;
    std::string memory;     // peak memory, free text
};

class Report {
public:
    Report(std::string title, std::string note = {});
    void add(ResultRow row);
    void addNote(const std::string &line);
    void write(const std::string &path) const;   // appends; "" = stdout
private:
    std::string m_title;
    std::vector<std::string> m_notes;
    std::vector<ResultRow> m_rows;
};

std::string fmtMs(double seconds);
std::string fmtSeconds(double seconds);
std::string fmtMiB(long kib);
std::string fmtCount(double n);
std::string fmtRatio(double r);
std::string fmtSpread(const std::vector<double> &seconds);   // "612 ms–790 ms"
std::string fmtNumber(double v, int decimals);

} // namespace fiscal::bench
