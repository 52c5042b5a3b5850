// Importing fiscal groups from a spreadsheet on the large demo. The preview as a user meets
// it: the main screen in this process on the tab "Cliente", "Importar planilha..." chosen,
// an XLSX of 500,000 clients (CNPJ/CPF, name, group; shared strings, as spreadsheet
// programs write them) read and checked by the server until the dialog shows its counts;
// against xlsx2csv only converting the same file to CSV. Its memory at 100,000 and 500,000
// lines. Then the import applied: ImportaGrupos of 500,000 (code, group) pairs against the
// raw UPDATE ... FROM a temporary table holding the same pairs. Changes the database: run it
// on a copy.
//
//   bench_import --db DB --server FISCAL_SERVER [--out FILE] [--xlsx2csv EXE] [--runs 3]
//                [--lines 500000] [--small 100000] [--preview 1] [--budget 1800]
//
// --preview 0 skips the spreadsheet (the apply alone, as on PostgreSQL).

#include "benchsupport.h"
#include "mainscreen.h"

#include "Pkg_Ger10200/importacao/frmimportaplanilha.h"
#include "Pkg_Ger10200/importacao/linespacket.h"
#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "dataset/packet.h"
#include "importing/importlines.h"
#include "protocol/importcalls.h"
#include "scriptedinteraction.h"

#include <QApplication>
#include <QCborMap>
#include <QTemporaryDir>

#include <xlsxwriter.h>

#include <iostream>
#include <malloc.h>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

namespace imp = protocol::importing;

struct Client {
    std::string code, document, name;
};

std::vector<Client> readClients(storage::Connection &c, std::int64_t limit)
{
    std::vector<Client> out;
    auto st = c.prepare("SELECT CDCLIENTE, NRINSJURCLIE, NMRAZSOCCLIE FROM CLIENTE ORDER BY CDCLIENTE LIMIT $1");
    st->bindInt(1, limit);
    while (st->step())
        out.push_back({std::string(st->text(0)), std::string(st->text(1)), std::string(st->text(2))});
    return out;
}

// As people type them in a spreadsheet: 12.345.678/0001-95, 123.456.789-09.
std::string formatted(const std::string &d)
{
    if (d.size() == 14)
        return d.substr(0, 2) + '.' + d.substr(2, 3) + '.' + d.substr(5, 3) + '/' + d.substr(8, 4) + '-' + d.substr(12);
    if (d.size() == 11)
        return d.substr(0, 3) + '.' + d.substr(3, 3) + '.' + d.substr(6, 3) + '-' + d.substr(9);
    return d;
}

// The group line i of a file or of a run gets: every run's shift moves every client.
const std::string &groupOf(const std::vector<std::string> &groups, std::size_t i, std::size_t shift)
{
    return groups[(i + shift) % groups.size()];
}

void writeXlsx(const QString &path, const std::vector<Client> &clients, std::size_t lines,
               const std::vector<std::string> &groups)
{
    lxw_workbook *wb = workbook_new(QFile::encodeName(path).constData());
    lxw_worksheet *ws = workbook_add_worksheet(wb, "Clientes");
    worksheet_write_string(ws, 0, 0, "CNPJ/CPF", nullptr);
    worksheet_write_string(ws, 0, 1, "Razão Social", nullptr);
    worksheet_write_string(ws, 0, 2, "Grupo Fiscal", nullptr);
    for (std::size_t i = 0; i < lines; ++i) {
        const auto r = lxw_row_t(i + 1);
        worksheet_write_string(ws, r, 0, formatted(clients[i].document).c_str(), nullptr);
        worksheet_write_string(ws, r, 1, clients[i].name.c_str(), nullptr);
        worksheet_write_string(ws, r, 2, groupOf(groups, i, 0).c_str(), nullptr);
    }
    if (workbook_close(wb) != LXW_NO_ERROR)
        throw std::runtime_error("cannot write " + path.toStdString());
}

struct Preview {
    double seconds = 0;
    long peakKiB = 0;   // over the process before the click
    long heldKiB = 0;   // still held when the preview is drawn
    ger10200::ImportDialog::Counts counts;
};

// The main screen of the module, on the tab "Cliente", in this process, with the
// dialogs it opens answered by a script.
class ImportScreen {
public:
    ImportScreen(std::uint16_t port, const std::string &db) : m_screen(port, db) {}

