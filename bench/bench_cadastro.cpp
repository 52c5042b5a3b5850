// Automatic registration: CadastroAutomatico "CLIENTE" mode "T" (one group for every
// client) against the raw UPDATE CLIENTE SET CDGRUPOFISC = $1 in one transaction. Each run
// of either side sets a group no client holds yet, so every row really changes. Changes
// the database: run it on a copy.
//
//   bench_cadastro --db DB --server FISCAL_SERVER [--out FILE] [--runs 3] [--budget 900]

#include "benchsupport.h"

#include <iostream>

using namespace fiscal;
using namespace fiscal::bench;

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 3);
    const Deadline deadline(o.number("budget", 900));

    auto conn = storage::open(db);
    std::vector<std::string> groups;
    {
        auto st = conn->prepare("SELECT CDGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC");
        while (st->step())
            groups.emplace_back(st->text(0));
    }
    if (groups.size() < 2)
        throw std::runtime_error("the database needs at least two fiscal groups");
    const std::int64_t clients = count(*conn, "SELECT COUNT(*) FROM CLIENTE");
    auto update = conn->prepare("UPDATE CLIENTE SET CDGRUPOFISC = $1");

    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    callOk(client, kCadAutParGrpFis, "GetGrupoFiscal", QCborArray{QStringLiteral("001")});

    // Every run takes the next group, so neither side ever finds the rows already set.
    size_t nextGroup = 0;
    const auto takeGroup = [&] { return groups[nextGroup++ % groups.size()]; };
    const auto everyClientHas = [&](const std::string &g) {
        return count(*conn, "SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC = $1", {g}) == clients;
    };

    std::vector<double> rawTimes, oursTimes;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < 2; ++side) {
            const std::string g = takeGroup();
            if ((side + i) % 2 == 0) {
                const auto t0 = Clock::now();
                storage::Transaction tx(*conn);
                update->bind(1, g);
                const std::int64_t n = update->execute();
                tx.commit();
                rawTimes.push_back(secondsSince(t0));
                if (n != clients)
                    throw std::runtime_error("the raw UPDATE changed " + std::to_string(n) + " rows");
            } else {
                const auto t0 = Clock::now();
                callOk(client, kCadAutParGrpFis, "CadastroAutomatico",
                       QCborArray{QStringLiteral("CLIENTE"), QString::fromStdString(g), QString(), QStringLiteral("T"),
                                  QString(), QString(), QString()});
                oursTimes.push_back(secondsSince(t0));
            }
            if (!everyClientHas(g))
                throw std::runtime_error("not every client holds group " + g + " after the run");
        }
    }
    const long serverPeak = peakKiB(server.pid());
    server.stop();

    const double rawMed = median(rawTimes), oursMed = median(oursTimes);
    Report report("Automatic registration: CadastroAutomatico CLIENTE T (" + engineName(db) + ")");
    report.add({fmtCount(double(clients)) + " clients (median of " + std::to_string(oursTimes.size()) + ")",
                fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, "≤ 1.2×", oursMed / rawMed <= 1.2,
                "server " + fmtMiB(serverPeak)});
    report.addNote("Raw: `BEGIN; UPDATE CLIENTE SET CDGRUPOFISC = $1; COMMIT` through the storage library. "
                   "Ours: the call over HTTP (argument checks, group check, the set-based UPDATE, commit). "
                   "Runs alternate between the two sides; each run sets a group no client holds yet.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_cadastro: " << e.what() << "\n";
    return 1;
}
