// The print and export commands as a user meets them: the file dialog, the format by
// extension or filter, the boxes that tell how it went, the print preview.

#include "printto.h"
#include "readback.h"

#include "reports/printflow.h"
#include "reports/tableprinter.h"

#include "clientlib/scriptedinteraction.h"

#include <QDir>
#include <QFile>
#include <QPrintPreviewDialog>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::ScriptedInteraction;

class ExportFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto s = std::make_unique<ScriptedInteraction>();
        script = s.get();
        scope = std::make_unique<clientlib::InteractionScope>(std::move(s));
    }
    ScriptedInteraction *script = nullptr;
    std::unique_ptr<clientlib::InteractionScope> scope;
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
        script->clear();
        script->push(Answer::saveAs(dir.filePath(QString::fromLatin1(c.typed)), c.filter));
        reports::exportReport(table.table, nullptr);
        const QString written = dir.filePath(QString::fromLatin1(c.written));
        EXPECT_EQ(head(written), c.magic);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Arquivo gravado: %1").arg(written)});
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join(QLatin1Char('\n')).toStdString();
    }
}

TEST_F(ExportFlow, GivingUpOrFailingSaysSoAndWritesNothing)
{
    script->push(Answer::cancel());
    reports::exportReport(table.table, nullptr);
    EXPECT_TRUE(script->messages().isEmpty());

    const QString nowhere = dir.filePath(QStringLiteral("nao-existe/a.xlsx"));
    script->push(Answer::saveAs(nowhere));
    reports::exportReport(table.table, nullptr);
    ASSERT_EQ(script->shown().last().kind, clientlib::Shown::Message);
    EXPECT_EQ(script->shown().last().messageType, clientlib::mtError);
    EXPECT_TRUE(script->messages().last().startsWith(QStringLiteral("Não foi possível gravar o arquivo"))) ;
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
        script->push(Answer::dialog([&](QDialog &d) {
            title = d.windowTitle();
            if (auto *w = d.findChild<QPrintPreviewWidget *>()) {
                w->updatePreview();
                shown = w->pageCount();
            }
        }, false));
        reports::previewReport(t->table, nullptr);
        EXPECT_EQ(shown, qMin(pages, reports::kPreviewPages)) << pages;
        EXPECT_EQ(title.contains(QStringLiteral("primeiras 50")), pages > reports::kPreviewPages) << title.toStdString();
    }
}

} // namespace
} // namespace fiscal::test