    // "Importar planilha..." on `path`, timed until the dialog has drawn its counts; closed
    // without importing.
    Preview preview(const QString &path)
    {
        Preview p;
        m_script->push(clientlib::Answer::open(path));
        Clock::time_point t0;
        long base = 0;
        std::optional<MemoryWatch> watch;
        m_script->push(clientlib::Answer::dialog(
            [&](QDialog &d) {
                d.repaint();
                p.seconds = secondsSince(t0);
                p.peakKiB = watch->heldKiB();
                malloc_trim(0);   // what was freed is not held
                p.heldKiB = residentKiB(getpid()) - base;
                p.counts = dynamic_cast<ger10200::ImportDialog &>(d).counts();
            },
            false));
        watch.emplace();
        base = residentKiB(getpid());
        t0 = Clock::now();
        m_screen.form()->mnuImportar->trigger();
        if (!m_script->problems().isEmpty() || m_script->pending() || p.seconds == 0)
            throw std::runtime_error("the import dialog did not come up: "
                                     + m_script->problems().join(QStringLiteral("; ")).toStdString()
                                     + m_script->messages().join(QStringLiteral("; ")).toStdString());
        m_script->clear();
        return p;
    }

private:
    clientlib::ScriptedInteraction *m_script = new clientlib::ScriptedInteraction;
    clientlib::InteractionScope m_scope{std::unique_ptr<clientlib::ScriptedInteraction>(m_script)};
    MainScreen m_screen;
};

