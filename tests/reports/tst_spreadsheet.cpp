// Spreadsheets read back as a spreadsheet program reads them: every row and code, leading
// zeros and accents intact; nothing half-written left behind.

#include "printto.h"
#include "readback.h"

#include "reports/spreadsheet.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using reports::ExportError;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Rows that break naive writers: separators, quotes and line breaks inside fields, codes
// that are all zeros, accents, empty cells.
const QList<QStringList> kTricky = {
    {QStringLiteral("0001"), QStringLiteral("Filial São João; Centro"), QStringLiteral("001 - Indústria")},
    {QStringLiteral("007"), QStringLiteral("Razão \"Social\" Ltda."), QString()},
    {QStringLiteral("00000000000000000021"), QStringLiteral("Linha um\r\nlinha dois"), QStringLiteral("012 - Serviços")},
    {QStringLiteral("12.345.678/0001-90"), QStringLiteral("Açaí & Cia"), QStringLiteral("  espaços  ")},
};
const QStringList kTitles = {QStringLiteral("Código"), QStringLiteral("Nome/Razão Social"), QStringLiteral("Grupo Fiscal")};

TEST(Csv, FieldsQuotedOnlyWhenTheyMustBe)
{
    const struct { QString in; QByteArray out; } cases[] = {
        {QStringLiteral("0001"), "0001"},
        {QString(), ""},
        {QStringLiteral("São João"), "S\xC3\xA3o Jo\xC3\xA3o"},
        {QStringLiteral("a;b"), "\"a;b\""},
        {QStringLiteral("diz \"oi\""), "\"diz \"\"oi\"\"\""},
        {QStringLiteral("a\nb"), "\"a\nb\""},
        {QStringLiteral("a\rb"), "\"a\rb\""},
        {QStringLiteral("a,b"), "a,b"},
        // Never a formula where the file is opened.
        {QStringLiteral("=HIPERLINK(\"x\")"), "\"'=HIPERLINK(\"\"x\"\")\""},
        {QStringLiteral("+55 11"), "'+55 11"},
        {QStringLiteral("-Inativo-"), "'-Inativo-"},
        {QStringLiteral("@Loja"), "'@Loja"},
        {QStringLiteral("\tx"), "'\tx"},
        {QStringLiteral("a=b"), "a=b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(reports::csvField(c.in), c.out) << c.in.toStdString();
}

TEST(Csv, ReadsBackRowForRow)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    TestTable t(kTitles, kTricky);
    ASSERT_TRUE(reports::writeCsv(t.table, path));
    const QByteArray bytes = readAll(path);
    EXPECT_TRUE(bytes.startsWith("\xEF\xBB\xBF"));
    QList<QStringList> expected{kTitles};
    expected += kTricky;
    EXPECT_EQ(parseCsv(bytes), expected);
}

TEST(Xlsx, ReadsBackAsTextWithAFrozenBoldHeader)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.xlsx"));
    TestTable t(kTitles, kTricky);
    ASSERT_TRUE(reports::writeXlsx(t.table, path));

    // Empty cells are absent from the sheet; they read back as empty texts.
    QList<QStringList> rows = xlsxSheetRows(path);
    for (QStringList &r : rows)
        while (r.size() < kTitles.size())
            r << QString();
    QList<QStringList> expected{kTitles};
    expected += kTricky;
    EXPECT_EQ(rows, expected);

    const QString sheet = QString::fromUtf8(xlsxPart(path, QStringLiteral("xl/worksheets/sheet1.xml")));
    EXPECT_FALSE(sheet.contains(QStringLiteral("<v>1</v>"))) << "a code was written as a number";
    EXPECT_TRUE(sheet.contains(QStringLiteral("state=\"frozen\""))) << "header not frozen";
    EXPECT_TRUE(sheet.contains(QStringLiteral("ySplit=\"1\"")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("<autoFilter ref=\"A1:C5\"")));
    EXPECT_EQ(sheet.count(QStringLiteral("<col ")), 3) << "column widths";
    EXPECT_TRUE(QString::fromUtf8(xlsxPart(path, QStringLiteral("xl/styles.xml"))).contains(QStringLiteral("<b/>")));
    EXPECT_TRUE(QString::fromUtf8(xlsxPart(path, QStringLiteral("xl/workbook.xml"))).contains(QStringLiteral("name=\"Fornecedor\"")));
}

using Writer = bool (*)(const reports::ReportTable &, const QString &, const reports::ExportProgress &);
struct Format { const char *name; Writer write; };
const Format kFormats[] = {{"xlsx", &reports::writeXlsx}, {"csv", &reports::writeCsv}};

QList<QStringList> manyRows(int n)
{
    QList<QStringList> rows;
    for (int i = 0; i < n; ++i)
        rows << QStringList{QString::number(i), QStringLiteral("Nome %1").arg(i), QStringLiteral("001 - Grupo")};
    return rows;
}

TEST(Spreadsheet, CancelledOrFailedLeavesTheOldFileAlone)
{
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.") + QLatin1String(f.name));
        {
            QFile old(path);
            ASSERT_TRUE(old.open(QIODevice::WriteOnly));
            old.write("antigo");
        }
        TestTable t(kTitles, manyRows(9000));
        int calls = 0;
        EXPECT_FALSE(f.write(t.table, path, [&](int, int) { return ++calls < 2; }));
        EXPECT_EQ(readAll(path), QByteArray("antigo"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary file left";

        const QString nowhere = dir.filePath(QStringLiteral("nao-existe/t.") + QLatin1String(f.name));
        EXPECT_THROW(f.write(t.table, nowhere, {}), ExportError);
        EXPECT_FALSE(QFile::exists(nowhere));
    }
}

TEST(Xlsx, RefusesMoreRowsThanASheetHolds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.xlsx"));
    reports::ReportTable t;
    t.columns = {{QStringLiteral("Código"), 10, Qt::AlignLeft}};
    t.rowCount = reports::kXlsxMaxRows + 1;
    t.text = [](int r, int) { return QString::number(r); };
    try {
        reports::writeXlsx(t, path);
        FAIL() << "no error";
    } catch (const ExportError &e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).contains(QStringLiteral("1.048.575"))) << e.what();
    }
    EXPECT_FALSE(QFile::exists(path));
}

} // namespace
} // namespace fiscal::test
