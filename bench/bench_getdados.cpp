// GetDados end to end (request, server, transfer, streaming decode, the seven packets
// loaded into data sets, as the main screen does) against two raw sides doing the same
// seven SELECTs:
//   - in this process, through the database's C library, keeping every row in memory
//     (keeprows.h): the baseline of the goal;
//   - the database's own export tool writing to /dev/null, timed as a process (sqlite3 -csv;
//     psql COPY ... TO STDOUT), which holds nothing and is reported for comparison.
//
//   bench_getdados --db DB --server FISCAL_SERVER [--out FILE] [--runs 5] [--budget 900]
//                  [--psql PATH]

#include "benchsupport.h"
#include "keeprows.h"

#include "dataset/clientdataset.h"
#include "dataset/packet.h"

#include <iostream>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

std::vector<std::string> rawCommand(const std::string &db, const std::string &psql)
{
    if (isPostgres(db)) {
        std::vector<std::string> argv{psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", db};
        for (const char *select : kGetDadosSelects) {
            argv.push_back("-c");
            argv.push_back(std::string("COPY (") + select + ") TO STDOUT");
        }
        return argv;
    }
    std::string script;
    for (const char *select : kGetDadosSelects)
        script += std::string(select) + ";\n";
    return {"sqlite3", "-csv", db, script};
}

std::int64_t expectedRows(const std::string &db)
{
    auto c = storage::open(db);
    std::int64_t n = 0;
    for (const char *select : kGetDadosSelects)
        n += count(*c, std::string("SELECT COUNT(*) FROM (") + select + ") X");
    return n;
}

struct OursRun {
    double total = 0;    // request until the seven packets are rows of data sets
    qsizetype bytes = 0;
    std::int64_t rows = 0;
    long heldKiB = 0;    // memory the run added at its peak
    double serverCpu = 0;
    double clientCpu = 0;
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

// What the main screen does: the result goes to the streaming decoder while it arrives,
// comes out as the seven packets, and each data set takes its packet's rows.
OursRun runOurs(rpc::Client &client, pid_t server)
{
    OursRun r;
    const MemoryWatch memory;
    const double server0 = cpuSeconds(server), client0 = cpuSeconds(getpid());
    std::vector<std::unique_ptr<dataset::TClientDataSet>> sets;
    const auto t0 = Clock::now();
    QList<dataset::DataPacket> packets;
    const rpc::Reply reply = client.call(
        QString::fromStdString(kParamGrupFiscal), QStringLiteral("GetDados"), {},
        [&](dataset::ByteSource &result) {
            CountingSource counted(result);
            packets = dataset::readCborPackets(counted);
            r.bytes = counted.bytes;
        },
        600000);
    if (reply.isError())
        throw std::runtime_error("GetDados failed (" + std::to_string(reply.errorCode())
                                 + "): " + reply.errorMessage().toStdString());
    if (packets.size() != 7)
        throw std::runtime_error("GetDados: not seven packets");
    for (dataset::DataPacket &p : packets) {
        sets.push_back(std::make_unique<dataset::TClientDataSet>());
        sets.back()->setData(std::move(p));
        r.rows += sets.back()->RecordCount();
    }
    r.total = secondsSince(t0);
    r.heldKiB = memory.heldKiB();
    r.serverCpu = cpuSeconds(server) - server0;
    r.clientCpu = cpuSeconds(getpid()) - client0;
    return r;
}

struct KeepRun {
    double total = 0;
    std::int64_t rows = 0;
    long heldKiB = 0;
    double cpu = 0;
};

KeepRun runKeep(const std::string &db)
{
    KeepRun r;
    const MemoryWatch memory;
    const double cpu0 = cpuSeconds(getpid());
    const auto t0 = Clock::now();
    const KeptRows rows = keepEveryRow(db);
    r.total = secondsSince(t0);
    r.cpu = cpuSeconds(getpid()) - cpu0;
    r.rows = rows.count();
    r.heldKiB = memory.heldKiB();
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
    const std::vector<std::string> tool = rawCommand(db, o.get("psql", "psql"));
    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());

    // One untimed round each, so all start with the database in the page cache.
    runProcess(tool);
    if (runKeep(db).rows != expected || runOurs(client, server.pid()).rows != expected)
        throw std::runtime_error("GetDados returned a different number of rows than the SELECTs");

    std::vector<double> toolTimes, keepTimes, oursTimes, keepCpu, serverCpu, clientCpu;
    std::vector<long> keepHeld, oursHeld;
    long toolPeak = 0;
    qsizetype bytes = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        // Rotate who goes first, so none always follows another's cache traffic.
        for (int k = 0; k < 3; ++k) {
            switch ((k + i) % 3) {
            case 0: {
                const ProcessRun r = runProcess(tool);
                toolTimes.push_back(r.seconds);
                toolPeak = std::max(toolPeak, r.peakKiB);
                break;
            }
            case 1: {
                const KeepRun r = runKeep(db);
                keepTimes.push_back(r.total);
                keepCpu.push_back(r.cpu);
                keepHeld.push_back(r.heldKiB);
                break;
            }
            default: {
                const OursRun r = runOurs(client, server.pid());
                serverCpu.push_back(r.serverCpu);
                clientCpu.push_back(r.clientCpu);
                if (r.rows != expected)
                    throw std::runtime_error("GetDados returned a different number of rows than the SELECTs");
                oursTimes.push_back(r.total);
                oursHeld.push_back(r.heldKiB);
                bytes = r.bytes;
            }
            }
        }
    }
    const long serverPeak = peakKiB(server.pid());
    server.stop();

    const bool pg = isPostgres(db);
    const double keepMed = median(keepTimes), toolMed = median(toolTimes), oursMed = median(oursTimes);
    const long keepMem = long(median(std::vector<double>(keepHeld.begin(), keepHeld.end())));
    const long oursMem = long(median(std::vector<double>(oursHeld.begin(), oursHeld.end())));
    Report report("GetDados on the large database (" + engineName(db) + ")");
    ResultRow keep{"GetDados, 7 packets, " + fmtCount(double(expected)) + " rows, against keeping every row"
                       " in process (median of " + std::to_string(oursTimes.size()) + ")",
                   fmtMs(keepMed), fmtMs(oursMed), oursMed / keepMed, "≤ 1.15×", oursMed / keepMed <= 1.15,
                   "held: raw " + fmtMiB(keepMem) + "; ours " + fmtMiB(oursMem) + " (server " + fmtMiB(serverPeak) + ")"};
    report.add(keep);
    report.add({"The same against the export tool writing to /dev/null", fmtMs(toolMed), fmtMs(oursMed),
                oursMed / toolMed, "(reported)", {}, "tool " + fmtMiB(toolPeak)});
    report.add({"Memory held by the rows at the peak", fmtMiB(keepMem), fmtMiB(oursMem),
                double(oursMem) / double(std::max(keepMem, 1L)), "(reported)", {}, ""});
    report.addNote("Raw (the baseline): the seven SELECTs run in the benchmark process through the database's C"
                   " library, every row kept in one allocation holding its values. Ours: request until the seven"
                   " packets are rows of seven data sets; the server sends the reply while it reads the tables"
                   " and the client decodes it while it arrives; result " + fmtMiB(long(bytes / 1024))
                   + " of CBOR. Export tool: `" + (pg ? "psql -c \"COPY (<select>) TO STDOUT\"` (seven -c in one process)"
                                                     : "sqlite3 -csv large.sqlite \"<7 SELECTs>\"`")
                   + " > /dev/null, timed as a process. Memory held: the rise of the process's resident peak"
                     " over its size before the run. Spread: raw " + fmtSpread(keepTimes) + ", ours "
                   + fmtSpread(oursTimes) + ", tool " + fmtSpread(toolTimes) + ". CPU per run (median): raw "
                   + fmtMs(median(keepCpu)) + "; ours: server " + fmtMs(median(serverCpu)) + " + client "
                   + fmtMs(median(clientCpu)) + " (the two run at once, each on a core when both are free).");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_getdados: " << e.what() << "\n";
    return 1;
}
