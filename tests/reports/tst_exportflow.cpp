// The print and export commands as a user meets them: the file dialog, the format by
// extension or filter, the boxes that tell how it went, the print preview.

#include "printto.h"
#include "readback.h"

#include "reports/printflow.h"
#include "reports/tableprinter.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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

} // namespace
} // namespace fiscal::test