QCborMap linesPacket(const std::vector<std::pair<std::string, std::string>> &lines)
{
    QCborArray fields;
    for (const protocol::PacketField &f : imp::kLinhas)
        fields.append(QCborMap{{QStringLiteral("name"), QString::fromLatin1(f.name.data(), f.name.size())},
                               {QStringLiteral("size"), f.size},
                               {QStringLiteral("type"), QStringLiteral("string")},
                               {QStringLiteral("required"), false}});
    QCborArray rows;
    for (const auto &[key, group] : lines)
        rows.append(QCborArray{QString::fromStdString(key), QString::fromStdString(group)});
    return QCborMap{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
}

// The same pairs as the import dialog holds them, and its call: the lines encoded from
// them while the request is sent.
importing::LineTable lineTable(const std::vector<std::pair<std::string, std::string>> &lines)
{
    importing::LineTable t;
    std::int64_t n = 0;
    for (const auto &[key, group] : lines)
        t.push_back({++n, QString::fromStdString(key), QString::fromStdString(group)});
    return t;
}

rpc::Reply callStreamed(rpc::Client &client, const std::string &method, const importing::LineTable &lines)
{
    const std::vector<bool> none;
    ger10200::LinesPacket packet(lines, none);
    rpc::Reply r = client.call(QString::fromStdString(kCadAutParGrpFis), QString::fromStdString(method),
                               QCborArray{QStringLiteral("CLIENTE"), QString(), QString(), QString()}, packet, 600000);
    if (r.isError())
        throw std::runtime_error(method + " failed (" + std::to_string(r.errorCode())
                                 + "): " + r.errorMessage().toStdString());
    return r;
}

struct RawApply {
    double seconds = 0, update = 0;   // all, and the UPDATE alone
};

// BEGIN; the pairs into a temporary table (COPY on PostgreSQL); UPDATE ... FROM it; COMMIT.
// `unchecked`: without the per-row foreign-key checks, as the call writes.
RawApply rawApply(storage::Connection &c, const std::vector<std::pair<std::string, std::string>> &pairs,
                  bool unchecked = false)
{
    RawApply r;
    if (unchecked)
        perRowChecks(c, false);
    const auto t0 = Clock::now();
    storage::Transaction tx(c);
    c.exec("CREATE TEMP TABLE bench_pares (CODIGO TEXT, GRUPO TEXT)");
    auto bulk = c.bulkInsert("bench_pares", {"CODIGO", "GRUPO"});
    for (const auto &[code, group] : pairs)
        bulk->addRow({code, group});
    bulk->finish();
    bulk.reset();
    const auto t1 = Clock::now();
    const std::int64_t n = c.prepare("UPDATE CLIENTE SET CDGRUPOFISC = p.GRUPO FROM bench_pares p"
                                     " WHERE CLIENTE.CDCLIENTE = p.CODIGO")->execute();
    r.update = secondsSince(t1);
    c.exec("DROP TABLE bench_pares");
    tx.commit();
    r.seconds = secondsSince(t0);
    if (unchecked)
        perRowChecks(c, true);
    if (n != std::int64_t(pairs.size()))
        throw std::runtime_error("the raw UPDATE changed " + std::to_string(n) + " rows");
    return r;
}

// A value of the first packet of a reply that answers several (row and column from 0).
std::int64_t firstPacketNumber(const rpc::Reply &reply, int row, int column)
{
    return dataset::readCborPackets(reply.resultCbor()).at(0).rows.at(row).text(column).toLongLong();
}

std::string perLine(long kib, std::int64_t lines)
{
    return fmtNumber(double(kib) * 1024.0 / double(lines), 0) + " bytes";
}

void previewBenchmark(const Options &o, const std::string &db, ServerChild &server, const std::vector<Client> &clients,
                      const std::vector<std::string> &groups, int runs, const Deadline &deadline)
{
    std::int64_t tabRows = 0;
    {
        auto conn = storage::open(db);
        tabRows = count(*conn, "SELECT COUNT(*) FROM CLIENTE");
    }
    const std::size_t lines = std::min<std::size_t>(std::size_t(o.integer("lines", 500000)), clients.size());
    const std::size_t small = std::min<std::size_t>(std::size_t(o.integer("small", 100000)), lines);
    const auto keptBytes = [](const QString &path) {
        auto source = importing::openSheetFile(path);
        source->selectSheet(0);
        return importing::readImportLines(*source, *imp::findEntity("CLIENTE")).lines.heldBytes();
    };
    const std::string xlsx2csv = o.get("xlsx2csv", "xlsx2csv");
    QTemporaryDir dir;
    if (!dir.isValid())
        throw std::runtime_error("no temporary directory");
    const QString big = dir.filePath(QStringLiteral("clientes-%1.xlsx").arg(lines));
    const QString little = dir.filePath(QStringLiteral("clientes-%1.xlsx").arg(small));
    writeXlsx(big, clients, lines, groups);
    writeXlsx(little, clients, small, groups);
    const long fileKiB = long(QFileInfo(big).size() / 1024);

    ImportScreen screen(server.port(), db);
    // Once untimed: the first read of the file and the first call warm the caches.
    const Preview first = screen.preview(little);
    if (first.counts.read != std::int64_t(small))
        throw std::runtime_error("the preview read " + std::to_string(first.counts.read) + " lines");

    std::vector<double> ours, theirs;
    std::vector<Preview> bigRuns, smallRuns;
    long theirsPeak = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < 2; ++side) {
            if ((side + i) % 2 == 0) {
                bigRuns.push_back(screen.preview(big));
                ours.push_back(bigRuns.back().seconds);
                smallRuns.push_back(screen.preview(little));
            } else {
                const ProcessRun run = runProcess({xlsx2csv, big.toStdString()}, 1200);
                if (run.exitCode != 0)
                    throw std::runtime_error("xlsx2csv failed");
                theirs.push_back(run.seconds);
                theirsPeak = std::max(theirsPeak, run.peakKiB);
            }
        }
    }
    if (ours.empty() || theirs.empty())
        throw std::runtime_error("out of time");
    const Preview &b = bigRuns.back();
    if (b.counts.read != std::int64_t(lines))
        throw std::runtime_error("the preview read " + std::to_string(b.counts.read) + " lines");

    // Where the time goes: the file read alone, the server's check alone.
    auto t0 = Clock::now();
    auto source = importing::openSheetFile(big);
    source->selectSheet(0);
    const importing::ImportFile file = importing::readImportLines(*source, *imp::findEntity("CLIENTE"));
    const double reading = secondsSince(t0);
    std::vector<std::pair<std::string, std::string>> lineKeys;
    for (const importing::ImportLine &l : file.lines)
        lineKeys.emplace_back(l.key.toStdString(), l.group.toStdString());
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    t0 = Clock::now();
    callOk(client, kCadAutParGrpFis, "SimulaImportaGrupos",
           QCborArray{QStringLiteral("CLIENTE"), QString(), QString(), QString(), linesPacket(lineKeys)});
    const double checking = secondsSince(t0);

    const auto peaks = [](const std::vector<Preview> &v, long Preview::*m) {
        std::vector<double> out;
        for (const Preview &p : v)
            out.push_back(double(p.*m));
        return long(median(out));
    };
    const long peakBig = peaks(bigRuns, &Preview::peakKiB), peakSmall = peaks(smallRuns, &Preview::peakKiB);
    const long heldBig = peaks(bigRuns, &Preview::heldKiB), heldSmall = peaks(smallRuns, &Preview::heldKiB);
    const auto extra = std::int64_t(lines - small);
    // The rows kept: what the packed lines of each file take, per line between the two.
    const double keptPerLine = double(keptBytes(big) - keptBytes(little)) / double(extra);
    const double peakPerLine = double(peakBig - peakSmall) * 1024.0 / double(extra);
    // Flat beyond the rows kept: what the peak grows by per line past them is at most a tenth
    // of them (the allocator's rounding and the counts' noise fit in that).
    const double beyond = peakPerLine - keptPerLine;
    const double oursMed = median(ours), theirsMed = median(theirs);

    Report report("Importing a spreadsheet: the preview of " + fmtCount(double(lines)) + " clients (SQLite)");
    report.add({"\"Importar planilha...\" to the preview drawn, XLSX of " + fmtCount(double(lines)) + " lines ("
                    + fmtMiB(fileKiB) + "), against xlsx2csv converting it (median of " + std::to_string(ours.size())
                    + ")",
                fmtMs(theirsMed), fmtMs(oursMed), oursMed / theirsMed, "≤ 1×", oursMed <= theirsMed,
                "xlsx2csv " + fmtMiB(theirsPeak) + "; ours +" + fmtMiB(peakBig) + " at the peak"});
    report.add({"Peak memory while reading, " + fmtCount(double(small)) + " and " + fmtCount(double(lines))
                    + " lines: growth per line",
                "", perLine(peakBig - peakSmall, extra), 0, "(reported)", std::nullopt,
                "+" + fmtMiB(peakSmall) + " and +" + fmtMiB(peakBig)});
    report.add({"Peak memory while reading beyond the rows kept (" + fmtNumber(keptPerLine, 0)
                    + " bytes a line, the packed lines): growth per line",
                "", fmtNumber(beyond, 0) + " bytes", 0, "≤ " + fmtNumber(0.1 * keptPerLine, 0) + " bytes (10% of the rows kept)",
                beyond <= 0.1 * keptPerLine, ""});
    report.add({"Memory held with the preview drawn: growth per line", "",
                perLine(heldBig - heldSmall, extra), 0, "(reported)", std::nullopt,
                "+" + fmtMiB(heldSmall) + " and +" + fmtMiB(heldBig)});
    report.addNote("Counts shown: " + std::to_string(b.counts.read) + " lidas, " + std::to_string(b.counts.toChange)
                   + " a alterar, " + std::to_string(b.counts.same) + " já com esse grupo, "
                   + std::to_string(b.counts.errors) + " com erro. Of the time: reading the file into lines "
                   + fmtMs(reading) + ", the server's SimulaImportaGrupos of them " + fmtMs(checking)
                   + ", the rest the dialog (the sample of changes looked up in the tab, drawing).");
    report.addNote("Ours: the module's main screen in this process (offscreen) against fiscal-server, on the tab "
                   "\"Cliente\" with its " + fmtCount(double(tabRows)) + " clients; \"Importar planilha...\" "
                   "chosen, the file named, timed until the dialog has been drawn with the server's counts. The file: "
                   "written by libxlsxwriter (shared strings), a title row and one line per client, its CNPJ/CPF with "
                   "punctuation, its name and a group. Raw: `xlsx2csv FILE` to /dev/null as a process of its own. "
                   "Memory: the rise of this process's peak, and of its resident size with the preview drawn "
                   "(after the allocator has given back what is free), over its size before the click. Spread: ours " + fmtSpread(ours) + ", xlsx2csv " + fmtSpread(theirs) + ".");
    report.write(o.get("out"));
}

