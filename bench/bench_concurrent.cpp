// Concurrent saving on PostgreSQL: N client threads, each with its own rpc::Client, calling
// SetCliente on rows no other thread touches, for a fixed time; against pgbench with the
// same number of clients running the same single-row UPDATE transaction (prepared).
// Before each side every client holds the first group and the table is vacuumed, so both
// find the same table; each call moves one client from the first group to the second.
//
//   bench_concurrent --db postgresql://... --server FISCAL_SERVER [--out FILE]
//                    [--clients 32] [--seconds 10] [--workers 4] [--pgbench pgbench]

#include "benchsupport.h"

#include "dataset/packet.h"

#include <QCborValue>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <regex>
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
               << "BEGIN;\n"
               << "UPDATE CLIENTE SET CDGRUPOFISC = :to WHERE CDCLIENTE = lpad(:id::text, " << s.codeWidth
               << ", '0') AND CDGRUPOFISC IS NOT DISTINCT FROM :from;\n"
               << "COMMIT;\n";
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

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    if (!isPostgres(db))
        throw std::runtime_error("this benchmark runs on PostgreSQL only");
    const int clients = o.integer("clients", 32);
    const int seconds = o.integer("seconds", 10);

    auto conn = storage::open(db);
    const ClientMoves s = ClientMoves::read(*conn);
    const std::int64_t perClient = s.clients / clients;

    resetTable(*conn, s);
    const PgbenchResult pgbench = runPgbench(o, db, s, clients, seconds, perClient);
    const double pgbenchTps = pgbench.tps;
    // Each transaction must have moved a row of its own; otherwise the script measured
    // something else (a client repeating one row changes nothing after the first time).
    const std::int64_t movedRaw = count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {s.to});
    if (pgbench.transactions <= std::int64_t(clients) * perClient && movedRaw != pgbench.transactions)
        throw std::runtime_error("pgbench ran " + std::to_string(pgbench.transactions) + " transactions but changed "
                                 + std::to_string(movedRaw) + " rows");
    resetTable(*conn, s);
    const OursResult ours = runOurs(o, db, s, clients, seconds, perClient);
    if (!ours.failure.empty())
        throw std::runtime_error("a client failed: " + ours.failure);
    const std::int64_t moved = count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {s.to});
    resetTable(*conn, s);
    if (moved < ours.calls)
        throw std::runtime_error("fewer rows changed (" + std::to_string(moved) + ") than calls answered");

    const double oursRate = double(ours.calls) / ours.seconds;
    Report report("Concurrent saving: " + std::to_string(clients) + " clients (PostgreSQL)");
    report.add({"SetCliente, " + std::to_string(clients) + " clients, " + std::to_string(seconds) + " s",
                fmtCount(pgbenchTps) + " tx/s", fmtCount(oursRate) + " calls/s", oursRate / pgbenchTps,
                "≥ 0.60×", oursRate / pgbenchTps >= 0.6, "server " + fmtMiB(ours.serverPeak)});
    report.addNote("Raw: pgbench -n -M prepared -c " + std::to_string(clients) + " -j 2 -T " + std::to_string(seconds)
                   + " with a script running `BEGIN; UPDATE CLIENTE SET CDGRUPOFISC = :to WHERE CDCLIENTE = "
                   "lpad(:id::text, " + std::to_string(s.codeWidth) + ", '0') AND CDGRUPOFISC IS NOT DISTINCT FROM :from; "
                   "COMMIT`, each client on its own rows. Ours: " + std::to_string(clients) + " threads of the benchmark process, each with its own "
                   "connection, calling SetCliente with a one-row change set on its own rows; fiscal-server with "
                   "--workers " + std::to_string(o.integer("workers", 4)) + ". Both sides share the 2 cores with the "
                   "database server. The table is reset and vacuumed before each side.");
    report.addNote("CPU per call while the clock ran: fiscal-server " + fmtMs(ours.serverCpu / double(ours.calls))
                   + ", the 32 client threads " + fmtMs(ours.clientCpu / double(ours.calls))
                   + " (the two cores give at most " + fmtMs(2.0 / oursRate) + " of CPU per call at this rate).");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_concurrent: " << e.what() << "\n";
    return 1;
}
