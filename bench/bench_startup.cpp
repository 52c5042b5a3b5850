// What a user feels when opening the module: from starting erp-host until its main screen
// has been drawn with its data (erp-host --exit-when-drawn prints "drawn"), and the host's
// peak memory, at 10,000, 100,000 and 500,000 clients (with a fifth as many suppliers, as
// in the large demo). The baseline is a process that runs the same seven SELECTs through
// the database's C library and keeps every row (raw_keeprows), timed from its start until
// it has them.
//
//   bench_startup --db large.sqlite --server FISCAL_SERVER --host ERP_HOST [--out FILE]
//                 [--runs 5] [--work DIR] [--budget 1200]
//
// The smaller databases are copies of the large one with the clients and suppliers past
// the size deleted, made once in --work (default: next to the large one).

#include "benchsupport.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;
namespace fs = std::filesystem;

namespace {

struct Size {
    long long clients;
    long long suppliers;
};
constexpr Size kSizes[] = {{10000, 2000}, {100000, 20000}, {500000, 100000}};

std::string siblingOfSelf(const std::string &name)
{
    return (fs::read_symlink("/proc/self/exe").parent_path() / name).string();
}

// The large demo cut down to `size`: rows past it go, their parameter rows first.
std::string databaseFor(const std::string &large, const fs::path &work, const Size &size)
{
    if (size.clients >= count(*storage::open(large), "SELECT COUNT(*) FROM CLIENTE"))
        return large;
    const fs::path path = work / ("startup-" + std::to_string(size.clients) + ".sqlite");
    if (fs::exists(path))
        return path.string();
    const fs::path tmp = path.string() + ".tmp";
    fs::remove(tmp);
    fs::copy_file(large, tmp);
    {
        auto c = storage::open(tmp.string());
        const std::string clients = std::to_string(size.clients), suppliers = std::to_string(size.suppliers);
        execute(*c, "DELETE FROM GRFISIMPIECLIE WHERE CAST(CDCLIENTE AS INTEGER) > " + clients);
        execute(*c, "DELETE FROM CLIENTE WHERE CAST(CDCLIENTE AS INTEGER) > " + clients);
        execute(*c, "DELETE FROM GRFISIMPIEFORN WHERE CAST(CDFORNECED AS INTEGER) > " + suppliers);
        execute(*c, "DELETE FROM FORNECEDOR WHERE CAST(CDFORNECED AS INTEGER) > " + suppliers);
        execute(*c, "VACUUM");
    }
    fs::rename(tmp, path);
    return path.string();
}

struct Sample {
    std::vector<double> seconds;
    std::vector<double> peaks;   // KiB
};


} // namespace

int main(int argc, char **argv)
try {
    const Options o = Options::parse(argc, argv);
    const std::string large = o.require("db");
    const std::string serverExe = o.require("server");
    const std::string hostExe = o.require("host");
    const int runs = o.integer("runs", 5);
    const Deadline deadline(o.number("budget", 1200));
    const fs::path work = o.get("work", fs::path(large).parent_path().string());
    const std::string raw = siblingOfSelf("raw_keeprows");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    Report report("Start-up: erp-host until the main screen is drawn (SQLite)");
    std::vector<std::string> spreads;
    double firstOurs = 0, firstRaw = 0, firstPeak = 0, firstRawPeak = 0, firstRows = 0;
    for (const Size &size : kSizes) {
        const std::string db = databaseFor(large, work, size);
        const auto rows = double(count(*storage::open(db), "SELECT COUNT(*) FROM CLIENTE")
                                 + count(*storage::open(db), "SELECT COUNT(*) FROM FORNECEDOR"));
        ServerChild server(serverExe, db);
        const std::vector<std::string> host{hostExe, "--server", "http://127.0.0.1:" + std::to_string(server.port()),
                                            "--db", db, "--exit-when-drawn"};
        const std::vector<std::string> keep{raw, db};
        // One untimed round each: the database in the page cache, the libraries loaded.
        runProcess(keep, 600, "kept");
        runProcess(host, 600, "drawn");
        Sample ours, base;
        for (int i = 0; i < runs && !deadline.passed(); ++i) {
            for (int side = 0; side < 2; ++side) {
                const bool hostSide = (side + i) % 2 == 0;
                const ProcessRun r = runProcess(hostSide ? host : keep, 600, hostSide ? "drawn" : "kept");
                if (r.markerSeconds < 0)
                    throw std::runtime_error(std::string(hostSide ? "erp-host" : "raw_keeprows")
                                             + " did not report its end");
                Sample &s = hostSide ? ours : base;
                s.seconds.push_back(r.markerSeconds);
                s.peaks.push_back(double(r.peakKiB));
            }
        }
        const double o50 = median(ours.seconds), r50 = median(base.seconds);
        const double oPeak = median(ours.peaks), rPeak = median(base.peaks);
        const bool largest = &size == &kSizes[std::size(kSizes) - 1];
        ResultRow time{fmtCount(double(size.clients)) + " clients + " + fmtCount(double(size.suppliers))
                           + " suppliers (median of " + std::to_string(ours.seconds.size()) + ")",
                       fmtMs(r50), fmtMs(o50), o50 / r50, largest ? "≤ 1.3×" : "(reported)", {},
                       "raw " + fmtMiB(long(rPeak)) + "; host " + fmtMiB(long(oPeak))};
        if (largest)
            time.met = o50 / r50 <= 1.3;
        report.add(time);
        if (largest) {
            ResultRow memory{"Peak memory of the host at " + fmtCount(double(size.clients)) + " clients",
                             fmtMiB(long(rPeak)), fmtMiB(long(oPeak)), oPeak / rPeak, "host ≤ 130 MiB",
                             oPeak <= 130 * 1024, ""};
            report.add(memory);
            // Growth per row from the smallest size to the largest.
            const double dRows = rows - firstRows;
            report.addNote("Growth from " + fmtCount(double(kSizes[0].clients)) + " to " + fmtCount(double(size.clients))
                           + " clients, per client or supplier row: host " + fmtNumber((o50 - firstOurs) / dRows * 1e6, 2)
                           + " µs and " + std::to_string(long((oPeak - firstPeak) * 1024 / dRows))
                           + " bytes; raw " + fmtNumber((r50 - firstRaw) / dRows * 1e6, 2) + " µs and "
                           + std::to_string(long((rPeak - firstRawPeak) * 1024 / dRows)) + " bytes.");
        }
        if (&size == &kSizes[0]) {
            firstOurs = o50;
            firstRaw = r50;
            firstPeak = oPeak;
            firstRawPeak = rPeak;
            firstRows = rows;
        }
        spreads.push_back(fmtCount(double(size.clients)) + ": host " + fmtSpread(ours.seconds) + ", raw "
                          + fmtSpread(base.seconds));
    }
    std::string spreadNote = "Spread of the runs (";
    for (size_t i = 0; i < spreads.size(); ++i)
        spreadNote += (i ? "; " : "") + spreads[i];
    report.addNote(spreadNote + ").");
    report.addNote("Raw: `raw_keeprows DB`, a process running GetDados' seven SELECTs through the SQLite C"
                   " library and keeping every row in one allocation each, timed from its start until it"
                   " has them all. Ours: `erp-host --exit-when-drawn` (offscreen) against a fiscal-server"
                   " already running, from its start until the main screen has loaded GetDados into its"
                   " data sets and has been drawn. Peak memory: VmHWM of each process as it exits. Runs"
                   " alternate between the two sides.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_startup: " << e.what() << "\n";
    return 1;
}