void applyBenchmark(const Options &o, const std::string &db, ServerChild &server, const std::vector<Client> &clients,
                    const std::vector<std::string> &groups, int runs, const Deadline &deadline)
{
    auto conn = storage::open(db);
    const std::size_t lines = std::min<std::size_t>(std::size_t(o.integer("lines", 500000)), clients.size());
    const auto pairs = [&](std::size_t shift) {
        std::vector<std::pair<std::string, std::string>> out;
        out.reserve(lines);
        for (std::size_t i = 0; i < lines; ++i)
            out.emplace_back(clients[i].code, groupOf(groups, i, shift));
        return out;
    };
    // Untimed: every client gets its group of shift 0; each later run moves every one.
    rawApply(*conn, pairs(0));
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    // A third side, reported: the raw apply without its per-row foreign-key checks.
    const int sides = 3;
    std::vector<double> raw, rawUpdate, unchecked, ours, checks;
    std::size_t shift = 0;
    for (int i = 0; i < runs && !deadline.passed(); ++i) {
        for (int side = 0; side < sides; ++side) {
            const auto p = pairs(++shift);
            const int which = (side + i) % sides;
            if (which == 0) {
                const RawApply r = rawApply(*conn, p);
                raw.push_back(r.seconds);
                rawUpdate.push_back(r.update);
                continue;
            }
            if (which == 2) {
                unchecked.push_back(rawApply(*conn, p, true).seconds);
                continue;
            }
            const importing::LineTable table = lineTable(p);
            auto t0 = Clock::now();
            const rpc::Reply check = callStreamed(client, "SimulaImportaGrupos", table);
            checks.push_back(secondsSince(t0));
            if (firstPacketNumber(check, 0, 1) != std::int64_t(lines))
                throw std::runtime_error("the preview would change " + std::to_string(firstPacketNumber(check, 0, 1))
                                         + " clients");
            t0 = Clock::now();
            const rpc::Reply r = callStreamed(client, "ImportaGrupos", table);
            ours.push_back(secondsSince(t0));
            if (packetValue(r, 0, 1).toLongLong() != std::int64_t(lines) || packetValue(r, 0, 0).isEmpty())
                throw std::runtime_error("ImportaGrupos changed " + packetValue(r, 0, 1).toStdString() + " clients");
        }
    }
    if (raw.empty() || ours.empty())
        throw std::runtime_error("out of time");
    // Every client holds the group of the last run.
    const auto last = pairs(shift);
    for (std::size_t i = 0; i < lines; i += lines / 997 + 1) {
        if (scalar(*conn, "SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {last[i].first}) != last[i].second)
            throw std::runtime_error("client " + last[i].first + " does not hold group " + last[i].second);
    }
    const long serverPeak = peakKiB(server.pid());

    const double rawMed = median(raw), oursMed = median(ours), checkMed = median(checks);
    Report report("Importing a spreadsheet: ImportaGrupos of " + fmtCount(double(lines)) + " lines (" + engineName(db) + ")");
    report.add({fmtCount(double(lines)) + " (code, group) lines applied, every one a change (median of "
                    + std::to_string(ours.size()) + ")",
                fmtMs(rawMed), fmtMs(oursMed), oursMed / rawMed, "≤ 1.5×", oursMed <= 1.5 * rawMed,
                "server " + fmtMiB(serverPeak)});
    if (!unchecked.empty()) {
        const double uncheckedMed = median(unchecked);
        report.add({"The same against the raw apply without per-row foreign-key lookups", fmtMs(uncheckedMed),
                    fmtMs(oursMed), oursMed / uncheckedMed, "(reported)", std::nullopt, ""});
    }
    report.add({"SimulaImportaGrupos of the same lines (median of " + std::to_string(checks.size()) + ")", fmtMs(rawMed),
                fmtMs(checkMed), checkMed / rawMed, "(reported)", std::nullopt, ""});
    report.addNote("Raw: through the storage library, `BEGIN`, the pairs into a temporary table (its bulk load: "
                   "COPY on PostgreSQL, a reused prepared INSERT on SQLite), `UPDATE CLIENTE SET CDGRUPOFISC = "
                   "p.GRUPO FROM bench_pares p WHERE CLIENTE.CDCLIENTE = p.CODIGO`, `COMMIT`; the UPDATE alone "
                   "took " + fmtMs(median(rawUpdate)) + ". Ours: the call over HTTP with the lines as a data "
                   "packet, encoded from packed lines while it is sent, as the import dialog sends it (every line "
                   "checked again, the history of every changed client written, the UPDATE, commit; without "
                   "the per-row foreign-key checks, every group and record being checked once and, on PostgreSQL, "
                   "the groups held until the commit). "
                   "Runs rotate among the sides; each moves every client to another group. Spread: raw "
                   + fmtSpread(raw) + ", ours " + fmtSpread(ours) + ".");
    report.write(o.get("out"));
}

} // namespace

int main(int argc, char **argv)
try {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const Options o = Options::parse(argc, argv);
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const std::string db = o.require("db");
    const int runs = o.integer("runs", 3);
    const Deadline deadline(o.number("budget", 1800));

    std::vector<Client> clients;
    std::vector<std::string> groups;
    {
        auto conn = storage::open(db);
        clients = readClients(*conn, o.integer("lines", 500000));
        groups = fiscalGroups(*conn, 2);
    }
    ServerChild server(o.require("server"), db);
    if (o.integer("preview", isPostgres(db) ? 0 : 1))
        previewBenchmark(o, db, server, clients, groups, runs, deadline);
    applyBenchmark(o, db, server, clients, groups, runs, deadline);
    server.stop();
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_import: " << e.what() << "\n";
    return 1;
}
