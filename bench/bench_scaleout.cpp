// Scale-out on PostgreSQL: the throughput of one-row saves and of GetDados through nginx
// (the shipped site, TLS, tests/support/nginx-proxy.sh) with one and with two fiscal-server
// processes, against the same calls straight to one server over plain HTTP. Each
// configuration runs `--rounds` times, in a rotating order, and the CPU each part used
// while the clock ran is measured, so that the cost per call tells what more cores give.
//
//   bench_scaleout --db postgresql://.../fiscal --server FISCAL_SERVER --proxy nginx-proxy.sh
//                  --pg-pid-file DATADIR/postmaster.pid [--out FILE] [--clients 16]
//                  [--seconds 6] [--rounds 2] [--workers 4]
//
// Saves and the large GetDados run on --db (the large demo); the small GetDados on a small
// demo database the benchmark creates beside it and drops afterwards. The servers require
// sign-in, as behind the shipped site (which lets nothing but the sign-in through without a
// token): every client thread signs in as a demo user before the clock starts, on every
// configuration, so that only the road differs.

#include "benchsupport.h"

#include "dataset/packet.h"

#include <QCborValue>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <iostream>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

// nginx in front of the given servers, from the shipped site.
class Proxy {
public:
    Proxy(const std::string &script, const std::vector<std::uint16_t> &ports) : m_script(script)
    {
        char dir[] = "/tmp/fiscal-bench-nginx.XXXXXX";
        if (!mkdtemp(dir))
            throw std::runtime_error("mkdtemp failed");
        m_dir = dir;
        // All the clients come from 127.0.0.1: the site's per-address limits would measure
        // themselves, not the road.
        std::string command = "NGINX_PROXY_NO_LIMITS=1 " + shellQuote(script) + " start " + shellQuote(m_dir);
        for (std::uint16_t p : ports)
            command += " " + std::to_string(p);
        if (std::system((command + " >&2").c_str()) != 0)
            throw std::runtime_error("nginx did not start");
        std::ifstream(m_dir + "/port") >> m_port;
        m_pid = pidFromFile(m_dir + "/nginx.pid");
    }
    ~Proxy()
    {
        const std::string command = shellQuote(m_script) + " stop " + shellQuote(m_dir) + " >&2";
        if (std::system(command.c_str()) != 0)
            std::cerr << "bench_scaleout: nginx did not stop\n";
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }
    std::uint16_t port() const { return m_port; }
    std::string ca() const { return m_dir + "/ca.pem"; }
    pid_t pid() const { return m_pid; }

private:
    std::string m_script, m_dir;
    std::uint16_t m_port = 0;
    pid_t m_pid = 0;
};

// A demo user (both databases are demos): the password is the login's with "-demo".
const std::string kLogin = "operador";

enum class Config { Direct, Proxy1, Proxy2 };
const char *configName(Config c)
{
    switch (c) {
    case Config::Direct:
        return "straight to one server";
    case Config::Proxy1:
        return "through nginx, 1 server";
    case Config::Proxy2:
        break;
    }
    return "through nginx, 2 servers";
}

struct Workload {
    std::string name;
    std::string db;
    int clients;
    int seconds;
    bool save;
};

struct Measure {
    std::int64_t calls = 0;
    double seconds = 0;
    double serverCpu = 0, proxyCpu = 0, clientCpu = 0, databaseCpu = 0;
    double rate() const { return seconds > 0 ? double(calls) / seconds : 0; }
};

// Reads a result through without keeping it: the transfer is what is measured.
void discard(dataset::ByteSource &source)
{
    char buf[65536];
    while (source.read(buf, sizeof buf) > 0) {
    }
}

