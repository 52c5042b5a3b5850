// Replication: Replica of one registration's supplier parameters (about 90,000 rows on the
// large demo, each recorded in the history) to a registration of another company, against
// the raw INSERT ... SELECT doing the same copy in key order (and, reported, in the order the
// origin is read); and its preview (SimulaReplica) against the
// raw count of the rows it would insert. Both destinations must be empty at the start and
// are emptied again (untimed) before every run and at the end.
//
//   bench_replica --db DB --server FISCAL_SERVER [--out FILE] [--runs 5] [--budget 900]
//                 [--tax 01] [--company 01] [--dest-company 03]

#include "benchsupport.h"

#include <iostream>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

QString quotedList(const std::string &key)
{
    return QStringLiteral("'%1'").arg(QString::fromStdString(key).replace(QLatin1Char('\''), QStringLiteral("''")));
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 5);   // five: one slow phase of the host moves a median of three
    const Deadline deadline(o.number("budget", 900));
    const std::string tax = o.get("tax", "01");
    const std::string company = o.get("company", "01");
    const std::string destCompany = o.get("dest-company", "03");

    auto conn = storage::open(db);
    // The origin: the registration of the company with the most supplier rows for the tax.
    const std::string origin = busiestRegistration(*conn, tax, company);
    const std::int64_t rows = count(*conn,
        "SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3",
        {tax, company, origin});
    std::vector<std::string> dests;
    {
        auto st = conn->prepare("SELECT CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = $1 ORDER BY CDINSCESTA LIMIT 2");
        st->bind(1, destCompany);
        while (st->step())
            dests.emplace_back(st->text(0));
    }
    if (dests.size() < 2)
        throw std::runtime_error("company " + destCompany + " needs two state registrations");

    const std::string inDestinations = " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA IN ($3, $4)";
    if (count(*conn, "SELECT COUNT(*) FROM GRFISIMPIEFORN" + inDestinations, {tax, destCompany, dests[0], dests[1]}))
        throw std::runtime_error("the destination registrations of company " + destCompany + " are not empty");
    auto clear = conn->prepare("DELETE FROM GRFISIMPIEFORN" + inDestinations);
    const auto clearDestinations = [&] {
        storage::Transaction tx(*conn);
        clear->bind(1, tax);
        clear->bind(2, destCompany);
        clear->bind(3, dests[0]);
        clear->bind(4, dests[1]);
        clear->execute();
        tx.commit();
    };
    // Two raw copies: in key order, as the call copies, and in whatever order the database
    // reads the origin (by its group index), which scatters the rows over the key's index.
    const std::string copySql =
        "INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC)"
        " SELECT CDIMPOSTO, $1, $2, CDFORNECED, CDGRUPOFISC FROM GRFISIMPIEFORN"
        " WHERE CDIMPOSTO = $3 AND CDEMPRESA = $4 AND CDINSCESTA = $5";
    auto copyInKeyOrder = conn->prepare(copySql + " ORDER BY CDFORNECED");
    auto copyAsRead = conn->prepare(copySql);
    auto clearRaw = conn->prepare("DELETE FROM GRFISIMPIEFORN WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3");
    // Every side finds the tables vacuumed and the log checkpointed: otherwise the dead rows and
    // the log of the sides before (and of the benchmarks before) slow whichever side the
    // autovacuum or the checkpoint lands in.
    const auto settle = [&] {
        if (isPostgres(db)) {
            conn->exec("VACUUM ANALYZE GRFISIMPIEFORN, HISTOPERACAO, HISTITEM");
            conn->exec("CHECKPOINT");
        }
    };
    const auto rawCopy = [&](storage::Statement &copy, std::vector<double> &times) {
        {
            storage::Transaction tx(*conn);
            clearRaw->bind(1, tax);
            clearRaw->bind(2, destCompany);
            clearRaw->bind(3, dests[1]);
            clearRaw->execute();
            tx.commit();
        }
        settle();
        const auto t0 = Clock::now();
        storage::Transaction tx(*conn);
        copy.bind(1, destCompany);
        copy.bind(2, dests[1]);
        copy.bind(3, tax);
        copy.bind(4, company);
        copy.bind(5, origin);
        const std::int64_t n = copy.execute();
        tx.commit();
        times.push_back(secondsSince(t0));
        if (n != rows)
            throw std::runtime_error("the raw copy wrote " + std::to_string(n) + " rows");
    };

    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    callOk(client, kParamGrupFiscal, "GetGrupoFiscal", QCborArray{QStringLiteral("001")});

    const QCborArray replicaArgs{QString::fromStdString(tax), QString::fromStdString(company),
                                 QString::fromStdString(origin), QStringLiteral("T"),
                                 QString::fromStdString(destCompany), quotedList(dests[0]), true, false};
    auto toInsert = conn->prepare(
        "SELECT COUNT(*) FROM GRFISIMPIEFORN o WHERE o.CDIMPOSTO = $1 AND o.CDEMPRESA = $2 AND o.CDINSCESTA = $3"
        " AND NOT EXISTS (SELECT 1 FROM GRFISIMPIEFORN d WHERE d.CDIMPOSTO = $1 AND d.CDEMPRESA = $4"
        " AND d.CDINSCESTA = $5 AND d.CDFORNECED = o.CDFORNECED)");
    std::vector<double> rawTimes, asReadTimes, oursTimes, countTimes, previewTimes;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        clearDestinations();
        // The preview of the copy into the empty destination, against counting those rows.
        auto t0 = Clock::now();
        toInsert->reset();
        int param = 1;
        for (const std::string &v : {tax, company, origin, destCompany, dests[0]})
            toInsert->bind(param++, v);
        toInsert->step();
        const std::string counted(toInsert->text(0));
        toInsert->reset();   // a statement left open keeps its read snapshot, and the writes behind it fail
        countTimes.push_back(secondsSince(t0));
        t0 = Clock::now();
        const rpc::Reply preview = callOk(client, kParamGrupFiscal, "SimulaReplica", replicaArgs);
        previewTimes.push_back(secondsSince(t0));
        const QString previewed = packetValue(preview, 0, 2);
        if (previewed.toStdString() != counted || std::stoll(counted) != rows)
            throw std::runtime_error("the preview counted " + previewed.toStdString() + " rows, not " + counted);
        for (int side = 0; side < 3; ++side) {
            switch ((side + i) % 3) {
            case 0: rawCopy(*copyInKeyOrder, rawTimes); break;
            case 1: rawCopy(*copyAsRead, asReadTimes); break;
            default: {
                settle();
                const auto t0 = Clock::now();
                const rpc::Reply r = callOk(client, kParamGrupFiscal, "Replica", replicaArgs);
                oursTimes.push_back(secondsSince(t0));
                if (r.value().toInteger() != rows)
                    throw std::runtime_error("Replica wrote " + std::to_string(r.value().toInteger()) + " rows");
            }
            }
        }
        std::cerr << "bench_replica: run " << i + 1 << ": raw " << fmtMs(rawTimes.back()) << ", as read "
                  << fmtMs(asReadTimes.back()) << ", ours " << fmtMs(oursTimes.back()) << "\n";
    }
    const long serverPeak = peakKiB(server.pid());
    server.stop();
    // Leave the two destinations as they were found: empty.
    clearDestinations();

    const double rawMed = median(rawTimes), asReadMed = median(asReadTimes), oursMed = median(oursTimes);
    const double countMed = median(countTimes), previewMed = median(previewTimes);
    Report report("Replication: Replica (" + engineName(db) + ")");
    report.add({fmtCount(double(rows)) + " rows copied (median of " + std::to_string(oursTimes.size()) + ")",
                fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, "≤ 1.3×", oursMed / rawMed <= 1.3,
                "server " + fmtMiB(serverPeak)});
    report.add({"The same against the raw copy in the order the origin is read", fmtMs(asReadMed), fmtMs(oursMed),
                oursMed / asReadMed, "(reported)", std::nullopt, ""});
    report.add({"SimulaReplica, the same call previewed (median of " + std::to_string(previewTimes.size()) + ")",
                fmtMs(countMed), fmtMs(previewMed), previewMed / countMed, "< 1 s", previewMed < 1.0, ""});
    report.addNote("Raw: `BEGIN; INSERT INTO GRFISIMPIEFORN (...) SELECT ... WHERE <origin> ORDER BY CDFORNECED; "
                   "COMMIT` through the storage library, into an empty registration; beside it, reported, the same "
                   "without `ORDER BY`, which reads the origin by its group index and so inserts out of key order. "
                   "Ours: Replica over HTTP (checks, origin and "
                   "destinations into temporary tables, the history of every destination row it inserts, changes "
                   "or deletes, delete of the destination, the INSERT ... SELECT), into another empty registration "
                   "of the same company. Runs rotate among the three sides; on PostgreSQL the tables are vacuumed "
                   "and the log checkpointed before each side. The preview's raw side is the "
                   "`SELECT COUNT(*)` of the origin rows missing from the destination.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_replica: " << e.what() << "\n";
    return 1;
}
