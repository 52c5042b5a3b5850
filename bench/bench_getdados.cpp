// GetDados end to end (request, server, transfer, streaming decode into in-memory rows, as
// the main screen does) against the raw database exporting the same seven SELECTs:
// sqlite3 -csv on SQLite, psql COPY ... TO STDOUT on PostgreSQL, each timed as a process.
//
//   bench_getdados --db DB --server FISCAL_SERVER [--out FILE] [--runs 5] [--budget 900]
//                  [--psql PATH]

#include "benchsupport.h"

#include "dataset/packet.h"

#include <iostream>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

// The server's seven reads, word for word, so that both sides do the same work.
const char *const kSelects[] = {
    "SELECT F.NRINSJURFORN, F.CDFORNECED, F.NMRAZSOCFORN, F.CDGRUPOFISC, F.IDTPIJURFORN, G.DSGRUPOFISC"
    " FROM FORNECEDOR F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.NMRAZSOCFORN, F.CDFORNECED",
    "SELECT C.NMFANTCLIE, C.NRINSJURCLIE, C.CDCLIENTE, C.NMRAZSOCCLIE, C.IDTPIJURCLIE, C.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM CLIENTE C LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = C.CDGRUPOFISC"
    " ORDER BY COALESCE(C.NMFANTCLIE, ''), C.CDCLIENTE",
    "SELECT F.CDFILIAL, F.NMFILIAL, F.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM FILIAL F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.CDFILIAL",
    "SELECT T.CDTIPOOPER, T.IDENTRSAIDOP, T.NMTIPOOPER, T.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM TIPOOPERAC T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOOPER",
    "SELECT T.CDTIPOFATUR, T.CDGRUPOFISC, G.DSGRUPOFISC, T.CDTIPOFATUR"
    " FROM TIPOFATUR T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOFATUR",
    "SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'",
    "SELECT T.CDTPFATURFIS || ' - ' || T.NMTPFATURFIS, T.NMTPFATURFIS, T.CDTPFATURFIS, T.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM TPFATURFIS T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTPFATURFIS",
};

std::vector<std::string> rawCommand(const std::string &db, const std::string &psql)
{
    if (isPostgres(db)) {
        std::vector<std::string> argv{psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", db};
        for (const char *select : kSelects) {
            argv.push_back("-c");
            argv.push_back(std::string("COPY (") + select + ") TO STDOUT");
        }
        return argv;
    }
    std::string script;
    for (const char *select : kSelects)
        script += std::string(select) + ";\n";
    return {"sqlite3", "-csv", db, script};
}

std::int64_t expectedRows(const std::string &db)
{
    auto c = storage::open(db);
    std::int64_t n = 0;
    for (const char *select : kSelects)
        n += count(*c, std::string("SELECT COUNT(*) FROM (") + select + ") X");
    return n;
}

struct OursRun {
    double total = 0;    // request until the seven packets are decoded
    qsizetype bytes = 0;
    std::int64_t rows = 0;
};

// Counts the result's bytes on their way to the decoder.
class CountingSource final : public dataset::ByteSource {
public:
    explicit CountingSource(dataset::ByteSource &inner) : m_inner(inner) {}
    qsizetype read(char *out, qsizetype max) override
    {
        const qsizetype n = m_inner.read(out, max);
        bytes += n;
        return n;
    }
    qsizetype bytes = 0;

private:
    dataset::ByteSource &m_inner;
};

// What the main screen's server link does: the result goes to the streaming decoder while
// it arrives, and comes out as the seven packets.
OursRun runOurs(rpc::Client &client)
{
    OursRun r;
    QList<dataset::DataPacket> packets;
    const auto t0 = Clock::now();
    const rpc::Reply reply = client.call(
        QString::fromStdString(kParamGrupFiscal), QStringLiteral("GetDados"), {},
        [&](dataset::ByteSource &result) {
            CountingSource counted(result);
            packets = dataset::readCborPackets(counted);
            r.bytes = counted.bytes;
        },
        600000);
    r.total = secondsSince(t0);
    if (reply.isError())
        throw std::runtime_error("GetDados failed (" + std::to_string(reply.errorCode())
                                 + "): " + reply.errorMessage().toStdString());
    if (packets.size() != 7)
        throw std::runtime_error("GetDados: not seven packets");
    for (const dataset::DataPacket &p : packets)
        r.rows += p.rows.size();
    return r;
}

} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 5);
    const Deadline deadline(o.number("budget", 900));

    const std::int64_t expected = expectedRows(db);
    const std::vector<std::string> raw = rawCommand(db, o.get("psql", "psql"));
    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    const long clientBaseKiB = ownPeakKiB();

    // One untimed round each, so both start with the database in the page cache.
    ProcessRun warm = runProcess(raw);
    long rawPeak = warm.peakKiB;
    if (runOurs(client).rows != expected)
        throw std::runtime_error("GetDados returned a different number of rows than the SELECTs");

    std::vector<double> rawTimes, oursTimes;
    qsizetype bytes = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        // Alternate who goes first, so neither always follows the other's cache traffic.
        for (int side = 0; side < 2; ++side) {
            if ((side + i) % 2 == 0) {
                const ProcessRun r = runProcess(raw);
                rawTimes.push_back(r.seconds);
                rawPeak = std::max(rawPeak, r.peakKiB);
            } else {
                const OursRun r = runOurs(client);
                if (r.rows != expected)
                    throw std::runtime_error("GetDados returned a different number of rows than the SELECTs");
                oursTimes.push_back(r.total);
                bytes = r.bytes;
            }
        }
    }
    const long serverPeak = peakKiB(server.pid());
    const long clientPeak = ownPeakKiB();
    server.stop();

    const bool pg = isPostgres(db);
    const double rawMed = median(rawTimes), oursMed = median(oursTimes);
    Report report("GetDados on the large database (" + engineName(db) + ")");
    ResultRow time{"GetDados, 7 packets, " + fmtCount(double(expected)) + " rows (median of "
                       + std::to_string(oursTimes.size()) + ")",
                   fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, pg ? "(none set)" : "≤ 1.5×", {},
                   "raw " + fmtMiB(rawPeak) + "; server " + fmtMiB(serverPeak) + " + client " + fmtMiB(clientPeak)};
    if (!pg)
        time.met = oursMed / rawMed <= 1.5;
    report.add(time);
    report.add({"Peak memory (VmHWM / max RSS)", fmtMiB(rawPeak), fmtMiB(serverPeak + clientPeak),
                double(serverPeak + clientPeak) / double(rawPeak), "(reported)", {},
                "client before the first call: " + fmtMiB(clientBaseKiB)});
    report.addNote(std::string("Raw: `") + (pg ? "psql -c \"COPY (<select>) TO STDOUT\"` (seven -c in one process)"
                                                : "sqlite3 -csv large.sqlite \"<7 SELECTs>\"`")
                   + " > /dev/null, timed as a process. Ours: request until the seven packets are"
                     " rows in memory; the server sends the reply while it reads the tables and the"
                     " client decodes it while it arrives; result " + fmtMiB(long(bytes / 1024)) + " of CBOR.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_getdados: " << e.what() << "\n";
    return 1;
}
