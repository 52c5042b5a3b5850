// Every format read back row for row: the same rows written as CSV (each encoding and
// separator), XLSX (shared and inline strings, numbers, formulas) and ODS come back as the
// same cells, with the line numbers a person sees; hidden sheets and empty rows skipped.

#include "sheetfiles.h"

#include "importing/csvsource.h"
#include "importing/sheetsource.h"

#include <functional>

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using importing::SheetRow;

struct Read {
    QString format;
    std::vector<std::int64_t> lines;
    QList<QStringList> rows;
};

Read readAll(const QString &path, int sheet = -1)
{
    auto src = importing::openSheetFile(path);
    src->selectSheet(sheet < 0 ? importing::firstVisibleSheet(*src) : sheet);
    Read r{src->format(), {}, {}};
    SheetRow row;
    while (src->next(row)) {
        r.lines.push_back(row.line);
        r.rows << row.cells;
    }
    // Once at the end it stays there (the import asks again after a short file).
    EXPECT_FALSE(src->next(row));
    return r;
}

const QList<QStringList> kRows = {
    {QStringLiteral("CNPJ"), QStringLiteral("Razão Social"), QStringLiteral("Grupo Fiscal")},
    {QStringLiteral("00012345000195"), QStringLiteral("Açaí; \"Bom\" Ltda"), QStringLiteral("003 - Indústria")},
    {},
    {QStringLiteral("1234"), QString(), QStringLiteral("7")},
    {QStringLiteral("Linha\ncom quebra"), QStringLiteral("São João"), QString()},
};
// The rows with something in them and their line numbers; trailing empty cells dropped.
const std::vector<std::int64_t> kLines = {1, 2, 4, 5};
const QList<QStringList> kExpected = {kRows[0], kRows[1], {QStringLiteral("1234"), QString(), QStringLiteral("7")},
                                      {QStringLiteral("Linha\ncom quebra"), QStringLiteral("São João")}};

QByteArray csv(const QList<QStringList> &rows, char sep, bool bom)
{
    QString text;
    for (const QStringList &r : rows) {
        QStringList cells;
        for (QString c : r) {
            if (c.contains(QLatin1Char(sep)) || c.contains(QLatin1Char('"')) || c.contains(QLatin1Char('\n')))
                c = QLatin1Char('"') + c.replace(QLatin1String("\""), QLatin1String("\"\"")) + QLatin1Char('"');
            cells << c;
        }
        text += cells.join(QLatin1Char(sep)) + QStringLiteral("\r\n");
    }
    return bom ? "\xEF\xBB\xBF" + text.toUtf8() : text.toUtf8();
}

QByteArray windows1252(const QString &s)
{
    return s.toLatin1();   // the test's texts are all within Latin-1
}

TEST(Sheets, EveryFormatReadsTheSameRows)
{
    QTemporaryDir dir;
    const struct Case {
        const char *name;
        std::function<void(const QString &)> write;
        const char *format;
    } cases[] = {
        {"csv-utf8-bom-semicolon", [](const QString &p) { writeFile(p, csv(kRows, ';', true)); }, "CSV"},
        {"csv-utf8-comma", [](const QString &p) { writeFile(p, csv(kRows, ',', false)); }, "CSV"},
        {"csv-1252-tab",
         [](const QString &p) { writeFile(p, windows1252(QString::fromUtf8(csv(kRows, '\t', false)))); }, "CSV"},
        // A spreadsheet's "Unicode text": UTF-16 with its mark, tabs between the cells.
        {"csv-utf16le-tab",
         [](const QString &p) {
             const QString text = QString::fromUtf8(csv(kRows, '\t', false));
             writeFile(p, "\xFF\xFE" + QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2));
         },
         "CSV"},
        {"xlsx-shared", [](const QString &p) { writeXlsx(p, {{QStringLiteral("Dados"), kRows}}); }, "XLSX"},
        {"xlsx-inline", [](const QString &p) { writeXlsx(p, {{QStringLiteral("Dados"), kRows}}, {false, true}); }, "XLSX"},
        {"xlsx-hidden-first",
         [](const QString &p) {
             writeXlsx(p, {{QStringLiteral("Oculta"), {{QStringLiteral("x")}}, true}, {QStringLiteral("Dados"), kRows}});
         },
         "XLSX"},
        {"ods", [](const QString &p) { writeOds(p, {{QStringLiteral("Dados"), kRows}}); }, "ODS"},
        {"ods-hidden-first",
         [](const QString &p) {
             writeOds(p, {{QStringLiteral("Oculta"), {{QStringLiteral("x")}}, true}, {QStringLiteral("Dados"), kRows}});
         },
         "ODS"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // The name says nothing: the content decides.
        const QString path = dir.filePath(QString::fromLatin1(c.name) + QStringLiteral(".dat"));
        c.write(path);
        const Read r = readAll(path);
        EXPECT_EQ(r.format, QLatin1String(c.format));
        EXPECT_EQ(r.rows, kExpected);
        // A CSV record with a line break inside is numbered by the line it starts on.
        EXPECT_EQ(r.lines, kLines);
    }
}

