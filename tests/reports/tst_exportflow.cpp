// The print and export commands as a user meets them: the file dialog, the format by
// extension or filter, the boxes that tell how it went, the print preview.

#include "printto.h"
#include "readback.h"

#include "reports/printflow.h"
#include "reports/tableprinter.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/resource.h>

namespace fiscal::test {
namespace {

// The person at the screen, scripted: the file the save dialog returns (none: given up),
// what is done with a modal window while it is up (then it is closed), every box kept.
class ScriptedPrompts : public reports::Prompts {
public:
    struct Box {
        bool error;
        QString text;
    };
    QString file;
    QString filter;                          // the filter chosen with it; empty: the one offered
    std::function<void(QDialog &)> drive;
    QList<Box> boxes;

    void tell(const QString &text, QWidget *) override { boxes.append({false, text}); }
    void tellError(const QString &text, QWidget *) override { boxes.append({true, text}); }
    void runModal(QDialog &dialog) override
    {
        dialog.show();
        QCoreApplication::processEvents();
        if (drive)
            drive(dialog);
        dialog.reject();
    }
    QString chooseSaveFile(const QString &, const QString &, const QStringList &filters, QString &chosen,
                           QWidget *) override
    {
        if (!filter.isEmpty()) {
            EXPECT_TRUE(filters.contains(filter)) << filter.toStdString();
            chosen = filter;
        }
        return file;
    }
    QStringList texts() const
    {
        QStringList t;
        for (const Box &b : boxes)
            t << b.text;
        return t;
    }
};

class ExportFlow : public ::testing::Test {
protected:
    ScriptedPrompts prompts;
    QTemporaryDir dir;
    TestTable table{{QStringLiteral("Código"), QStringLiteral("Nome")},
                    {{QStringLiteral("001"), QStringLiteral("São Paulo")}, {QStringLiteral("002"), QStringLiteral("Goiás")}}};
};

QByteArray head(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(4) : QByteArray();
}

TEST_F(ExportFlow, TheExtensionTypedWinsOverTheFilter)
{
    const QString xlsx = QStringLiteral("Pasta de trabalho do Excel (*.xlsx)");
    const QString csv = QStringLiteral("CSV separado por ponto e vírgula (*.csv)");
    const struct { const char *typed; QString filter; const char *written; QByteArray magic; } cases[] = {
        {"a.csv", xlsx, "a.csv", "\xEF\xBB\xBF" "C"},   // BOM, then "Código"
        {"b", csv, "b.csv", "\xEF\xBB\xBF" "C"},
        {"c", xlsx, "c.xlsx", "PK\x03\x04"},
        {"d.PDF", csv, "d.PDF", "%PDF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        prompts.boxes.clear();
        prompts.file = dir.filePath(QString::fromLatin1(c.typed));
        prompts.filter = c.filter;
        reports::exportReport(table.table, nullptr, prompts);
        const QString written = dir.filePath(QString::fromLatin1(c.written));
        EXPECT_EQ(head(written), c.magic);
        EXPECT_EQ(prompts.texts(), QStringList{QStringLiteral("Arquivo gravado: %1").arg(written)});
    }
}

TEST_F(ExportFlow, GivingUpOrFailingSaysSoAndWritesNothing)
{
    prompts.file.clear();
    reports::exportReport(table.table, nullptr, prompts);
    EXPECT_TRUE(prompts.boxes.isEmpty());

    const QString nowhere = dir.filePath(QStringLiteral("nao-existe/a.xlsx"));
    prompts.file = nowhere;
    reports::exportReport(table.table, nullptr, prompts);
    ASSERT_EQ(prompts.boxes.size(), 1);
    EXPECT_TRUE(prompts.boxes.last().error);
    EXPECT_TRUE(prompts.boxes.last().text.startsWith(QStringLiteral("Não foi possível gravar o arquivo")));
    EXPECT_FALSE(QFile::exists(nowhere));
}

// The preview shows the pages the printer would print, at most kPreviewPages of them.
TEST_F(ExportFlow, PreviewShowsThePagesOrTheFirstOnes)
{
    QList<QStringList> rows;
    for (int i = 0; i < 6000; ++i)
        rows << QStringList{QString::number(i), QStringLiteral("Nome %1").arg(i)};
    TestTable longTable({QStringLiteral("Código"), QStringLiteral("Nome")}, rows);

    for (TestTable *t : {&table, &longTable}) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageMargins(QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter);
        const int pages = reports::TablePrinter(t->table).pageCount(printer);
        int shown = -1;
        QString title;
        prompts.drive = [&](QDialog &d) {
            title = d.windowTitle();
            if (auto *w = d.findChild<QPrintPreviewWidget *>()) {
                w->updatePreview();
                shown = w->pageCount();
            }
        };
        reports::previewReport(t->table, nullptr, prompts);
        EXPECT_EQ(shown, qMin(pages, reports::kPreviewPages)) << pages;
        EXPECT_EQ(title.contains(QStringLiteral("primeiras 50")), pages > reports::kPreviewPages) << title.toStdString();
    }
}

// The preview's buttons take no focus: Ctrl+P, which opened it, prints from it too.
TEST_F(ExportFlow, CtrlPInThePreviewAsksWhereToPrint)
{
    QString asked;
    prompts.drive = [&](QDialog &d) {
        d.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&d));
        // The printer's dialog runs a loop of its own: it is answered from there.
        QTimer closer;
        QObject::connect(&closer, &QTimer::timeout, [&] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *other = qobject_cast<QDialog *>(modal); other && other != &d) {
                asked = QString::fromLatin1(other->metaObject()->className());
                other->reject();
            }
        });
        closer.start(20);
        QTest::keyClick(&d, Qt::Key_P, Qt::ControlModifier);
    };
    reports::previewReport(table.table, nullptr, prompts);
    EXPECT_EQ(asked, QStringLiteral("QPrintDialog"));
}

