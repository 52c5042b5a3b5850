// Concurrent saving on PostgreSQL: C client threads, each with its own rpc::Client, calling
// SetCliente on rows no other thread touches, for a fixed time; against pgbench over C
// connections running, per transaction, the writes a one-row save makes: the UPDATE of the
// row, its operation and its item in the history, as the one statement the server sends for
// a save on its own (prepared). The bare UPDATE without the history, and the save with one
// pgbench thread per connection, run beside them and are reported. For each client count the
// four sides run in several rounds, rotating which goes first; each round gives a ratio: the
// table shows the median and the spread.
// Before each side every client holds the first group, the history holds what it held at
// the start and the tables are vacuumed, so every side finds the same tables; each call
// moves one client from the first group to the second.
//
//   bench_concurrent --db postgresql://... --server FISCAL_SERVER [--out FILE]
//                    [--clients 4,8,32] [--pairs 3] [--seconds 5] [--workers 4] [--pgbench pgbench]
//                    [--pg-pid-file DATADIR/postmaster.pid]   (the database's CPU per save, reported)
//                    [--flushed yes]   (the cluster flushes every commit: figures reported, no goal)

#include "benchsupport.h"

#include "dataset/packet.h"

#include <QCborValue>
#include <QDateTime>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

// Every client back in the first group and the history as it was at `mark`, vacuumed.
void resetTables(storage::Connection &c, const ClientMoves &s, const std::string &mark)
{
    s.reset(c);
    execute(c, "DELETE FROM HISTITEM WHERE IDOPERACAO > $1::bigint", {mark});
    execute(c, "DELETE FROM HISTOPERACAO WHERE IDOPERACAO > $1::bigint", {mark});
    c.exec("VACUUM ANALYZE CLIENTE, HISTOPERACAO, HISTITEM");
}

// The client whose k-th save is made by `client` of `clients`: rows never repeat while
// k < perClient.
std::int64_t rowFor(int client, int clients, std::int64_t k)
{
    return 1 + client + std::int64_t(clients) * k;
}

std::string runCapture(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        throw std::runtime_error("cannot run " + command);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int status = pclose(p);
    if (status != 0)
        throw std::runtime_error(command + " failed:\n" + out);
    return out;
}

// The raw sides, as pgbench runs them: the bare UPDATE of the row, and the statement the
// server sends for a one-row save on its own (the UPDATE, the operation and its item, in one
// statement and so in one transaction), with the values a save of the benchmark records.
enum class Raw { Bare, Save };

// What each round runs: pgbench's save and bare UPDATE with two threads, pgbench's save with a
// thread per client, and ours.
enum class Side { Save, Bare, Ours, SaveAlone };
constexpr int kSides = 4;

std::string rawStatement(const ClientMoves &s, Raw raw)
{
    const std::string key = "lpad(:id::text, " + std::to_string(s.codeWidth) + ", '0')";
    const std::string update = "UPDATE CLIENTE SET CDGRUPOFISC = :to WHERE CDCLIENTE = " + key
                               + " AND CDGRUPOFISC IS NOT DISTINCT FROM :from";
    if (raw == Raw::Bare)
        return update;
    return "WITH w AS (" + update + " AND EXISTS (SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = :to) RETURNING 1),"
           " o AS (INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
           " QTINCLUIDOS, QTEXCLUIDOS, DSENDERECO) SELECT :tm, :usr, :method, :args, 1, 0, 0, :addr FROM w"
           " RETURNING IDOPERACAO) INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3,"
           " CDCHAVE4, CDGRUPOANT, CDGRUPONOVO, IDACAO) SELECT o.IDOPERACAO, 'CLIENTE', CAST(" + key
           + " AS VARCHAR), '', '', '', CAST(:from AS VARCHAR), CAST(:to AS VARCHAR), 'A' FROM o";
}

struct PgbenchResult {
    double tps = 0;
    std::int64_t transactions = 0;
    double databaseCpu = 0;   // seconds, the whole run (0 without --pg-pid-file)
};

// The postmaster of --pg-pid-file, or 0.
pid_t postmasterOf(const Options &o)
{
    const std::string file = o.get("pg-pid-file", "");
    return file.empty() ? 0 : pidFromFile(file);
}

