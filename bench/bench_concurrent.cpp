// Concurrent saving on PostgreSQL: C client threads, each with its own rpc::Client, calling
// SetCliente on rows no other thread touches, for a fixed time; against pgbench over C
// connections running the statement a one-row save is, the single UPDATE in autocommit
// (prepared). For each client count the two sides run in several pairs, alternating which
// goes first, and each pair gives a ratio: the table shows the median and the spread.
// Before each side every client holds the first group and the table is vacuumed, so both
// find the same table; each call moves one client from the first group to the second.
//
//   bench_concurrent --db postgresql://... --server FISCAL_SERVER [--out FILE]
//                    [--clients 4,8,32] [--pairs 3] [--seconds 5] [--workers 4] [--pgbench pgbench]

#include "benchsupport.h"

#include "dataset/packet.h"

#include <QCborValue>

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

void resetTable(storage::Connection &c, const ClientMoves &s)
{
    s.reset(c);
    c.exec("VACUUM ANALYZE CLIENTE");
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

// What a one-row save sends, as pgbench runs it.
std::string rawStatement(const ClientMoves &s)
{
    return "UPDATE CLIENTE SET CDGRUPOFISC = :to WHERE CDCLIENTE = lpad(:id::text, " + std::to_string(s.codeWidth)
           + ", '0') AND CDGRUPOFISC IS NOT DISTINCT FROM :from";
}

struct PgbenchResult {
    double tps = 0;
    std::int64_t transactions = 0;
};

PgbenchResult runPgbench(const Options &o, const std::string &db, const ClientMoves &s, int clients, int seconds,
                  std::int64_t perClient)
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
               << rawStatement(s) << ";\n";
    }
    const std::string command = o.get("pgbench", "pgbench") + " -n -M prepared -c " + std::to_string(clients)
                                + " -j 2 -T " + std::to_string(seconds) + " -D n=0 -D to=" + s.to
                                + " -D from=" + s.from + " -f " + path + " " + shellQuote(db) + " 2>&1";
    std::string out;
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
                while (!go)
                    std::this_thread::yield();
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
    const auto t0 = Clock::now();
    go = true;
    const Deadline deadline(seconds);
    while (!deadline.passed() && !stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::int64_t counted = calls.load();
    const double elapsed = secondsSince(t0);
    const double serverCpu = cpuSeconds(server.pid()) - serverCpu0;
    const double clientCpu = cpuSeconds(getpid()) - clientCpu0;
    stop = true;
    for (std::thread &th : threads)
        th.join();
    OursResult r{counted, elapsed, peakKiB(server.pid()), failure, serverCpu, clientCpu};
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

    auto conn = storage::open(db);
    const ClientMoves s = ClientMoves::read(*conn);

    Report report("Concurrent saving: " + std::to_string(pairs) + " alternated pairs per client count (PostgreSQL)");
    for (const int clients : counts) {
        const std::int64_t perClient = s.clients / clients;
        std::vector<double> rawRates, oursRates, ratios;
        double serverCpu = 0, clientCpu = 0;
        std::int64_t oursCalls = 0;
        long serverPeak = 0;
        for (int pair = 0; pair < pairs; ++pair) {
            double raw = 0, ours = 0;
            // Alternate who goes first, so that neither always follows the other's traffic.
            for (int side = 0; side < 2; ++side) {
                resetTable(*conn, s);
                if ((side == 0) == (pair % 2 == 0)) {
                    const PgbenchResult r = runPgbench(o, db, s, clients, seconds, perClient);
                    // Each statement must have moved a row of its own; otherwise the script
                    // measured something else (a repeated row changes nothing the second time).
                    const std::int64_t moved = count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {s.to});
                    if (r.transactions <= std::int64_t(clients) * perClient && moved != r.transactions)
                        throw std::runtime_error("pgbench ran " + std::to_string(r.transactions)
                                                 + " statements but changed " + std::to_string(moved) + " rows");
                    raw = r.tps;
                } else {
                    const OursResult r = runOurs(o, db, s, clients, seconds, perClient);
                    if (!r.failure.empty())
                        throw std::runtime_error("a client failed: " + r.failure);
                    const std::int64_t moved = count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {s.to});
                    if (moved < r.calls)
                        throw std::runtime_error("fewer rows changed (" + std::to_string(moved) + ") than calls answered");
                    ours = double(r.calls) / r.seconds;
                    serverCpu += r.serverCpu;
                    clientCpu += r.clientCpu;
                    oursCalls += r.calls;
                    serverPeak = std::max(serverPeak, r.serverPeak);
                }
            }
            rawRates.push_back(raw);
            oursRates.push_back(ours);
            ratios.push_back(ours / raw);
            std::cerr << "bench_concurrent: " << clients << " clients, pair " << pair + 1 << ": pgbench "
                      << fmtCount(raw) << " tx/s, ours " << fmtCount(ours) << " calls/s\n";
        }
        resetTable(*conn, s);
        const double ratio = median(ratios);
        const bool goal = clients == 32;
        report.add({"SetCliente, " + std::to_string(clients) + " clients (ratio spread " + spread(ratios) + ")",
                    fmtCount(median(rawRates)) + " tx/s", fmtCount(median(oursRates)) + " calls/s", ratio,
                    goal ? "≥ 1.00×" : "(reported)", goal ? std::optional<bool>(ratio >= 1.0) : std::nullopt,
                    "server " + fmtMiB(serverPeak)});
        report.addNote("CPU per call at " + std::to_string(clients) + " clients: fiscal-server "
                       + fmtMs(serverCpu / double(oursCalls)) + ", the client threads "
                       + fmtMs(clientCpu / double(oursCalls)) + ".");
    }
    report.addNote("Raw: pgbench -n -M prepared -c C -j 2 -T " + std::to_string(seconds) + " running `"
                   + rawStatement(s) + "` in autocommit, the statement a one-row save is, each client on its own "
                   "rows, over C connections. Ours: C threads of the benchmark process, each with its own connection, "
                   "calling SetCliente with a one-row change set on its own rows; fiscal-server with --workers "
                   + std::to_string(workers) + ", which sends the saves that arrive together as one statement. Each "
                   "pair runs both sides for " + std::to_string(seconds) + " s, alternating which goes first; the "
                   "table shows the medians of " + std::to_string(pairs) + " pairs and the spread of their ratios. "
                   "Both sides share the 2 cores with the database server. The table is reset and vacuumed before "
                   "each side.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_concurrent: " << e.what() << "\n";
    return 1;
}
