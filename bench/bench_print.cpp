// Printing and exporting the client tab of the large demo: 500,000 clients, loaded as the
// screen loads them (GetCliente into a data set), written as a PDF (page after page), an
// XLSX workbook and a CSV file, with the texts the grid shows (formatted CNPJ/CPF,
// "code - description"). Time against the database's own export of the same rows; memory
// as the growth of the resident size while writing, for all the rows and for a tenth of
// them: it must not grow with the rows.
//
//   bench_print --db DB --server FISCAL_SERVER [--out FILE] [--budget 1200]

#include "benchsupport.h"

#include "dataset/clientdataset.h"
#include "dataset/packet.h"
#include "reports/spreadsheet.h"
#include "reports/tableprinter.h"

#include <QDir>
#include <QGuiApplication>
#include <QPdfWriter>
#include <QTemporaryDir>

#include <fstream>
#include <iostream>

using namespace fiscal;
using namespace fiscal::bench;

namespace {

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return 0;
}

// The resident size while `work` runs, sampled at every progress call, above `baseline`
// (the size once the data was loaded, before anything was written: memory a run frees stays
// with the process, so each run is measured against the same mark).
struct Sampled {
    double seconds = 0;
    long growthKiB = 0;
    int steps = 0;
};

template <class Work>
Sampled sampled(long baseline, Work &&work)
{
    Sampled s;
    long peak = residentKiB();
    const auto t0 = Clock::now();
    work([&](int, int) {
        peak = std::max(peak, residentKiB());
        ++s.steps;
        return true;
    });
    s.seconds = secondsSince(t0);
    s.growthKiB = std::max(0L, std::max(peak, residentKiB()) - baseline);
    return s;
}

QString masked(const QString &digits, const QString &type)
{
    if (type == QLatin1String("J") && digits.size() == 14)
        return QStringLiteral("%1.%2.%3/%4-%5").arg(digits.mid(0, 2), digits.mid(2, 3), digits.mid(5, 3), digits.mid(8, 4), digits.mid(12, 2));
    if (type == QLatin1String("F") && digits.size() == 11)
        return QStringLiteral("%1.%2.%3-%4").arg(digits.mid(0, 3), digits.mid(3, 3), digits.mid(6, 3), digits.mid(9, 2));
    return digits;
}

} // namespace

