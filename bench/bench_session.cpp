// Signing in and checking sessions.
//
// A sign-in (Entrar over HTTP) against the raw work it cannot avoid, one Argon2id check of
// the password in this process; the server's memory through a storm of sign-ins at once,
// against what the hashes allowed at once may take. And the cost of the session on every
// call: the same one-row save (SetCliente) on a server that checks a session and on one
// without sign-in, calls alternating one by one, against the raw single-row UPDATE.
//
//   bench_session --db DB --server FISCAL_SERVER [--out FILE] [--calls 2000] [--signins 20]
//                 [--storm 100] [--budget 600]

#include "benchsupport.h"
#include "clientrows.h"

#include "appserver/access/accounts.h"
#include "appserver/access/passwords.h"

#include <QCborValue>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

const char kUser[] = "bench-sessao";
// What a storm costs besides the hashes (the connections' buffers, the waiting requests):
// the same allowance the sign-in test gives the server.
constexpr long kServerSlackKiB = 48 * 1024;
const char kPassword[] = "senha-do-benchmark";

void removeUser(storage::Connection &c)
{
    storage::Transaction t(c);
    for (const char *sql : {"DELETE FROM SESSAO WHERE NMUSUARIO = $1", "DELETE FROM AUDITORIA WHERE NMUSUARIO = $1",
                            "DELETE FROM USUARIO WHERE NMUSUARIO = $1"}) {
        auto st = c.prepare(sql);
        st->bind(1, kUser);
        st->execute();
    }
    t.commit();
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const std::string exe = o.require("server");
    const int calls = o.integer("calls", 2000);
    const int signIns = std::max(1, o.integer("signins", 20));
    const int storm = std::max(1, o.integer("storm", 100));
    const Deadline deadline(o.number("budget", 600));
    constexpr int kWorkers = 4;

    auto conn = storage::open(db);
    removeUser(*conn);
    {
        appserver::access::User u;
        u.login = kUser;
        u.name = kUser;
        u.role = appserver::access::Role::Operador;
        u.passwordHash = appserver::access::hashPassword(kPassword);
        storage::Transaction t(*conn);
        appserver::access::createUser(*conn, u);
        t.commit();
    }
    std::string stored;
    {
        auto st = conn->prepare("SELECT DSSENHA FROM USUARIO WHERE NMUSUARIO = $1");
        st->bind(1, kUser);
        st->step();
        stored = std::string(st->text(0));
    }

    ServerChild signed_(exe, db, kWorkers, "usuarios");
    ServerChild open_(exe, db, kWorkers, "nenhuma");
    rpc::Client withSession(QStringLiteral("127.0.0.1"), signed_.port());

    // ---- one sign-in at a time ----
    std::vector<double> rawTimes, oursTimes;
    std::string token;
    for (int i = 0; i < signIns && !deadline.passed(); ++i) {
        auto t0 = Clock::now();
        if (!appserver::access::verifyPassword(stored, kPassword))
            throw std::runtime_error("the stored hash does not verify");
        rawTimes.push_back(secondsSince(t0));
        rpc::Client fresh(QStringLiteral("127.0.0.1"), signed_.port());
        t0 = Clock::now();
        token = signIn(fresh, kUser, kPassword);
        oursTimes.push_back(secondsSince(t0));
    }
    const long before = residentKiB(signed_.pid());

    // ---- a storm of sign-ins at once ----
    std::atomic<int> failed{0};
    std::atomic<long> peak{0};
    std::atomic<bool> stormDone{false};
    std::thread watch([&] {
        while (!stormDone) {
            peak = std::max(peak.load(), residentKiB(signed_.pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const auto stormStart = Clock::now();
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < storm; ++i)
            threads.emplace_back([&] {
                try {
                    rpc::Client c(QStringLiteral("127.0.0.1"), signed_.port());
                    signIn(c, kUser, kPassword);
                } catch (...) {
                    ++failed;
                }
            });
        for (auto &t : threads)
            t.join();
    }
    const double stormSeconds = secondsSince(stormStart);
    stormDone = true;
    watch.join();
    const long hashKiB = long(appserver::access::hashMemory() / 1024);
    const long grown = std::max(0L, peak.load() - before);

    // ---- the session on every call: the same save with and without one ----
    std::vector<ClientRow> a = pickClients(*conn, calls, 0);
    std::vector<ClientRow> b = pickClients(*conn, calls, 1);
    rpc::Client withSessionSaves(QStringLiteral("127.0.0.1"), signed_.port(), QString::fromStdString(token));
    rpc::Client without(QStringLiteral("127.0.0.1"), open_.port());
    auto update = conn->prepare(kRawUpdate);
    std::vector<double> sessionTimes, plainTimes, rawSaveTimes;
    int done = 0;
    for (; done < calls && !deadline.passed(); ++done) {
        // Which side goes first alternates, so neither always follows the other.
        const auto one = [&](rpc::Client &c, const ClientRow &row, std::vector<double> &times) {
            const auto t0 = Clock::now();
            callOk(c, kParamGrupFiscal, "SetCliente", changeSetFor(row));
            times.push_back(secondsSince(t0));
        };
        if (done % 2) {
            one(withSessionSaves, a[size_t(done)], sessionTimes);
            one(without, b[size_t(done)], plainTimes);
        } else {
            one(without, b[size_t(done)], plainTimes);
            one(withSessionSaves, a[size_t(done)], sessionTimes);
        }
        const ClientRow &r = a[size_t(done)];
        rawSaveTimes.push_back(rawSave(*conn, *update, *r.row[2], r.newGroup, r.group));
    }
    const long serverPeak = peakKiB(signed_.pid());
    signed_.stop();
    open_.stop();
    // Every row back as it was (a's went back with the raw saves).
    for (int k = 0; k < done; ++k)
        rawSave(*conn, *update, *b[size_t(k)].row[2], b[size_t(k)].newGroup, b[size_t(k)].group);
    removeUser(*conn);

    Report report("Sign-in and sessions (" + engineName(db) + ")");
    const double rawP50 = percentile(rawTimes, 50), oursP50 = percentile(oursTimes, 50);
    report.add({"p50 per sign-in, " + std::to_string(oursTimes.size()) + " one after the other", fmtMs(rawP50),
                fmtMs(oursP50), oursP50 / rawP50, "(reported)", {}, ""});
    report.add({std::to_string(storm) + " sign-ins at once: server memory growth", fmtMiB(long(kWorkers) * hashKiB),
                fmtMiB(grown), double(grown) / double(kWorkers * hashKiB),
                "≤ " + std::to_string(kWorkers) + " hashes (" + fmtMiB(kWorkers * hashKiB) + ") + "
                    + fmtMiB(kServerSlackKiB) + " for the connections",
                grown <= kWorkers * hashKiB + kServerSlackKiB && failed == 0,
                "all in " + fmtMs(stormSeconds) + ", " + std::to_string(failed.load()) + " failed"});
    const double plainP50 = percentile(plainTimes, 50), sessionP50 = percentile(sessionTimes, 50);
    report.add({"p50 per one-row save, " + std::to_string(done) + " calls each: without a session / with one",
                fmtMs(plainP50), fmtMs(sessionP50), sessionP50 / plainP50, "≤ 1.02×", sessionP50 <= 1.02 * plainP50,
                "raw UPDATE p50 " + fmtMs(percentile(rawSaveTimes, 50)) + "; server " + fmtMiB(serverPeak)});
    report.addNote("Sign-in raw: one Argon2id check of the password (libsodium's interactive limits, "
                   + fmtMiB(hashKiB) + ") in the benchmark process; ours: Entrar over HTTP on a new connection "
                   "(the failures of the login and the address read, the check, the session written). The storm: "
                   + std::to_string(storm) + " clients calling Entrar at once on a server with " + std::to_string(kWorkers)
                   + " threads, its resident memory sampled every 5 ms against what it held before. The session's "
                   "cost: SetCliente with a one-row change set on a server with --auth usuarios and a session token "
                   "(checked against the database at most once a second, else from memory) and on one with --auth "
                   "nenhuma, over the same database, calls alternating one by one; the raw single-row UPDATE "
                   "transaction is the floor of both.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_session: " << e.what() << "\n";
    return 1;
}