double databaseCpu(pid_t postmaster)
{
    return postmaster ? treeCpu(postmaster) : 0;
}

// `threads` of pgbench drive the clients: 2 multiplexes them as pgbench usually runs; one per
// client waits on each connection alone, as each desktop and each of our client threads does.
PgbenchResult runPgbench(const Options &o, const std::string &db, const ClientMoves &s, Raw raw, int clients,
                         int threads, int seconds, std::int64_t perClient)
{
    char path[] = "/tmp/fiscal-bench-XXXXXX.sql";
    const int fd = mkstemps(path, 4);
    if (fd < 0)
        throw std::runtime_error("cannot create the pgbench script");
    close(fd);
    {
        std::ofstream script(path);
        script << "\\set n :n + 1\n"
               << "\\set id 1 + :client_id + " << clients << " * ((:n - 1) % " << perClient << ")\n"
               << rawStatement(s, raw) << ";\n";
    }
    const std::string command = o.get("pgbench", "pgbench") + " -n -M prepared -c " + std::to_string(clients)
                                + " -j " + std::to_string(threads) + " -T " + std::to_string(seconds) + " -D n=0 -D to=" + s.to
                                + " -D from=" + s.from + " -D " + shellQuote("usr=(não autenticado)") + " -D method=SetCliente -D "
                                + shellQuote("args=[1]")
                                + " -D addr=127.0.0.1 -D tm=" + QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString()
                                + " -f " + path + " "
                                + shellQuote(db) + " 2>&1";
    std::string out;
    const pid_t postmaster = postmasterOf(o);
    const double databaseCpu0 = databaseCpu(postmaster);
    try {
        out = runCapture(command);
    } catch (...) {
        unlink(path);
        throw;
    }
    unlink(path);
    std::smatch m;
    static const std::regex tps(R"(tps = ([0-9.]+) \(without initial connection time\))");
    static const std::regex processed(R"(number of transactions actually processed: ([0-9]+))");
    PgbenchResult r;
    r.databaseCpu = databaseCpu(postmaster) - databaseCpu0;
    if (!std::regex_search(out, m, tps))
        throw std::runtime_error("no tps in pgbench's output:\n" + out);
    r.tps = std::stod(m[1]);
    if (!std::regex_search(out, m, processed))
        throw std::runtime_error("no transaction count in pgbench's output:\n" + out);
    r.transactions = std::stoll(m[1]);
    return r;
}

struct OursResult {
    std::int64_t calls = 0;
    double seconds = 0;
    long serverPeak = 0;
    std::string failure;
    double serverCpu = 0;   // seconds used while the clock ran
    double clientCpu = 0;
    double databaseCpu = 0;
};

OursResult runOurs(const Options &o, const std::string &db, const ClientMoves &s, int clients, int seconds,
                   std::int64_t perClient)
{
    ServerChild server(o.require("server"), db, o.integer("workers", 4));
    std::atomic<bool> go{false}, stop{false};
    std::atomic<std::int64_t> calls{0};
    std::mutex failureMutex;
    std::string failure;
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            try {
                rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
                callOk(client, kParamGrupFiscal, "GetGrupoFiscal", QCborArray{QString::fromStdString(s.from)});
                go.wait(false);   // asleep, not spinning, while the others connect
                for (std::int64_t k = 0; k < perClient && !stop; ++k) {
                    callOk(client, kParamGrupFiscal, "SetCliente", s.changeSet(rowFor(t, clients, k)));
                    ++calls;
                }
            } catch (const std::exception &e) {
                std::lock_guard lock(failureMutex);
                if (failure.empty())
                    failure = e.what();
                stop = true;
            }
        });
    }
    // Every client connected (its first call answered) before the clock starts.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double serverCpu0 = cpuSeconds(server.pid());
    const double clientCpu0 = cpuSeconds(getpid());
    const pid_t postmaster = postmasterOf(o);
    const double databaseCpu0 = databaseCpu(postmaster);
    const auto t0 = Clock::now();
    go = true;
    go.notify_all();
    const Deadline deadline(seconds);
    while (!deadline.passed() && !stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::int64_t counted = calls.load();
    const double elapsed = secondsSince(t0);
    const double serverCpu = cpuSeconds(server.pid()) - serverCpu0;
    const double clientCpu = cpuSeconds(getpid()) - clientCpu0;
    const double dbCpu = databaseCpu(postmaster) - databaseCpu0;
    stop = true;
    for (std::thread &th : threads)
        th.join();
    OursResult r{counted, elapsed, peakKiB(server.pid()), failure, serverCpu, clientCpu, dbCpu};
    server.stop();
    return r;
}

