// The coverage report's counts: GetCobertura on Ger10205.rdmRelatorios over HTTP against
// the database's own tool running the grouped counts that give the same numbers (records
// and records with a group per kind; parameter rows per tax, and per tax and company
// state registration). Reads only.
//
//   bench_cobertura --db DB --server FISCAL_SERVER [--out FILE] [--runs 5] [--budget 300]
//                   [--psql PSQL]

#include "benchsupport.h"

#include "dataset/packet.h"

#include <iostream>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

const char *const kRawCounts =
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM FORNECEDOR;"
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM CLIENTE;"
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM FILIAL;"
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM TIPOOPERAC;"
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM TIPOFATUR;"
    "SELECT COUNT(*), COUNT(CDGRUPOFISC) FROM TPFATURFIS;"
    "SELECT CDIMPOSTO, COUNT(*) FROM GRFISCIMPOSFILI GROUP BY CDIMPOSTO;"
    "SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, COUNT(*) FROM GRFISIMPIEFORN GROUP BY CDIMPOSTO, CDEMPRESA, CDINSCESTA;"
    "SELECT CDIMPOSTO, CDEMPRESA, CDINSCESTA, COUNT(*) FROM GRFISIMPIECLIE GROUP BY CDIMPOSTO, CDEMPRESA, CDINSCESTA;";

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 5);
    const Deadline deadline(o.number("budget", 300));

    auto conn = storage::open(db);
    const std::int64_t rows = count(*conn, "SELECT (SELECT COUNT(*) FROM GRFISIMPIEFORN) + (SELECT COUNT(*) FROM GRFISIMPIECLIE)"
                                           " + (SELECT COUNT(*) FROM CLIENTE) + (SELECT COUNT(*) FROM FORNECEDOR)");
    std::vector<std::string> raw;
    if (isPostgres(db)) {
        raw = {o.get("psql", "psql"), "-X", "-q", "-d", db};
        std::string sql = kRawCounts;
        for (size_t start = 0, end; (end = sql.find(';', start)) != std::string::npos; start = end + 1)
            raw.insert(raw.end(), {"-c", sql.substr(start, end - start)});
    } else {
        raw = {"sqlite3", "-csv", db, kRawCounts};
    }

    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    std::vector<double> rawTimes, oursTimes;
    long rawPeak = 0;
    qsizetype answered = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < 2; ++side) {
            if ((side + i) % 2 == 0) {
                const ProcessRun r = runProcess(raw);
                if (r.exitCode != 0)
                    throw std::runtime_error("the raw counts failed");
                rawTimes.push_back(r.seconds);
                rawPeak = std::max(rawPeak, r.peakKiB);
            } else {
                const auto t0 = Clock::now();
                const rpc::Reply reply = callOk(client, "Ger10205.rdmRelatorios", "GetCobertura");
                oursTimes.push_back(secondsSince(t0));
                answered = dataset::DataPacket::readCbor(reply.resultCbor()).rows.size();
            }
        }
    }
    const long serverPeak = peakKiB(server.pid());
    server.stop();

    const double rawMed = median(rawTimes), oursMed = median(oursTimes);
    Report report("Coverage report: GetCobertura (" + engineName(db) + ")");
    report.add({fmtCount(double(answered)) + " rows over " + fmtCount(double(rows)) + " records (median of "
                    + std::to_string(oursTimes.size()) + ")",
                fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, "≤ 1.5× and < 1 s",
                oursMed / rawMed <= 1.5 && oursMed < 1.0,
                "raw " + fmtMiB(rawPeak) + "; server " + fmtMiB(serverPeak)});
    report.addNote(std::string("Raw: the database's own tool (") + (isPostgres(db) ? "`psql`" : "`sqlite3 -csv`")
                   + ") running the grouped counts that give the same numbers, timed as a process. Ours: the call over "
                     "HTTP, one set-based statement in a read transaction, answering one row per kind of record, per "
                     "tax and per tax and company state registration.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_cobertura: " << e.what() << "\n";
    return 1;
}