int main(int argc, char **argv)
try {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const Options o = Options::parse(argc, argv);
    const std::string db = o.require("db");
    const Deadline deadline(o.number("budget", 1200));

    ServerChild server(o.require("server"), db);
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    dataset::TClientDataSet cds;
    cds.setData(dataset::DataPacket::readCbor(callOk(client, kParamGrupFiscal, "GetCliente").resultCbor()));
    server.stop();
    const int rows = cds.rowCount();
    auto f = [&cds](const char *name) { return cds.FieldByName(QString::fromLatin1(name))->Index(); };
    const int number = f("NRINSJURCLIE"), type = f("IDTPIJURCLIE"), name = f("NMFANTCLIE"), code = f("CDGRUPOFISC"),
              desc = f("DSGRUPOFISC");

    reports::ReportTable table;
    table.title = QStringLiteral("Parâmetros de Grupo Fiscal");
    table.screenCode = QStringLiteral("GER10200");
    table.section = QStringLiteral("Cliente");
    table.columns = {{QStringLiteral("Inscrição"), 20, Qt::AlignLeft}, {QStringLiteral("Nome Fantasia"), 40, Qt::AlignLeft},
                     {QStringLiteral("Grupo Fiscal"), 36, Qt::AlignLeft}};
    table.rowCount = rows;
    table.text = [&](int r, int c) -> QString {
        switch (c) {
        case 0: return masked(cds.textAt(r, number, false), cds.textAt(r, type, false));
        case 1: return cds.textAt(r, name, false);
        default: {
            const QString g = cds.textAt(r, code, false);
            return g.isEmpty() ? QString() : g + QStringLiteral(" - ") + cds.textAt(r, desc, false);
        }
        }
    };

    QTemporaryDir dir;
    const long baseline = residentKiB();
    int pages = 0;
    auto pdf = [&](int count) {
        return sampled(baseline, [&](auto progress) {
            reports::ReportTable part = table;
            part.rowCount = count;
            QPdfWriter writer(dir.filePath(QStringLiteral("clientes.pdf")));
            writer.setPageSize(QPageSize(QPageSize::A4));
            const reports::TablePrinter printer(part);
            pages = printer.pageCount(writer);
            if (printer.print(writer, progress) != reports::TablePrinter::Printed)
                throw std::runtime_error("the PDF was not written");
        });
    };
    const Sampled pdfTenth = pdf(rows / 10);
    const Sampled pdfAll = pdf(rows);
    const int pdfPages = pages;
    if (deadline.passed())
        throw std::runtime_error("out of time after the PDF");
    const Sampled xlsx = sampled(baseline, [&](auto progress) {
        if (!reports::writeXlsx(table, dir.filePath(QStringLiteral("clientes.xlsx")), progress))
            throw std::runtime_error("the workbook was not written");
    });
    const Sampled csv = sampled(baseline, [&](auto progress) {
        if (!reports::writeCsv(table, dir.filePath(QStringLiteral("clientes.csv")), progress))
            throw std::runtime_error("the CSV was not written");
    });

    const ProcessRun raw = runProcess({"sqlite3", "-csv", db,
                                       "SELECT C.NRINSJURCLIE, C.NMFANTCLIE, C.CDGRUPOFISC || ' - ' || G.DSGRUPOFISC"
                                       " FROM CLIENTE C LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = C.CDGRUPOFISC"
                                       " ORDER BY COALESCE(C.NMFANTCLIE, ''), C.CDCLIENTE"});
    if (raw.exitCode != 0)
        throw std::runtime_error("the raw export failed");

    const bool flat = pdfAll.growthKiB <= pdfTenth.growthKiB + 16 * 1024;
    Report report("Printing and exporting 500,000 clients (client side)");
    report.add({"PDF, " + fmtCount(rows) + " rows, " + fmtCount(pdfPages) + " pages", fmtMs(raw.seconds),
                fmtSeconds(pdfAll.seconds), pdfAll.seconds / raw.seconds, "(reported)", std::nullopt,
                "above the loaded data: " + fmtMiB(pdfAll.growthKiB)});
    report.add({"PDF, memory: growth for all rows vs a tenth", fmtMiB(pdfTenth.growthKiB), fmtMiB(pdfAll.growthKiB),
                pdfTenth.growthKiB > 0 ? double(pdfAll.growthKiB) / double(pdfTenth.growthKiB) : 0,
                "≤ a tenth's + 16 MiB", flat, fmtCount(rows / 10) + " rows: " + fmtSeconds(pdfTenth.seconds)});
    report.add({"XLSX, " + fmtCount(rows) + " rows", fmtMs(raw.seconds), fmtSeconds(xlsx.seconds),
                xlsx.seconds / raw.seconds, "(reported)", std::nullopt, "above the loaded data: " + fmtMiB(xlsx.growthKiB)});
    report.add({"CSV, " + fmtCount(rows) + " rows", fmtMs(raw.seconds), fmtSeconds(csv.seconds),
                csv.seconds / raw.seconds, "(reported)", std::nullopt, "above the loaded data: " + fmtMiB(csv.growthKiB)});
    report.addNote("Raw: `sqlite3 -csv` exporting the same rows with the group's code and description, in the grid's "
                   "order, to /dev/null, timed as a process (peak " + fmtMiB(raw.peakKiB) + "). Ours: the report "
                   "library writing files from the data set the screen holds, with the grid's texts (masked CNPJ/CPF, "
                   "\"code - description\"); the data set itself (loaded before the clock starts) is not counted. "
                   "Memory: the benchmark's resident size while the file is written, sampled at every page or every "
                   "2,000 rows, above its size once the data set was loaded (" + fmtMiB(baseline) + "); the tenth "
                   "of the rows is printed first.");
    report.write(o.get("out"));
    return 0;
} catch (const std::exception &e) {
    std::cerr << "bench_print: " << e.what() << "\n";
    return 1;
}
