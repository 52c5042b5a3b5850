// Automatic registration: CadastroAutomatico "CLIENTE" mode "T" (one group for every
// client, with the history of every row) against the raw UPDATE CLIENTE SET CDGRUPOFISC = $1
// in one transaction. Each run of either side sets a group no client holds yet, so every
// row really changes. Then its preview (SimulaCadastroAutomatico) against the raw count of
// the rows it would change, and the undo of the last run (its preview first) against the raw
// UPDATE; then the undo of the run before, which weighs every later write of every client
// and restores none of them (the raw runs between changed them outside the server). Changes
// the database: run it on a copy.
//
//   bench_cadastro --db DB --server FISCAL_SERVER [--out FILE] [--runs 3] [--budget 900]

#include "benchsupport.h"

#include <QCborMap>

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
    const std::vector<std::string> groups = fiscalGroups(*conn, 2);
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

    // Also, reported, the raw UPDATE without its per-row foreign-key checks, as the call
    // writes (it checks the group once and, on PostgreSQL, holds it).
    const bool sqlite = conn->backend() == storage::Backend::Sqlite;
    const int sides = 3;
    std::vector<double> rawTimes, oursTimes, uncheckedTimes;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < sides; ++side) {
            // Every side finds the tables vacuumed: otherwise the dead rows of the runs before
            // (and of the benchmarks before) slow whichever side the autovacuum lands in.
            if (!sqlite)
                conn->exec("VACUUM ANALYZE CLIENTE, HISTOPERACAO, HISTITEM");
            const std::string g = takeGroup();
            const int which = (side + i) % sides;
            if (which != 1) {
                if (which == 2)
                    perRowChecks(*conn, false);
                const auto t0 = Clock::now();
                storage::Transaction tx(*conn);
                update->bind(1, g);
                const std::int64_t n = update->execute();
                tx.commit();
                (which == 2 ? uncheckedTimes : rawTimes).push_back(secondsSince(t0));
                if (which == 2)
                    perRowChecks(*conn, true);
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
    const std::string lastOperation = scalar(*conn, "SELECT MAX(IDOPERACAO) FROM HISTOPERACAO").value_or("");
    const std::int64_t recorded = count(*conn, "SELECT COUNT(*) FROM HISTITEM WHERE IDOPERACAO = $1", {lastOperation});
    if (recorded != clients)
        throw std::runtime_error("the history holds " + std::to_string(recorded) + " rows of the last run");

    // The preview of a run that would change every client, against counting those rows.
    auto toChange = conn->prepare("SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> $1");
    std::vector<double> countTimes, previewTimes;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        const std::string g = takeGroup();
        auto t0 = Clock::now();
        toChange->reset();
        toChange->bind(1, g);
        toChange->step();
        const std::string counted(toChange->text(0));
        toChange->reset();   // a statement left open keeps its read snapshot, and the writes behind it fail
        countTimes.push_back(secondsSince(t0));
        t0 = Clock::now();
        const rpc::Reply r = callOk(client, kCadAutParGrpFis, "SimulaCadastroAutomatico",
                                    QCborArray{QStringLiteral("CLIENTE"), QString::fromStdString(g), QString(),
                                               QStringLiteral("T"), QString(), QString(), QString()});
        previewTimes.push_back(secondsSince(t0));
        const QString previewed = packetValue(r, 0, 1);
        if (previewed.toStdString() != counted || std::stoll(counted) != clients)
            throw std::runtime_error("the preview counted " + previewed.toStdString() + " clients, not " + counted);
    }

    // The widest preview of registration by registration: every registration by every client
    // and supplier, for the tax that has rows. Raw: counting the rows of that tax.
    const std::string tax = scalar(*conn, "SELECT MIN(CDIMPOSTO) FROM GRFISIMPIECLIE").value_or("");
    auto taxRows = conn->prepare("SELECT (SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = $1)"
                                 " + (SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = $1)");
    std::vector<double> taxCountTimes, widePreviewTimes;
    std::int64_t pairs = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        auto t0 = Clock::now();
        taxRows->reset();
        taxRows->bind(1, tax);
        taxRows->step();
        taxRows->reset();
        taxCountTimes.push_back(secondsSince(t0));
        t0 = Clock::now();
        const rpc::Reply r = callOk(client, kCadAutParGrpFis, "SimulaCadAutoImpInscEsta",
                                    QCborArray{QString::fromStdString(tax), QString(), QStringLiteral("T"), QString(),
                                               QStringLiteral("T"), QString(), QStringLiteral("T"), QString(),
                                               QString::fromStdString(groups.front()), QStringLiteral("T")});
        widePreviewTimes.push_back(secondsSince(t0));
        pairs = 0;
        for (int row = 0; row < 2; ++row)
            for (int column = 1; column <= 3; ++column)
                pairs += packetValue(r, row, column).toLongLong();
    }

    // What undoing the last run would do, and then the undo, which puts every client back.
    auto t0 = Clock::now();
    const rpc::Reply previewed = callOk(client, kHistorico, "SimulaDesfazOperacao",
                                        QCborArray{QString::fromStdString(lastOperation)});
    const double undoPreviewTime = secondsSince(t0);
    if (packetValue(previewed, 0, 2).toLongLong() != clients)
        throw std::runtime_error("the undo's preview would restore " + packetValue(previewed, 0, 2).toStdString()
                                 + " clients");
    t0 = Clock::now();
    const rpc::Reply undone = callOk(client, kHistorico, "DesfazOperacao",
                                     QCborArray{QString::fromStdString(lastOperation)});
    const double undoTime = secondsSince(t0);
    const QString restored = packetValue(undone, 0, 1);
    if (restored.toLongLong() != clients)
        throw std::runtime_error("the undo restored " + restored.toStdString() + " clients");

    // The run before: its rows were written since by the last run and its undo, which cancel
    // out, and changed outside the server by the raw run between, so every one is skipped.
    const std::string runBefore =
        scalar(*conn, "SELECT MAX(IDOPERACAO) FROM HISTOPERACAO WHERE NMMETODO = 'CadastroAutomatico' AND IDOPERACAO < $1",
               {lastOperation}).value_or("");
    t0 = Clock::now();
    const rpc::Reply skipped = callOk(client, kHistorico, "DesfazOperacao", QCborArray{QString::fromStdString(runBefore)});
    const double skipTime = secondsSince(t0);
    if (runBefore.empty() || packetValue(skipped, 0, 1).toLongLong() != 0
        || packetValue(skipped, 0, 4).toLongLong() != clients)
        throw std::runtime_error("the undo of the run before restored " + packetValue(skipped, 0, 1).toStdString()
                                 + " clients and found " + packetValue(skipped, 0, 4).toStdString()
                                 + " changed outside");

    // One client's history now spans every run and the undo: the record index holds none of
    // them, each is sought through its bulk operation.
    const std::string someClient = scalar(*conn, "SELECT MAX(CDCLIENTE) FROM CLIENTE").value_or("");
    auto oneItem = conn->prepare("SELECT CDGRUPOANT FROM HISTITEM WHERE IDOPERACAO = $1 AND NMTABELA = 'CLIENTE'"
                                 " AND CDCHAVE1 = $2 AND CDCHAVE2 = '' AND CDCHAVE3 = '' AND CDCHAVE4 = ''");
    std::vector<double> itemTimes, recordTimes;
    for (int i = 0; i < 5; ++i) {
        t0 = Clock::now();
        oneItem->reset();
        oneItem->bind(1, lastOperation);
        oneItem->bind(2, someClient);
        oneItem->step();
        oneItem->reset();
        itemTimes.push_back(secondsSince(t0));
        t0 = Clock::now();
        const rpc::Reply r = callOk(client, kHistorico, "GetHistoricoRegistro",
                                    QCborArray{QStringLiteral("CLIENTE"), QString::fromStdString("'" + someClient + "'")});
        recordTimes.push_back(secondsSince(t0));
        const qsizetype entries = r.value().toMap().value(QStringLiteral("rows")).toArray().size();
        if (entries != qsizetype(oursTimes.size()) + 1)
            throw std::runtime_error("the history of client " + someClient + " has " + std::to_string(entries)
                                     + " entries, not one per run and the undo");
    }

    const long serverPeak = peakKiB(server.pid());
    server.stop();

    const double rawMed = median(rawTimes), oursMed = median(oursTimes);
    const double countMed = median(countTimes), previewMed = median(previewTimes);
    Report report("Automatic registration: CadastroAutomatico CLIENTE T (" + engineName(db) + ")");
    report.add({fmtCount(double(clients)) + " clients (median of " + std::to_string(oursTimes.size()) + ")",
                fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, "≤ 1.2×", oursMed / rawMed <= 1.2,
                "server " + fmtMiB(serverPeak)});
    if (!uncheckedTimes.empty()) {
        const double uncheckedMed = median(uncheckedTimes);
        report.add({"The same against the raw UPDATE without per-row foreign-key lookups", fmtMs(uncheckedMed),
                    fmtMs(oursMed), oursMed / uncheckedMed, "(reported)", std::nullopt, ""});
    }
    report.add({"SimulaCadastroAutomatico, the same call previewed (median of " + std::to_string(previewTimes.size()) + ")",
                fmtMs(countMed), fmtMs(previewMed), previewMed / countMed, "< 1 s", previewMed < 1.0, ""});
    report.add({"SimulaDesfazOperacao of the last run (" + fmtCount(double(clients)) + " clients to restore)",
                fmtMs(rawMed), fmtMs(undoPreviewTime), undoPreviewTime / rawMed, "(reported)", std::nullopt, ""});
    report.add({"DesfazOperacao of the last run (" + fmtCount(double(clients)) + " clients restored)", fmtMs(rawMed),
                fmtMs(undoTime), undoTime / rawMed, "(reported)", std::nullopt, ""});
    report.add({"DesfazOperacao of the run before (" + fmtCount(double(clients)) + " clients skipped, "
                    + fmtCount(2.0 * double(clients)) + " later items weighed)",
                fmtMs(rawMed), fmtMs(skipTime), skipTime / rawMed, "(reported)", std::nullopt, ""});
    const double taxCountMed = median(taxCountTimes), widePreviewMed = median(widePreviewTimes);
    report.add({"SimulaCadAutoImpInscEsta, every registration by every client and supplier (" + fmtCount(double(pairs))
                    + " rows to write, median of " + std::to_string(widePreviewTimes.size()) + ")",
                fmtMs(taxCountMed), fmtMs(widePreviewMed), widePreviewMed / taxCountMed, "< 1 s",
                widePreviewMed < 1.0, ""});
    const double itemMed = median(itemTimes), recordMed = median(recordTimes);
    report.add({"GetHistoricoRegistro of one client afterwards (" + std::to_string(oursTimes.size() + 1)
                    + " bulk operations, median of 5)",
                fmtMs(itemMed), fmtMs(recordMed), recordMed / itemMed, "< 0.1 s", recordMed < 0.1, ""});
    report.addNote("Raw: `BEGIN; UPDATE CLIENTE SET CDGRUPOFISC = $1; COMMIT` through the storage library. "
                   "Ours: the call over HTTP (argument checks, group check, the history of every changed client "
                   "written set-based, the UPDATE, commit; without the per-row foreign-key checks, the group being "
                   "checked once and, on PostgreSQL, held until the commit). Runs rotate among the sides; each run sets a group no client holds yet; on PostgreSQL "
                   "the tables are vacuumed before each run. The preview's raw side is the `SELECT COUNT(*)` of the clients the "
                   "call would change, for the registration preview the count of the tax's rows; the undo's (and its "
                   "preview's) is the raw UPDATE above; the history read's is the bare lookup of "
                   "one of its items by the item's primary key.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_cadastro: " << e.what() << "\n";
    return 1;
}
