#include "reports/printflow.h"

#include "reports/spreadsheet.h"
#include "reports/tableprinter.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPaintEngine>
#include <QPdfWriter>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QSaveFile>

namespace fiscal::reports {

namespace {

// The progress window of a long job: shown after half a second, Cancel stops the job.
class Progress {
public:
    Progress(const QString &label, QWidget *parent)
        : m_dialog(label, QStringLiteral("Cancelar"), 0, 100, parent)
    {
        m_dialog.setWindowTitle(QStringLiteral("Aguarde"));
        m_dialog.setWindowModality(Qt::ApplicationModal);
        m_dialog.setMinimumDuration(500);
        m_dialog.setAutoClose(false);
        m_dialog.setAutoReset(false);
        m_dialog.setValue(0);
    }
    bool step(int done, int total)
    {
        if (m_dialog.maximum() != total)
            m_dialog.setMaximum(total);
        m_dialog.setValue(done);   // lets the Cancel button be clicked
        return !m_dialog.wasCanceled();
    }
    QProgressDialog &dialog() { return m_dialog; }

private:
    QProgressDialog m_dialog;
};

void setUpPage(QPagedPaintDevice &device, const ReportTable &table)
{
    device.setPageSize(QPageSize(QPageSize::A4));
    device.setPageOrientation(orientationFor(table));
    device.setPageMargins(QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter);
}

// The preview engine paints into pictures; a printer or a PDF file has an engine of its own.
bool isPreview(QPrinter *printer)
{
    return printer->paintEngine() && printer->paintEngine()->type() == QPaintEngine::Picture;
}

// A whole PDF file ends with its end-of-file marker.
bool endsAsPdf(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() < 16)
        return false;
    f.seek(f.size() - 16);
    return f.read(16).contains("%%EOF");
}

void printAll(const ReportTable &table, const QDateTime &printedAt, QPrinter *printer, QWidget *parent,
              Prompts &prompts)
{
    const TablePrinter report(table, printedAt);
    if (isPreview(printer)) {
        report.print(*printer, {}, 1, kPreviewPages);
        return;
    }
    int first = 1, last = 0;
    if (printer->printRange() == QPrinter::PageRange) {
        first = printer->fromPage();
        last = printer->toPage();
    }
    // A range past the end would print the last page, which nobody asked for.
    if (const int pages = report.pageCount(*printer); first > pages) {
        prompts.tellError(QStringLiteral("Nada foi impresso: o relatório tem %1 %2.")
                              .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(pages),
                                   pages == 1 ? QStringLiteral("página") : QStringLiteral("páginas")),
                          parent);
        return;
    }
    const QString file = printer->outputFormat() == QPrinter::PdfFormat ? printer->outputFileName() : QString();
    TablePrinter::Result result;
    {
        Progress progress(QStringLiteral("Imprimindo %1...").arg(table.section.isEmpty() ? table.title : table.section),
                          parent);
        result = report.print(*printer, [&progress](int page, int pages) { return progress.step(page, pages); },
                              first, last);
    }
    // The PDF engine does not report a write that failed (a full disk): its file then ends short.
    const bool fileShort = result == TablePrinter::Printed && !file.isEmpty() && !endsAsPdf(file);
    if ((result != TablePrinter::Printed || fileShort) && !file.isEmpty())
        QFile::remove(file);   // half a document is worse than none
    if (result == TablePrinter::Cancelled)
        prompts.tell(QStringLiteral("Impressão cancelada."), parent);
    else if (fileShort)
        prompts.tellError(QStringLiteral("Não foi possível gravar o arquivo %1.").arg(QDir::toNativeSeparators(file)), parent);
    else if (result == TablePrinter::Failed)
        prompts.tellError(QStringLiteral("Não foi possível imprimir o relatório."), parent);
}

