// Pages laid out and painted one after the other: every row once, headings on every page,
// "Página x de y" right, and a stop that really stops.

#include "printto.h"
#include "readback.h"

#include "reports/tableprinter.h"

#include <QPdfWriter>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using reports::TablePrinter;

QList<QStringList> numberedRows(int n)
{
    QList<QStringList> rows;
    for (int i = 1; i <= n; ++i)
        rows << QStringList{QStringLiteral("K%1").arg(i, 6, 10, QLatin1Char('0')), QStringLiteral("Fornecedor número %1").arg(i),
                            QStringLiteral("001 - Indústria")};
    return rows;
}

struct Printed {
    TablePrinter::Result result;
    int pages;             // what the printer said the table takes
    QStringList pageTexts; // what pdftotext read, page by page
    QList<int> progress;   // the pages announced
};

Printed printToPdf(const reports::ReportTable &table, const QString &path, int first = 1, int last = 0,
                   int cancelAt = 0)
{
    Printed out;
    {
        QPdfWriter writer(path);
        writer.setPageSize(QPageSize(QPageSize::A4));
        out.pages = TablePrinter(table).pageCount(writer);
        out.result = TablePrinter(table).print(writer, [&](int page, int) {
            out.progress << page;
            return page != cancelAt;
        }, first, last);
    }
    QString text = pdfText(path);
    out.pageTexts = text.split(QLatin1Char('\f'));
    if (!out.pageTexts.isEmpty() && out.pageTexts.last().trimmed().isEmpty())
        out.pageTexts.removeLast();
    return out;
}

TEST(TablePrinter, EveryRowOnceAndEveryPageHeaded)
{
    QTemporaryDir dir;
    TestTable t({QStringLiteral("Código"), QStringLiteral("Nome/Razão Social"), QStringLiteral("Grupo Fiscal")}, numberedRows(230));
    t.table.context = {QStringLiteral("Imposto: 01 - ICMS")};
    const Printed p = printToPdf(t.table, dir.filePath(QStringLiteral("t.pdf")));
    ASSERT_EQ(p.result, TablePrinter::Printed);
    ASSERT_GT(p.pages, 2) << "too few rows to cross page breaks";
    ASSERT_EQ(p.pageTexts.size(), p.pages);
    EXPECT_EQ(p.progress.size(), p.pages);

    QString all;
    for (int i = 0; i < p.pageTexts.size(); ++i) {
        const QString &page = p.pageTexts.at(i);
        SCOPED_TRACE(i + 1);
        for (const QString &must : {QStringLiteral("Parâmetros de Grupo Fiscal"), QStringLiteral("GER10200"),
                                    QStringLiteral("Fornecedor"), QStringLiteral("Imposto: 01 - ICMS"),
                                    QStringLiteral("Nome/Razão Social"), QStringLiteral("Emitido em"),
                                    QStringLiteral("Página %1 de %2").arg(i + 1).arg(p.pages)})
            EXPECT_TRUE(page.contains(must)) << must.toStdString();
        all += page;
    }
    for (int i = 1; i <= 230; ++i)
        EXPECT_EQ(all.count(QStringLiteral("K%1").arg(i, 6, 10, QLatin1Char('0'))), 1) << i;
}

// A screen's list printed as shown: one long column (what an operation did, with its list of
// groups) is cut, not every column with it; dates and users come out whole.
TEST(TablePrinter, ALongColumnOfAListDoesNotCutTheOthers)
{
    QStandardItemModel model(3, 3);
    model.setHorizontalHeaderLabels({QStringLiteral("Data"), QStringLiteral("Usuário"), QStringLiteral("O que fez")});
    for (int r = 0; r < 3; ++r) {
        model.setItem(r, 0, new QStandardItem(QStringLiteral("05/03/2025 10:15:3%1").arg(r)));
        model.setItem(r, 1, new QStandardItem(QStringLiteral("administrador")));
        model.setItem(r, 2, new QStandardItem(QStringLiteral("Clientes do imposto 01, grupos ") + QStringLiteral("001, ").repeated(60)));
    }
    QTemporaryDir dir;
    const Printed p = printToPdf(reports::reportFromModel(model, {}), dir.filePath(QStringLiteral("t.pdf")));
    ASSERT_EQ(p.result, TablePrinter::Printed);
    const QString all = p.pageTexts.join(QLatin1Char('\n'));
    for (int r = 0; r < 3; ++r)
        EXPECT_TRUE(all.contains(QStringLiteral("05/03/2025 10:15:3%1").arg(r))) << all.toStdString();
    EXPECT_EQ(all.count(QStringLiteral("administrador")), 3) << all.toStdString();
}

TEST(TablePrinter, PageRangeAndEmptyTable)
{
    QTemporaryDir dir;
    TestTable many({QStringLiteral("Código"), QStringLiteral("Nome"), QStringLiteral("Grupo")}, numberedRows(300));
    const Printed range = printToPdf(many.table, dir.filePath(QStringLiteral("r.pdf")), 2, 3);
    ASSERT_EQ(range.pageTexts.size(), 2);
    EXPECT_TRUE(range.pageTexts.at(0).contains(QStringLiteral("Página 2 de %1").arg(range.pages)));
    EXPECT_TRUE(range.pageTexts.at(1).contains(QStringLiteral("Página 3 de %1").arg(range.pages)));
    EXPECT_FALSE(range.pageTexts.join(QString()).contains(QStringLiteral("K000001")));

    TestTable none({QStringLiteral("Código")}, {});
    const Printed empty = printToPdf(none.table, dir.filePath(QStringLiteral("e.pdf")));
    ASSERT_EQ(empty.pageTexts.size(), 1);
    EXPECT_TRUE(empty.pageTexts.at(0).contains(QStringLiteral("Nenhum registro.")));
    EXPECT_TRUE(empty.pageTexts.at(0).contains(QStringLiteral("Página 1 de 1")));
}

TEST(TablePrinter, StopsWhereTheProgressSaysSo)
{
    QTemporaryDir dir;
    TestTable t({QStringLiteral("Código"), QStringLiteral("Nome"), QStringLiteral("Grupo")}, numberedRows(300));
    const QString path = dir.filePath(QStringLiteral("c.pdf"));
    QPdfWriter writer(path);
    QList<int> asked;
    const auto result = TablePrinter(t.table).print(writer, [&](int page, int) {
        asked << page;
        return page < 2;
    });
    EXPECT_EQ(result, TablePrinter::Cancelled);
    EXPECT_EQ(asked, (QList<int>{1, 2}));
}

} // namespace
} // namespace fiscal::test