// Printing from the preview to a PDF file: a file written whole is kept and nothing is said; a
// file that could not be opened, or whose writing stopped short (here at a size limit, as on a
// full disk), is reported and not left behind; a page range past the end prints nothing.
TEST_F(ExportFlow, PrintingToAFileSaysWhenItCouldNotBeWrittenWhole)
{
    const struct { const char *name; const char *file; rlim_t limit; int from; const char *error; } cases[] = {
        {"written", "a.pdf", RLIM_INFINITY, 0, nullptr},
        {"no folder", "nao-existe/b.pdf", RLIM_INFINITY, 0, "Não foi possível imprimir o relatório."},
        {"cut short", "c.pdf", 4096, 0, "Não foi possível gravar o arquivo %1."},
        {"pages past the end", "d.pdf", RLIM_INFINITY, 5, "Nada foi impresso: o relatório tem 1 página."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        prompts.boxes.clear();
        const QString path = dir.filePath(QString::fromUtf8(c.file));
        prompts.drive = [&](QDialog &d) {
            auto *preview = d.findChild<QPrintPreviewWidget *>();
            ASSERT_NE(preview, nullptr);
            QPrinter *printer = static_cast<QPrintPreviewDialog &>(d).printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(path);
            printer->setPrintRange(c.from ? QPrinter::PageRange : QPrinter::AllPages);
            printer->setFromTo(c.from, c.from ? c.from + 3 : 0);
            rlimit saved{};
            getrlimit(RLIMIT_FSIZE, &saved);
            rlimit limited = saved;
            limited.rlim_cur = std::min(c.limit, saved.rlim_max);
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);   // a short write, not a killed test
            setrlimit(RLIMIT_FSIZE, &limited);
            preview->print();
            setrlimit(RLIMIT_FSIZE, &saved);
            std::signal(SIGXFSZ, oldHandler);
        };
        reports::previewReport(table.table, nullptr, prompts);
        if (c.error) {
            ASSERT_EQ(prompts.boxes.size(), 1);
            EXPECT_TRUE(prompts.boxes.last().error);
            QString expected = QString::fromUtf8(c.error);
            if (expected.contains(QLatin1String("%1")))
                expected = expected.arg(path);
            EXPECT_EQ(prompts.boxes.last().text, expected);
            EXPECT_FALSE(QFile::exists(path));
        } else {
            EXPECT_TRUE(prompts.boxes.isEmpty());
            EXPECT_EQ(head(path), "%PDF");
        }
    }
}

} // namespace
} // namespace fiscal::test