TEST(Sheets, CsvDetectsEncodingAndSeparator)
{
    QTemporaryDir dir;
    const struct {
        QByteArray bytes;
        bool utf8;
        QChar separator;
        QStringList first;
    } cases[] = {
        {"a;b,c\r\n", true, QLatin1Char(';'), {QStringLiteral("a"), QStringLiteral("b,c")}},
        {"a,\"b;c\",d\n", true, QLatin1Char(','), {QStringLiteral("a"), QStringLiteral("b;c"), QStringLiteral("d")}},
        {"S\xE3o\tJo\xE3o\n", false, QLatin1Char('\t'), {QStringLiteral("São"), QStringLiteral("João")}},
        {"\x80 pre\xE7o;x\n", false, QLatin1Char(';'), {QStringLiteral("€ preço"), QStringLiteral("x")}},
        {"\xEF\xBB\xBF" "C\xC3\xB3" "digo;Grupo\n", true, QLatin1Char(';'), {QStringLiteral("Código"), QStringLiteral("Grupo")}},
        {"\n\n  \nsozinho\n", true, QLatin1Char(';'), {QStringLiteral("sozinho")}},
        // A heading before the titles tells nothing: the lines after it do.
        {"Clientes ativos, mar\xC3\xA7o de 2024\nC\xC3\xB3" "digo;Nome\n1;Casa, Ltda\n2;Loja\n", true, QLatin1Char(';'),
         {QStringLiteral("Clientes ativos, março de 2024")}},
        {"Clientes\nC\xC3\xB3" "digo,Nome\n1,Casa\n", true, QLatin1Char(','), {QStringLiteral("Clientes")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes.toStdString());
        const QString path = dir.filePath(QStringLiteral("t.csv"));
        writeFile(path, c.bytes);
        importing::CsvSource src(path, {});
        EXPECT_EQ(src.utf8(), c.utf8);
        EXPECT_EQ(src.separator(), c.separator);
        SheetRow row;
        ASSERT_TRUE(src.next(row));
        EXPECT_EQ(row.cells, c.first);
    }
}

TEST(Sheets, NumbersKeepTheirDigits)
{
    // A number as a spreadsheet stores it, as the digits a person typed.
    const struct { const char *stored, *text; } cases[] = {
        {"1.2345678000195E13", "12345678000195"}, {"12345678000195", "12345678000195"}, {"3", "3"},
        {"3.0", "3"}, {"3.5", "3.5"}, {"-7", "-7"}, {"abc", "abc"}, {"1E+300", "1E+300"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(importing::numberText(QString::fromLatin1(c.stored)), QString::fromLatin1(c.text)) << c.stored;

    // A code's leading zeros are there only when a format shows them ("000000"), as a code
    // column kept as numbers does.
    QTemporaryDir dir;
    const QList<QStringList> rows = {{QStringLiteral("12345678000195"), QStringLiteral("003"), QStringLiteral("000123")}};
    const QStringList bare = {QStringLiteral("12345678000195"), QStringLiteral("3"), QStringLiteral("123")};
    const QStringList shown = rows.first();
    const struct { const char *name; std::function<void(const QString &)> write; QStringList expected; } files[] = {
        {"xlsx numbers", [&](const QString &p) { writeXlsx(p, {{QStringLiteral("N"), rows}}, {true, false, false}); }, bare},
        {"xlsx formulas", [&](const QString &p) { writeXlsx(p, {{QStringLiteral("N"), rows}}, {true, false, true}); }, bare},
        {"ods numbers", [&](const QString &p) { writeOds(p, {{QStringLiteral("N"), rows}}, true); }, bare},
        {"xlsx zero formats", [&](const QString &p) { writeXlsx(p, {{QStringLiteral("N"), rows}}, {false, false, false, true}); }, shown},
        {"ods zeros shown", [&](const QString &p) { writeOds(p, {{QStringLiteral("N"), rows}}, true, 1, true); }, shown},
    };
    for (const auto &f : files) {
        SCOPED_TRACE(f.name);
        const QString path = dir.filePath(QString::fromLatin1(f.name).replace(QLatin1Char(' '), QLatin1Char('_')));
        f.write(path);
        EXPECT_EQ(readAll(path).rows, QList<QStringList>{f.expected});
    }
}

TEST(Sheets, SheetChoiceAndRepeatedRows)
{
    QTemporaryDir dir;
    const QString ods = dir.filePath(QStringLiteral("t.ods"));
    writeOds(ods, {{QStringLiteral("Um"), {{QStringLiteral("1")}}}, {QStringLiteral("Dois"), {{QStringLiteral("2")}}}}, false, 3);
    auto src = importing::openSheetFile(ods);
    ASSERT_EQ(src->sheets().size(), 2u);
    EXPECT_EQ(src->sheets()[1].name, QStringLiteral("Dois"));
    const Read second = readAll(ods, 1);
    EXPECT_EQ(second.rows, (QList<QStringList>{{QStringLiteral("2")}, {QStringLiteral("2")}, {QStringLiteral("2")}}));
    EXPECT_EQ(second.lines, (std::vector<std::int64_t>{1, 2, 3}));

    const QString xlsx = dir.filePath(QStringLiteral("t.xlsx"));
    writeXlsx(xlsx, {{QStringLiteral("Um"), {{QStringLiteral("1")}}}, {QStringLiteral("Dois"), {{}, {QStringLiteral("2")}}}});
    const Read x = readAll(xlsx, 1);
    EXPECT_EQ(x.rows, (QList<QStringList>{{QStringLiteral("2")}}));
    EXPECT_EQ(x.lines, (std::vector<std::int64_t>{2}));

    // One file, one sheet chosen after another, as the dialog's "Folha" does.
    for (const QString &path : {ods, xlsx}) {
        SCOPED_TRACE(path.toStdString());
        auto one = importing::openSheetFile(path);
        for (const int sheet : {0, 1, 0}) {
            one->selectSheet(sheet);
            SheetRow row;
            ASSERT_TRUE(one->next(row)) << "sheet " << sheet;
            EXPECT_EQ(row.cells, QStringList{QString::number(sheet + 1)});
        }
    }
}

// Shared strings are read alongside the sheet; once the columns wanted are known, only theirs
// are held, and those used once are let go once used: whatever order the strings are numbered
// in, and however a cell is written, every wanted cell comes back with its text.
TEST(Sheets, SharedStringsInAnyOrder)
{
    const QByteArray kCell = "<c r=\"%1%2\" t=\"s\">";
    QTemporaryDir dir;
    const int n = 300;
    const auto key = [](int i) { return QStringLiteral("%1.345.678/0001-95").arg(i, 2, 10, QLatin1Char('0')); };
    const QStringList groups{QStringLiteral("003"), QStringLiteral("Grupo Fiscal")};
    const struct Case {
        const char *name;
        // The index of row i's key (groups are 0 and 1; keys from 2, or again 0 for one row).
        std::function<int(int)> keyIndex;
        QByteArray keyOpen, groupOpen;   // %1 the column, %2 the row
    } cases[] = {
        {"numbered as first used", [](int i) { return 2 + i; }, kCell, kCell},
        {"keys after the groups, last row first", [](int i) { return 2 + (n - 1 - i); }, kCell, kCell},
        {"prefixed elements, single quotes", [](int i) { return 2 + i; }, "<x:c  t = 's'  r='%1%2'>",
         "<x:c  t = 's'  r='%1%2'>"},
        // Strings the scan takes for unused are read again when a cell turns out to use them.
        {"groups of a type the scan cannot read", [](int i) { return 2 + (n - 1 - i); }, kCell,
         "<c r=\"%1%2\" t=\"&#115;\">"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QStringList strings = groups;
        for (int i = 0; i < n; ++i)
            strings << QString();
        QList<QStringList> expected;
        QByteArray rows;
        const bool prefixed = c.keyOpen.startsWith("<x:");
        const QByteArray v = prefixed ? "x:v" : "v", cell = prefixed ? "x:c" : "c";
        for (int i = 0; i < n; ++i) {
            const int k = c.keyIndex(i);
            strings[k] = key(i);
            // The key after the group in the row; the group read again and again; a name of a
            // column not wanted, used by several rows, also as a key.
            rows += "<row r=\"" + QByteArray::number(i + 1) + "\">";
            for (const auto &[column, index] : {std::pair{"B", i % 2}, std::pair{"A", k}, std::pair{"C", 2 + i % 7}})
                rows += QString::fromUtf8(index == k ? c.keyOpen : c.groupOpen).arg(QLatin1String(column)).arg(i + 1).toUtf8()
                        + "<" + v + ">" + QByteArray::number(index) + "</" + v + "></" + cell + ">";
            rows += "</row>";
            expected << QStringList{key(i), groups[i % 2]};
        }
        QByteArray sst = "<sst>";
        for (const QString &t : strings)
            sst += "<si><t>" + t.toUtf8() + "</t></si>";
        sst += "</sst>";
        const QString path = dir.filePath(QStringLiteral("shared.xlsx"));
        QFile::remove(path);
        writeXlsxParts(path, "<worksheet xmlns:x=\"urn:x\"><sheetData>" + rows + "</sheetData></worksheet>", sst);
        auto src = importing::openSheetFile(path);
        src->selectSheet(0);
        QList<QStringList> read;
        for (SheetRow row; src->next(row);) {
            read << row.cells.mid(0, 2);
            if (read.size() == 1)
                src->keepColumns({0, 1});   // as the import does once it has found its columns
        }
        ASSERT_EQ(read.size(), n);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(read[i], expected[i]) << i;
    }
}

// A tag longer than any a program writes stops the scan of the strings: every string is
// then held, and the rows still come back whole.
TEST(Sheets, SharedStringsPastWhatTheScanFollows)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long.xlsx"));
    writeXlsxParts(path,
                   "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\" x=\"" + QByteArray(2 * 1024 * 1024, 'a')
                       + "\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c></row>"
                         "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>2</v></c><c r=\"B2\" t=\"s\"><v>1</v></c></row>"
                         "<row r=\"3\"><c r=\"A3\" t=\"s\"><v>2</v></c><c r=\"B3\" t=\"s\"><v>1</v></c></row></sheetData></worksheet>",
                   "<sst><si><t>x</t></si><si><t>003</t></si><si><t>12.345.678/0001-95</t></si></sst>");
    auto src = importing::openSheetFile(path);
    src->selectSheet(0);
    SheetRow row;
    ASSERT_TRUE(src->next(row));
    src->keepColumns({0, 1});
    for (int line = 2; line <= 3; ++line) {
        ASSERT_TRUE(src->next(row));
        EXPECT_EQ(row.cells, (QStringList{QStringLiteral("12.345.678/0001-95"), QStringLiteral("003")})) << line;
    }
    EXPECT_FALSE(src->next(row));
}

} // namespace
} // namespace fiscal::test