bool writePdf(const ReportTable &table, const QString &path, QWidget *parent)
{
    const auto fail = [&path](const QString &why) {
        throw ExportError(QStringLiteral("Não foi possível gravar o arquivo %1: %2").arg(path, why).toStdString());
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(file.errorString());
    TablePrinter::Result result;
    {
        QPdfWriter writer(&file);
        writer.setTitle(table.section.isEmpty() ? table.title : table.title + QStringLiteral(" - ") + table.section);
        writer.setCreator(QApplication::applicationName());
        setUpPage(writer, table);
        Progress progress(QStringLiteral("Gerando %1...").arg(QFileInfo(path).fileName()), parent);
        result = TablePrinter(table).print(writer, [&progress](int page, int pages) {
            return progress.step(page, pages);
        });
    }
    if (result == TablePrinter::Cancelled) {
        file.cancelWriting();
        return false;
    }
    // commit() does not look at the buffer it writes out itself (the PDF's end): flush first.
    // The file system's own text for a failed flush is "Unknown error".
    if (result == TablePrinter::Failed)
        fail(file.errorString());
    if (!file.flush())
        fail(QStringLiteral("o arquivo não foi gravado por inteiro (verifique o espaço livre no disco)."));
    if (!file.commit())
        fail(file.errorString());
    return true;
}

struct Format {
    ExportFormat format;
    const char *filter;
    const char *suffix;
};
const Format kFormats[] = {
    {ExportFormat::Xlsx, "Pasta de trabalho do Excel (*.xlsx)", "xlsx"},
    {ExportFormat::Csv, "CSV separado por ponto e vírgula (*.csv)", "csv"},
    {ExportFormat::Pdf, "Documento PDF (*.pdf)", "pdf"},
};

} // namespace

QPageLayout::Orientation orientationFor(const ReportTable &table)
{
    int characters = 0;
    for (const ReportColumn &c : table.columns)
        characters += c.width;
    return characters > 110 ? QPageLayout::Landscape : QPageLayout::Portrait;
}

void previewReport(const ReportTable &table, QWidget *parent, Prompts &prompts)
{
    QPrinter printer(QPrinter::HighResolution);
    setUpPage(printer, table);
    printer.setDocName(table.suggestedFileName());
    const QDateTime printedAt = QDateTime::currentDateTime();
    const int pages = TablePrinter(table, printedAt).pageCount(printer);

    QPrintPreviewDialog dialog(&printer, parent);
    dialog.setObjectName(QStringLiteral("frmVisualizaImpressao"));
    QString title = QStringLiteral("Visualização de impressão - %1").arg(table.section.isEmpty() ? table.title : table.section);
    if (pages > kPreviewPages)
        title += QStringLiteral(" (primeiras %1 de %2 páginas; a impressão inclui todas)")
                     .arg(kPreviewPages)
                     .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(pages));
    dialog.setWindowTitle(title);
    // The preview's buttons take no focus: Ctrl+P prints from the keyboard, as it opened it.
    const QString printText = QCoreApplication::translate("QPrintPreviewDialog", "Print");
    for (QAction *a : dialog.findChildren<QAction *>())
        if (a->text() == printText) {
            a->setShortcut(QKeySequence::Print);
            a->setToolTip(QStringLiteral("%1 (%2)").arg(a->text(), a->shortcut().toString(QKeySequence::NativeText)));
        }
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog,
                     [&](QPrinter *p) { printAll(table, printedAt, p, &dialog, prompts); });
    prompts.runModal(dialog);
}

bool writeReport(const ReportTable &table, ExportFormat format, const QString &path, QWidget *parent)
{
    if (format == ExportFormat::Pdf)
        return writePdf(table, path, parent);
    Progress progress(QStringLiteral("Exportando para %1...").arg(QFileInfo(path).fileName()), parent);
    auto step = [&progress](int done, int total) { return progress.step(done, total); };
    return format == ExportFormat::Xlsx ? writeXlsx(table, path, step) : writeCsv(table, path, step);
}

void exportReport(const ReportTable &table, QWidget *parent, Prompts &prompts)
{
    QStringList filters;
    for (const Format &f : kFormats)
        filters << QString::fromUtf8(f.filter);
    QString filter = filters.first();
    QString path = prompts.chooseSaveFile(QStringLiteral("Exportar"), table.suggestedFileName() + QStringLiteral(".xlsx"),
                                          filters, filter, parent);
    if (path.isEmpty())
        return;
    // The extension typed wins over the filter; without one the filter's is added.
    const Format *chosen = nullptr;
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const Format &f : kFormats) {
        if (suffix == QLatin1String(f.suffix))
            chosen = &f;
    }
    if (!chosen) {
        chosen = &kFormats[0];
        for (const Format &f : kFormats) {
            if (filter == QString::fromUtf8(f.filter))
                chosen = &f;
        }
        path += QLatin1Char('.') + QLatin1String(chosen->suffix);
    }
    try {
        if (writeReport(table, chosen->format, path, parent))
            prompts.tell(QStringLiteral("Arquivo gravado: %1").arg(QDir::toNativeSeparators(path)), parent);
        else
            prompts.tell(QStringLiteral("Exportação cancelada; nenhum arquivo foi gravado."), parent);
    } catch (const ExportError &e) {
        prompts.tellError(QString::fromUtf8(e.what()), parent);
    }
}

} // namespace fiscal::reports