Measure run(const Options &o, Config config, const Workload &w, const ClientMoves &saves, pid_t postmaster)
{
    const std::string exe = o.require("server");
    const int workers = o.integer("workers", 4);
    std::vector<std::unique_ptr<ServerChild>> servers;
    servers.push_back(std::make_unique<ServerChild>(exe, w.db, workers, "usuarios"));
    if (config == Config::Proxy2)
        servers.push_back(std::make_unique<ServerChild>(exe, w.db, workers, "usuarios"));
    std::unique_ptr<Proxy> proxy;
    if (config != Config::Direct) {
        std::vector<std::uint16_t> ports;
        for (const auto &s : servers)
            ports.push_back(s->port());
        proxy = std::make_unique<Proxy>(o.require("proxy"), ports);
    }

    std::atomic<bool> go{false}, stop{false};
    std::atomic<std::int64_t> calls{0};
    std::atomic<int> ready{0};
    std::mutex failureMutex;
    std::string failure;
    std::vector<std::thread> threads;
    for (int t = 0; t < w.clients; ++t) {
        threads.emplace_back([&, t] {
            try {
                const auto open = [&](const QString &token) {
                    return proxy ? std::make_unique<rpc::Client>(QStringLiteral("127.0.0.1"), proxy->port(), token,
                                                                 rpc::TlsOptions{true, QString::fromStdString(proxy->ca())})
                                 : std::make_unique<rpc::Client>(QStringLiteral("127.0.0.1"), servers[0]->port(), token);
                };
                const std::string token = signIn(*open({}), kLogin, kLogin + "-demo");
                auto client = open(QString::fromStdString(token));
                callOk(*client, kParamGrupFiscal, "GetGrupoFiscal", QCborArray{QStringLiteral("001")});
                ++ready;
                go.wait(false);   // asleep, not spinning, while the others connect
                for (std::int64_t k = 0; !stop; ++k) {
                    if (w.save) {
                        const std::int64_t row = 1 + t + std::int64_t(w.clients) * k;
                        if (row > saves.clients)
                            break;
                        callOk(*client, kParamGrupFiscal, "SetCliente", saves.changeSet(row));
                    } else {
                        const rpc::Reply r = client->call(QString::fromStdString(kParamGrupFiscal),
                                                          QStringLiteral("GetDados"), {}, discard);
                        if (!r.ok())
                            throw std::runtime_error(r.errorMessage().toStdString());
                    }
                    if (!stop)
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
    // Every client signed in and its first call answered before the clock starts.
    const Deadline signingIn(120);
    while (ready < w.clients && !stop && !signingIn.passed())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ready < w.clients && failure.empty()) {
        stop = true;
        go = true;
        go.notify_all();
        for (std::thread &th : threads)
            th.join();
        throw std::runtime_error(std::string(configName(config)) + ", " + w.name + ": the clients did not sign in");
    }
    const auto cpu = [&](Measure &m, double sign) {
        for (const auto &s : servers)
            m.serverCpu += sign * cpuSeconds(s->pid());
        if (proxy)
            m.proxyCpu += sign * treeCpu(proxy->pid());
        m.clientCpu += sign * cpuSeconds(getpid());
        m.databaseCpu += sign * treeCpu(postmaster);
    };
    Measure m;
    cpu(m, -1);
    const std::int64_t calls0 = calls;
    const auto t0 = Clock::now();
    go = true;
    go.notify_all();
    const Deadline deadline(w.seconds);
    while (!deadline.passed() && !stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    m.calls = calls - calls0;
    m.seconds = secondsSince(t0);
    cpu(m, +1);
    stop = true;
    for (std::thread &th : threads)
        th.join();
    if (!failure.empty())
        throw std::runtime_error(std::string(configName(config)) + ", " + w.name + ": " + failure);
    return m;
}

std::string cpuPerCall(double cpu, std::int64_t calls)
{
    return calls > 0 ? fmtMs(cpu / double(calls)) : std::string("-");
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    if (!isPostgres(db))
        throw std::runtime_error("this benchmark runs on PostgreSQL only");
    const pid_t postmaster = pidFromFile(o.require("pg-pid-file"));
    const int clients = o.integer("clients", 16);
    const int seconds = o.integer("seconds", 6);
    const int rounds = o.integer("rounds", 2);

    // The small demo beside the large one, for the GetDados of a small company.
    auto conn = storage::open(db);
    const std::string smallName = "fiscal_bench_small";
    conn->exec("DROP DATABASE IF EXISTS " + smallName + " WITH (FORCE)");
    conn->exec("CREATE DATABASE " + smallName);
    const std::string smallDb = withDatabase(db, smallName);
    if (runProcess({o.require("server"), "--db", smallDb, "--init", "--demo", "small"}).exitCode != 0)
        throw std::runtime_error("cannot fill " + smallDb);

    const ClientMoves saves = ClientMoves::read(*conn);
    const std::vector<Workload> workloads{
        {"SetCliente", db, clients, seconds, true},
        {"GetDados, small demo (40 clients, 30 suppliers)", smallDb, clients, seconds, false},
        {"GetDados, large demo (3.5 million rows)", db, 2, seconds * 2, false},
    };
    const std::vector<Config> configs{Config::Direct, Config::Proxy1, Config::Proxy2};

    Report report("Scale-out: through nginx with one and two servers (PostgreSQL)");
    std::vector<std::string> costNotes;
    for (const Workload &w : workloads) {
        std::map<Config, Measure> total;
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t i = 0; i < configs.size(); ++i) {
                const Config c = configs[(i + std::size_t(r)) % configs.size()];
                if (w.save)
                    saves.reset(*conn);
                std::cerr << "bench_scaleout: " << w.name << ", " << configName(c) << ", round " << r + 1 << "\n";
                const Measure m = run(o, c, w, saves, postmaster);
                Measure &t = total[c];
                t.calls += m.calls;
                t.seconds += m.seconds;
                t.serverCpu += m.serverCpu;
                t.proxyCpu += m.proxyCpu;
                t.clientCpu += m.clientCpu;
                t.databaseCpu += m.databaseCpu;
            }
        }
        if (w.save)
            saves.reset(*conn);
        const Measure &direct = total[Config::Direct];
        const std::string who = std::to_string(w.clients) + " clients";
        for (Config c : {Config::Proxy1, Config::Proxy2}) {
            const Measure &m = total[c];
            report.add({w.name + ", " + who + ", " + configName(c), fmtCount(direct.rate()) + " calls/s",
                        fmtCount(m.rate()) + " calls/s", m.rate() / direct.rate(), "reported", std::nullopt, ""});
        }
        std::string note = "CPU per call, " + w.name + " (fiscal-server / nginx / clients / PostgreSQL):";
        for (Config c : configs) {
            const Measure &m = total[c];
            note += std::string(" ") + configName(c) + " " + cpuPerCall(m.serverCpu, m.calls) + " / "
                    + cpuPerCall(m.proxyCpu, m.calls) + " / " + cpuPerCall(m.clientCpu, m.calls) + " / "
                    + cpuPerCall(m.databaseCpu, m.calls) + ";";
        }
        costNotes.push_back(note);
    }
    conn->exec("DROP DATABASE IF EXISTS " + smallName + " WITH (FORCE)");

    report.addNote("Raw: the same calls from the same client threads straight to one fiscal-server over plain HTTP. "
                   "Ours: the same calls over HTTPS to nginx (the shipped site, tests/support/nginx-proxy.sh, 2 worker "
                   "processes, without the site's per-address limits, since every client here comes from 127.0.0.1) "
                   "in front of one, then two fiscal-server processes, each with --workers "
                   + std::to_string(o.integer("workers", 4)) + " and --auth usuarios; each client thread signs in "
                   "before the clock starts and calls with its session on every road. " + std::to_string(rounds) + " rounds of "
                   + std::to_string(seconds) + " s (GetDados large: " + std::to_string(2 * seconds)
                   + " s) per configuration, in rotating order; a save moves one client of its own from the first "
                   "group to the second. Everything shares the 2 cores.");
    for (const std::string &n : costNotes)
        report.addNote(n);
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_scaleout: " << e.what() << "\n";
    return 1;
}
