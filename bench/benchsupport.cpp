#include "benchsupport.h"

#include "dataset/packet.h"
#include "rpc/envelope.h"

#include <QCborMap>
#include <QCborValue>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <iostream>
#include <malloc.h>
#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fiscal::bench {

// ---- options -----------------------------------------------------------------------------

Options Options::parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--", 0) != 0 || i + 1 >= argc)
            throw std::runtime_error("usage: " + std::string(argv[0]) + " --name value ... (bad: " + a + ")");
        o.values[a.substr(2)] = argv[++i];
    }
    return o;
}

std::string Options::get(const std::string &name, const std::string &fallback) const
{
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

std::string Options::require(const std::string &name) const
{
    const auto it = values.find(name);
    if (it == values.end() || it->second.empty())
        throw std::runtime_error("missing --" + name);
    return it->second;
}

int Options::integer(const std::string &name, int fallback) const
{
    const auto it = values.find(name);
    return it == values.end() ? fallback : std::stoi(it->second);
}

double Options::number(const std::string &name, double fallback) const
{
    const auto it = values.find(name);
    return it == values.end() ? fallback : std::stod(it->second);
}

bool isPostgres(const std::string &db)
{
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0
           || db.rfind("host=", 0) == 0 || db.rfind("dbname=", 0) == 0;
}

std::string engineName(const std::string &db)
{
    return isPostgres(db) ? "PostgreSQL" : "SQLite";
}

std::string withDatabase(const std::string &url, const std::string &name)
{
    const auto scheme = url.find("://");
    if (scheme == std::string::npos)
        return url + " dbname=" + name;   // a keyword string: the last value given wins
    // The database is the URL's path; the socket form has it after "user@" with the host in
    // the query ("postgresql://u@/db?host=/run/x"), so the authority may be empty.
    const auto query = url.find('?', scheme + 3);
    const auto path = url.find('/', scheme + 3);
    if (path == std::string::npos || path > query) {
        const auto at = query == std::string::npos ? url.size() : query;
        return url.substr(0, at) + "/" + name + url.substr(at);
    }
    return url.substr(0, path + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

// ---- memory ------------------------------------------------------------------------------

namespace {

long statusKiB(pid_t pid, const char *key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const size_t n = std::strlen(key);
    while (std::getline(in, line))
        if (line.compare(0, n, key) == 0)
            return std::atol(line.c_str() + n);
    return 0;
}

} // namespace

long peakKiB(pid_t pid)
{
    return statusKiB(pid, "VmHWM:");
}

long residentKiB(pid_t pid)
{
    return statusKiB(pid, "VmRSS:");
}

MemoryWatch::MemoryWatch()
{
    malloc_trim(0);
    m_base = residentKiB(getpid());
    std::ofstream("/proc/self/clear_refs") << "5";
}

long MemoryWatch::heldKiB() const
{
    return std::max(0L, peakKiB(getpid()) - m_base);
}

long ownPeakKiB()
{
    return peakKiB(getpid());
}

namespace {

// Fields 14 to 17 of /proc/<pid>/stat, after the command name in parentheses: user and
// system time, and those of the children it has waited for. Empty when it cannot be read.
std::vector<unsigned long long> cpuFields(pid_t pid, pid_t *parent = nullptr)
{
    // Read with read(2): a process that ends meanwhile fails the read (ESRCH), which
    // std::ifstream would throw.
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buf[1024];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    const std::string text(buf, n > 0 ? std::size_t(n) : 0);
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return {};
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    std::vector<unsigned long long> times;
    for (int i = 3; i <= 17 && rest >> field; ++i) {
        if (i == 4 && parent)
            *parent = pid_t(std::stol(field));
        if (i >= 14)
            times.push_back(std::stoull(field));
    }
    return times.size() == 4 ? times : std::vector<unsigned long long>{};
}

} // namespace

double cpuSeconds(pid_t pid)
{
    const auto t = cpuFields(pid);
    return t.empty() ? 0 : double(t[0] + t[1]) / double(sysconf(_SC_CLK_TCK));
}

double treeCpu(pid_t root)
{
    const auto own = cpuFields(root);
    if (own.empty())
        return 0;
    unsigned long long ticks = own[0] + own[1] + own[2] + own[3];
    if (DIR *proc = opendir("/proc")) {
        while (dirent *e = readdir(proc)) {
            const pid_t pid = pid_t(std::atoi(e->d_name));
            pid_t parent = 0;
            const auto t = pid > 0 ? cpuFields(pid, &parent) : std::vector<unsigned long long>{};
            if (!t.empty() && parent == root)
                ticks += t[0] + t[1];
        }
        closedir(proc);
    }
    return double(ticks) / double(sysconf(_SC_CLK_TCK));
}

pid_t pidFromFile(const std::string &path)
{
    std::ifstream in(path);
    pid_t pid = 0;
    in >> pid;
    if (pid <= 0)
        throw std::runtime_error("no process id in " + path);
    return pid;
}

// ---- processes ---------------------------------------------------------------------------

namespace {

std::vector<char *> cArgs(const std::vector<std::string> &argv)
{
    std::vector<char *> out;
    for (const std::string &a : argv)
        out.push_back(const_cast<char *>(a.c_str()));
    out.push_back(nullptr);
    return out;
}

int shellStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Waits for pid up to timeoutSeconds; kills it after that. Returns the status and usage.
int waitBounded(pid_t pid, double timeoutSeconds, rusage *usage)
{
    const Deadline deadline(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t r = wait4(pid, &status, WNOHANG, usage);
        if (r == pid)
            return shellStatus(status);
        if (r < 0 && errno != EINTR)
            return -1;
        if (deadline.passed()) {
            ::kill(pid, SIGKILL);
            wait4(pid, &status, 0, usage);
            return shellStatus(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace

ServerChild::ServerChild(const std::string &exe, const std::string &db, int workers, const std::string &auth)
{
    std::vector<std::string> argv{exe, "--db", db, "--listen", "127.0.0.1:0", "--auth", auth};
    if (workers > 0) {
        argv.push_back("--workers");
        argv.push_back(std::to_string(workers));
    }
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    const auto args = cArgs(argv);
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];

    // "listening on 127.0.0.1:PORT", within 60 s.
    std::string text;
    const Deadline deadline(60);
    while (!deadline.passed() && text.find('\n') == std::string::npos) {
        pollfd p{m_out, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[256];
        const ssize_t n = read(m_out, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    const auto colon = text.rfind(':');
    if (text.rfind("listening on ", 0) != 0 || colon == std::string::npos) {
        stop();
        throw std::runtime_error("fiscal-server did not start: " + text);
    }
    m_port = std::uint16_t(std::stoi(text.substr(colon + 1)));
}

ServerChild::~ServerChild()
{
    stop();
}

int ServerChild::stop()
{
    int code = 0;
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        rusage usage{};
        code = waitBounded(m_pid, 60, &usage);
        m_pid = -1;
    }
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
    return code;
}

// The child's peak memory is read from /proc/<pid>/status at the moment it exits: the
// child is traced with PTRACE_O_TRACEEXIT, which stops it just before its memory goes.
// (ru_maxrss from wait4 would not do: it keeps the high-water mark of the forked copy of
// this process from before exec.)
ProcessRun runProcess(const std::vector<std::string> &argv, double timeoutSeconds, const std::string &marker)
{
    const auto args = cArgs(argv);
    int fds[2] = {-1, -1};
    if (!marker.empty() && pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (fds[1] >= 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
        } else {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            close(null);
        }
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    ProcessRun r;
    std::string out;
    if (fds[1] >= 0) {
        close(fds[1]);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    // Reads what the child printed so far and notes when the marker line arrived.
    const auto readOutput = [&] {
        if (fds[0] < 0)
            return;
        char buf[512];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) {
            out.append(buf, size_t(n));
            if (r.markerSeconds < 0 && (out.rfind(marker, 0) == 0 || out.find("\n" + marker) != std::string::npos))
                r.markerSeconds = secondsSince(t0);
        }
    };
    const Deadline deadline(timeoutSeconds);
    bool traced = false;
    for (;;) {
        readOutput();
        int status = 0;
        const pid_t w = waitpid(pid, &status, WNOHANG);
        if (w < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (w == pid && WIFSTOPPED(status)) {
            int forward = 0;
            if (!traced && WSTOPSIG(status) == SIGTRAP) {   // stopped after the first exec
                traced = true;
                ptrace(PTRACE_SETOPTIONS, pid, nullptr,
                       PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL);
            } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
                r.peakKiB = peakKiB(pid);
            } else if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
                // a wrapper script exec'ing the real tool: nothing to forward
            } else {
                forward = WSTOPSIG(status);
            }
            ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(std::intptr_t(forward)));
            continue;
        }
        if (w == pid) {
            r.exitCode = shellStatus(status);
            break;
        }
        if (deadline.passed()) {
            ::kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            r.exitCode = 128 + SIGKILL;
            break;
        }
        if (fds[0] >= 0 && r.markerSeconds < 0) {
            pollfd p{fds[0], POLLIN, 0};
            poll(&p, 1, 1);
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }
    r.seconds = secondsSince(t0);
    readOutput();
    if (fds[0] >= 0)
        close(fds[0]);
    if (r.exitCode != 0)
        throw std::runtime_error(argv[0] + " exited with " + std::to_string(r.exitCode));
    return r;
}

rpc::Reply callOk(rpc::Client &client, const std::string &object, const std::string &method,
                  const QCborArray &params)
{
    rpc::Reply r = client.call(QString::fromStdString(object), QString::fromStdString(method), params, 600000);
    if (r.isError())
        throw std::runtime_error(method + " failed (" + std::to_string(r.errorCode())
                                 + "): " + r.errorMessage().toStdString());
    return r;
}

void perRowChecks(storage::Connection &c, bool on)
{
    if (c.backend() == storage::Backend::Sqlite)
        c.exec(on ? "PRAGMA foreign_keys=ON" : "PRAGMA foreign_keys=OFF");
    else
        c.exec(on ? "RESET session_replication_role" : "SET session_replication_role = replica");
}

std::string signIn(rpc::Client &client, const std::string &login, const std::string &password)
{
    const rpc::Reply r = client.call(QStringLiteral("Ger10206.rdmSessao"), QStringLiteral("Entrar"),
                                     {QString::fromStdString(login), QString::fromStdString(password)});
    if (r.isError())
        throw std::runtime_error("Entrar failed: " + r.errorMessage().toStdString());
    return r.value()[QLatin1String("rows")][0][0].toString().toStdString();
}

// ---- statistics --------------------------------------------------------------------------

void pinToCpu(pid_t pid, int cpu)
{
    const std::string tasks = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (!dir)
        throw std::runtime_error("cannot list the threads in " + tasks);
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    int pinned = 0;
    while (const dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        if (sched_setaffinity(pid_t(std::atoi(e->d_name)), sizeof set, &set) == 0)
            ++pinned;
    }
    closedir(dir);
    if (pinned == 0)
        throw std::runtime_error("cannot pin " + tasks + " to CPU " + std::to_string(cpu));
}

double percentile(std::vector<double> sample, double p)
{
    if (sample.empty())
        return 0;
    std::sort(sample.begin(), sample.end());
    const auto rank = size_t(std::ceil(p / 100.0 * double(sample.size())));
    return sample[std::clamp<size_t>(rank, 1, sample.size()) - 1];
}

double median(std::vector<double> sample)
{
    return percentile(std::move(sample), 50);
}

// ---- direct SQL --------------------------------------------------------------------------

namespace {

std::unique_ptr<storage::Statement> bound(storage::Connection &c, const std::string &sql,
                                          const std::vector<std::optional<std::string>> &params)
{
    auto st = c.prepare(sql);
    for (size_t i = 0; i < params.size(); ++i)
        st->bind(int(i) + 1, params[i] ? std::optional<std::string_view>(*params[i]) : std::nullopt);
    return st;
}

} // namespace

std::optional<std::string> scalar(storage::Connection &c, const std::string &sql,
                                  const std::vector<std::optional<std::string>> &params)
{
    auto st = bound(c, sql, params);
    if (!st->step() || st->isNull(0))
        return std::nullopt;
    return std::string(st->text(0));
}

std::int64_t count(storage::Connection &c, const std::string &sql,
                   const std::vector<std::optional<std::string>> &params)
{
    const auto v = scalar(c, sql, params);
    return v ? std::stoll(*v) : 0;
}

void execute(storage::Connection &c, const std::string &sql,
             const std::vector<std::optional<std::string>> &params)
{
    bound(c, sql, params)->execute();
}

std::vector<std::string> fiscalGroups(storage::Connection &c, std::size_t atLeast, bool descending)
{
    std::vector<std::string> groups;
    auto st = c.prepare(std::string("SELECT CDGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC") + (descending ? " DESC" : ""));
    while (st->step())
        groups.emplace_back(st->text(0));
    if (groups.size() < atLeast)
        throw std::runtime_error("the database needs at least " + std::to_string(atLeast) + " fiscal groups");
    return groups;
}

std::string busiestRegistration(storage::Connection &c, const std::string &tax, const std::string &company)
{
    const auto registration = scalar(c,
        "SELECT CDINSCESTA FROM GRFISIMPIEFORN WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2"
        " GROUP BY CDINSCESTA ORDER BY COUNT(*) DESC, CDINSCESTA LIMIT 1", {tax, company});
    if (!registration)
        throw std::runtime_error("no supplier parameters for tax " + tax + " and company " + company);
    return *registration;
}

// ---- report ------------------------------------------------------------------------------

Report::Report(std::string title, std::string note) : m_title(std::move(title))
{
    if (!note.empty())
        m_notes.push_back(std::move(note));
}

void Report::add(ResultRow row)
{
    m_rows.push_back(std::move(row));
}

void Report::addNote(const std::string &line)
{
    m_notes.push_back(line);
}

void Report::write(const std::string &path) const
{
    std::ostringstream s;
    s << "### " << m_title << "\n\n";
    s << "| What | Raw | Ours | Ratio | Goal | Met | Peak memory |\n";
    s << "|---|---:|---:|---:|---|---|---|\n";
    for (const ResultRow &r : m_rows)
        s << "| " << r.what << " | " << r.raw << " | " << r.ours << " | " << (r.ratio > 0 ? fmtRatio(r.ratio) : "")
          << " | " << r.goal
          << " | " << (r.met ? (*r.met ? "yes" : "**no**") : "") << " | " << r.memory << " |\n";
    s << "\n";
    for (const std::string &n : m_notes)
        s << n << "\n";
    if (!m_notes.empty())
        s << "\n";
    if (path.empty()) {
        std::cout << s.str() << std::flush;
        return;
    }
    std::ofstream out(path, std::ios::app);
    out << s.str();
    if (!out)
        throw std::runtime_error("cannot write " + path);
    std::cout << s.str() << std::flush;
}

namespace {
std::string fixed(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}
} // namespace

std::string fmtMs(double seconds)
{
    const double ms = seconds * 1000;
    return fixed(ms, ms < 10 ? 3 : ms < 100 ? 2 : 0) + " ms";
}

std::string fmtSeconds(double seconds)
{
    return fixed(seconds, seconds < 10 ? 2 : 1) + " s";
}

std::string fmtMiB(long kib)
{
    return fixed(double(kib) / 1024.0, 0) + " MiB";
}

std::string fmtCount(double n)
{
    return fixed(n, n < 100 ? 1 : 0);
}

std::string fmtRatio(double r)
{
    return fixed(r, 2) + "×";
}

std::string fmtNumber(double v, int decimals)
{
    return fixed(v, decimals);
}

std::string fmtSpread(const std::vector<double> &seconds)
{
    if (seconds.empty())
        return "-";
    const auto [lo, hi] = std::minmax_element(seconds.begin(), seconds.end());
    return fmtMs(*lo) + "–" + fmtMs(*hi);
}

// ---- moving clients between groups ---------------------------------------------------------

ClientMoves ClientMoves::read(storage::Connection &c)
{
    ClientMoves m;
    auto st = c.prepare("SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC LIMIT 2");
    if (!st->step())
        throw std::runtime_error("no fiscal groups");
    m.from = st->text(0);
    m.fromName = st->text(1);
    if (!st->step())
        throw std::runtime_error("the database needs two fiscal groups");
    m.to = st->text(0);
    m.toName = st->text(1);
    st.reset();
    m.clients = count(c, "SELECT COUNT(*) FROM CLIENTE");
    m.codeWidth = int(count(c, "SELECT MAX(LENGTH(CDCLIENTE)) FROM CLIENTE"));
    if (m.code(m.clients) != scalar(c, "SELECT MAX(CDCLIENTE) FROM CLIENTE"))
        throw std::runtime_error("client codes are not the numbers 1..N zero-padded");
    return m;
}

std::string ClientMoves::code(std::int64_t n) const
{
    const std::string digits = std::to_string(n);
    return std::string(std::size_t(std::max<int>(0, codeWidth - int(digits.size()))), '0') + digits;
}

QCborArray ClientMoves::changeSet(std::int64_t n) const
{
    dataset::ChangeSet cs;
    cs.fields = {{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21}, {"NOME", 50},
                 {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
    const QString key = QString::fromStdString(code(n));
    const dataset::Row before{std::nullopt, std::nullopt, key, std::nullopt, std::nullopt,
                              QString::fromStdString(from), QString::fromStdString(fromName)};
    const dataset::Row after{std::nullopt, std::nullopt, key, std::nullopt, std::nullopt,
                             QString::fromStdString(to), QString::fromStdString(toName)};
    cs.changes.append(dataset::Change{dataset::Change::Update, before, after});
    return QCborArray{rpc::preEncodedParam(cs.toCbor())};   // as the screens send it
}

void ClientMoves::reset(storage::Connection &c) const
{
    execute(c, "UPDATE CLIENTE SET CDGRUPOFISC = $1 WHERE CDGRUPOFISC IS DISTINCT FROM $1", {from});
}

std::string shellQuote(const std::string &s)
{
    std::string q = "'";
    for (char ch : s)
        q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return q + "'";
}

QString packetValue(const rpc::Reply &reply, int row, int column)
{
    return reply.value().toMap().value(QStringLiteral("rows")).toArray().at(row).toArray().at(column).toString();
}

} // namespace fiscal::bench