// The client counts of --clients: "4,8,32".
std::vector<int> clientCounts(const std::string &list)
{
    std::vector<int> counts;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        counts.push_back(std::stoi(item));
    if (counts.empty())
        throw std::runtime_error("--clients needs at least one count");
    return counts;
}

std::string spread(std::vector<double> ratios)
{
    std::sort(ratios.begin(), ratios.end());
    return fmtRatio(ratios.front()) + "–" + fmtRatio(ratios.back());
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    if (!isPostgres(db))
        throw std::runtime_error("this benchmark runs on PostgreSQL only");
    const std::vector<int> counts = clientCounts(o.get("clients", "4,8,32"));
    const int seconds = o.integer("seconds", 5);
    const int pairs = std::max(1, o.integer("pairs", 3));
    const int workers = o.integer("workers", 4);
    const bool flushed = o.get("flushed", "no") == "yes";

    auto conn = storage::open(db);
    const ClientMoves s = ClientMoves::read(*conn);
    const std::string mark = scalar(*conn, "SELECT COALESCE(MAX(IDOPERACAO), 0) FROM HISTOPERACAO").value_or("0");
    const auto moved = [&] { return count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {s.to}); };
    const auto recorded = [&] {
        return count(*conn, "SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO > $1::bigint AND NMTABELA = 'CLIENTE'",
                     {mark});
    };

    Report report(std::string(flushed ? "Concurrent saving, every commit flushed to disk: " : "Concurrent saving: ")
                  + std::to_string(pairs) + " rounds per client count (PostgreSQL)");
    for (const int clients : counts) {
        const std::int64_t perClient = s.clients / clients;
        std::vector<double> saveRates, bareRates, aloneRates, oursRates, ratios, bareRatios, aloneRatios;
        double serverCpu = 0, clientCpu = 0, oursDbCpu = 0, rawDbCpu = 0;
        std::int64_t oursCalls = 0, rawTransactions = 0;
        long serverPeak = 0;
        for (int pair = 0; pair < pairs; ++pair) {
            double save = 0, bare = 0, alone = 0, ours = 0;
            // Rotate who goes first, so that none always follows another's traffic.
            for (int k = 0; k < kSides; ++k) {
                resetTables(*conn, s, mark);
                const Side side = Side((k + pair) % kSides);
                if (side != Side::Ours) {
                    const Raw raw = side == Side::Bare ? Raw::Bare : Raw::Save;
                    const int threads = side == Side::SaveAlone ? clients : 2;
                    const PgbenchResult r = runPgbench(o, db, s, raw, clients, threads, seconds, perClient);
                    // Each transaction must have moved a row of its own (and recorded it);
                    // otherwise the script measured something else.
                    if (r.transactions <= std::int64_t(clients) * perClient) {
                        const std::int64_t rows = moved();
                        const std::int64_t items = recorded();
                        if (rows != r.transactions || items != (raw == Raw::Save ? r.transactions : 0))
                            throw std::runtime_error("pgbench ran " + std::to_string(r.transactions)
                                                     + " transactions but changed " + std::to_string(rows)
                                                     + " rows and recorded " + std::to_string(items));
                    }
                    (side == Side::Save ? save : side == Side::Bare ? bare : alone) = r.tps;
                    if (side == Side::Save) {
                        rawDbCpu += r.databaseCpu;
                        rawTransactions += r.transactions;
                    }
                } else {
                    const OursResult r = runOurs(o, db, s, clients, seconds, perClient);
                    if (!r.failure.empty())
                        throw std::runtime_error("a client failed: " + r.failure);
                    const std::int64_t rows = moved();
                    if (rows < r.calls || recorded() != rows)
                        throw std::runtime_error("fewer rows changed (" + std::to_string(rows)
                                                 + ") or recorded than calls answered");
                    ours = double(r.calls) / r.seconds;
                    serverCpu += r.serverCpu;
                    clientCpu += r.clientCpu;
                    oursDbCpu += r.databaseCpu;
                    oursCalls += r.calls;
                    serverPeak = std::max(serverPeak, r.serverPeak);
                }
            }
            saveRates.push_back(save);
            bareRates.push_back(bare);
            aloneRates.push_back(alone);
            oursRates.push_back(ours);
            ratios.push_back(ours / save);
            bareRatios.push_back(ours / bare);
            aloneRatios.push_back(ours / alone);
            std::cerr << "bench_concurrent: " << clients << " clients, round " << pair + 1 << ": pgbench save "
                      << fmtCount(save) << " tx/s, bare UPDATE " << fmtCount(bare) << " tx/s, save with a thread "
                      << "per client " << fmtCount(alone) << " tx/s, ours " << fmtCount(ours) << " calls/s\n";
        }
        resetTables(*conn, s, mark);
        const double ratio = median(ratios);
        const double goal = clients >= 32 ? 1.0 : 0.6;
        report.add({"SetCliente, " + std::to_string(clients) + " clients, against the save's writes (ratio spread "
                        + spread(ratios) + ")",
                    fmtCount(median(saveRates)) + " tx/s", fmtCount(median(oursRates)) + " calls/s", ratio,
                    flushed ? "(reported)" : "≥ " + fmtRatio(goal),
                    flushed ? std::nullopt : std::optional<bool>(ratio >= goal), "server " + fmtMiB(serverPeak)});
        report.add({"The same against the bare UPDATE (ratio spread " + spread(bareRatios) + ")",
                    fmtCount(median(bareRates)) + " tx/s", fmtCount(median(oursRates)) + " calls/s",
                    median(bareRatios), "(reported)", std::nullopt, ""});
        report.add({"The same against the save's writes with a pgbench thread per client (ratio spread "
                        + spread(aloneRatios) + ")",
                    fmtCount(median(aloneRates)) + " tx/s", fmtCount(median(oursRates)) + " calls/s",
                    median(aloneRatios), "(reported)", std::nullopt, ""});
        report.addNote("CPU per call at " + std::to_string(clients) + " clients: fiscal-server "
                       + fmtMs(serverCpu / double(oursCalls)) + ", the client threads "
                       + fmtMs(clientCpu / double(oursCalls))
                       + (postmasterOf(o) ? ", PostgreSQL " + fmtMs(oursDbCpu / double(oursCalls)) + " (for pgbench's "
                                                + "save " + fmtMs(rawDbCpu / double(std::max<std::int64_t>(rawTransactions, 1)))
                                                + ")"
                                          : std::string())
                       + ".");
    }
    report.addNote("Raw: pgbench -n -M prepared -c C -j 2 -T " + std::to_string(seconds) + " over C connections, "
                   "each client on its own rows, running per transaction the statement the server sends for a "
                   "one-row save on its own: `" + rawStatement(s, Raw::Save) + "` (the row, its operation and "
                   "its item); beside it the bare `" + rawStatement(s, Raw::Bare) + "`, reported, and the save "
                   "again with -j C, one pgbench thread per connection waiting on it alone as each of ours does, "
                   "reported. Ours: C threads "
                   "of the benchmark process, each with its own connection, calling SetCliente with a one-row "
                   "change set on its own rows; fiscal-server with --workers " + std::to_string(workers) + ", which "
                   "sends the saves that arrive together as one statement. Each round runs the four sides for "
                   + std::to_string(seconds) + " s, rotating which goes first; the table shows the medians of "
                   + std::to_string(pairs) + " rounds and the spread of their ratios. All share the 2 cores with "
                   "the database server. Before each side the clients are reset, the history rows the sides added "
                   "removed and the tables vacuumed."
                   + std::string(postmasterOf(o) ? " PostgreSQL: the CPU of the cluster's processes while a side ran, "
                                                   "for pgbench with its connections' start." : ""));
    if (flushed)
        report.addNote("The cluster keeps PostgreSQL's defaults (fsync, synchronous_commit and full_page_writes on): "
                       "each commit, ours and pgbench's, returns once its WAL is on the disk, as on a deployed "
                       "database. The goals are judged on the cluster of the benchmarks, which does not flush.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_concurrent: " << e.what() << "\n";
    return 1;
}
