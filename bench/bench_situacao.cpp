// "Situação em": GetSituacaoEm of the clients' table (every client, with its group at the
// moment, today's and its last change before it) at a moment before the last of several
// bulk operations, against the raw query reading the same rows and the same history items
// through the storage library. Three CadastroAutomatico runs over every client make the
// history (each a bulk operation of 500,000 items); the moment falls between the last two,
// so every client's group then comes from the last run's items. Changes the database: run
// it on a copy.
//
//   bench_situacao --db DB --server FISCAL_SERVER [--out FILE] [--runs 3] [--budget 900]

#include "benchsupport.h"

#include "appserver/history/situation.h"
#include "dataset/packet.h"

#include <QDateTime>

#include <iostream>
#include <thread>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

std::string utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 3);
    const Deadline deadline(o.number("budget", 900));

    auto conn = storage::open(db);
    const std::vector<std::string> groups = fiscalGroups(*conn, 3, true);
    const std::int64_t clients = count(*conn, "SELECT COUNT(*) FROM CLIENTE");

    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    const auto everyClient = [&](const std::string &group) {
        callOk(client, kCadAutParGrpFis, "CadastroAutomatico",
               QCborArray{QStringLiteral("CLIENTE"), QString::fromStdString(group), QString(), QStringLiteral("T"),
                          QString(), QString(), QString()});
    };
    everyClient(groups[0]);
    everyClient(groups[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string moment = utcNow();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    everyClient(groups[2]);
    const std::int64_t bulk = count(*conn, "SELECT COUNT(*) FROM HISTOPERACAO WHERE FLLOTE = 'S'");
    const std::int64_t items = count(*conn, "SELECT COUNT(*) FROM HISTITEM");

    auto raw = conn->prepare(appserver::history::situationStatement("CLIENTE", conn->backend()));
    auto cut = conn->prepare("SELECT MIN(IDOPERACAO) FROM HISTOPERACAO WHERE DTOPERACAO > $1");
    const QCborArray args{QStringLiteral("CLIENTE"), QString(), QString(), QString(), QString::fromStdString(moment)};
    std::vector<double> rawTimes, oursTimes;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < 2; ++side) {
            std::int64_t rows = 0, then = 0;
            const bool rawSide = (side + i) % 2 == 0;
            const auto t0 = Clock::now();
            if (rawSide) {
                storage::Transaction tx(*conn);
                cut->bind(1, moment);
                cut->step();
                const std::string first(cut->text(0));
                cut->reset();
                raw->bindInt(1, std::stoll(first));
                while (raw->step()) {
                    ++rows;
                    then += raw->text(5) == groups[1] ? 1 : 0;
                }
                tx.commit();
                rawTimes.push_back(secondsSince(t0));
            } else {
                const rpc::Reply r = callOk(client, kHistorico, "GetSituacaoEm", args);
                const dataset::DataPacket p = dataset::DataPacket::readCbor(r.resultCbor());
                oursTimes.push_back(secondsSince(t0));
                rows = p.rows.size();
                for (qsizetype k = 0; k < p.rows.size(); ++k)
                    then += p.rows.ref(k).text(5) == QString::fromStdString(groups[1]) ? 1 : 0;
            }
            if (rows != clients || then != clients)
                throw std::runtime_error(std::string(rawSide ? "raw" : "ours") + " read "
                                         + std::to_string(rows) + " rows, " + std::to_string(then)
                                         + " with the group of the moment");
        }
    }
    const long serverPeak = peakKiB(server.pid());
    server.stop();
    if (rawTimes.empty() || oursTimes.empty())
        throw std::runtime_error("no run finished within the budget");

    Report report("\"Situação em\": GetSituacaoEm of every client (" + engineName(db) + ")");
    const double ratio = median(oursTimes) / median(rawTimes);
    report.add({fmtCount(double(clients)) + " clients at a moment before the last of " + std::to_string(bulk)
                    + " bulk operations (median of " + std::to_string(oursTimes.size()) + ")",
                fmtMs(median(rawTimes)), fmtMs(median(oursTimes)), ratio, "≤ 2×", ratio <= 2.0,
                "server " + fmtMiB(serverPeak)});
    report.addNote("History: " + fmtCount(double(items)) + " items in all. Raw: the statement the server runs, "
                   "reading the same rows and the same items (every client in the grid's order; each one's first "
                   "item after the moment and its last operation before it, sought by key in the record index and "
                   "in each bulk operation's items), with the first operation after the moment looked up first, "
                   "through the storage library in a transaction, every row read. Ours: GetSituacaoEm over HTTP, the packet decoded by the client as "
                   "the window loads it. Runs alternate between the two sides. Spread: raw " + fmtSpread(rawTimes)
                   + ", ours " + fmtSpread(oursTimes) + ".");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_situacao: " << e.what() << "\n";
    return 1;
}
