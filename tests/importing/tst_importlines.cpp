// Rows turned into import lines: the columns found by their titles (case and accents
// ignored) or by position, the record and the group as the server expects them, and a file
// exported by the grid read back into the very keys and groups it shows.

#include "sheetfiles.h"

#include "importing/importlines.h"
#include "reports/reporttable.h"
#include "reports/spreadsheet.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using importing::ImportFile;
namespace proto = protocol::importing;

const proto::Entity &entity(const char *name)
{
    return *proto::findEntity(name);
}

ImportFile importFrom(const QString &path, const char *entityName)
{
    auto src = importing::openSheetFile(path);
    src->selectSheet(importing::firstVisibleSheet(*src));
    return importing::readImportLines(*src, entity(entityName));
}

TEST(ImportLines, ColumnsByTitle)
{
    const struct {
        QStringList titles;
        int key, group;
        bool documents;
    } cases[] = {
        {{QStringLiteral("CNPJ"), QStringLiteral("Grupo Fiscal")}, 0, 1, true},
        {{QStringLiteral("Nome"), QStringLiteral("  grupo  "), QStringLiteral("CÓDIGO:")}, 2, 1, false},
        {{QStringLiteral("Inscrição"), QStringLiteral("Nome/Razão Social"), QStringLiteral("GRUPO FISCAL")}, 0, 2, true},
        // A code names one record; a CNPJ may be shared by several.
        {{QStringLiteral("CPF/CNPJ"), QStringLiteral("Código"), QStringLiteral("Grupo")}, 1, 2, false},
        {{QStringLiteral("Tipo Gestão Fiscal"), QStringLiteral("Grupo Fiscal")}, 0, 1, false},
        {{QStringLiteral("12345678000195"), QStringLiteral("003")}, -1, -1, false},
        // The grid's export with a column of new groups beside its own, either side.
        {{QStringLiteral("Código"), QStringLiteral("Nome"), QStringLiteral("Grupo Fiscal"), QStringLiteral("Novo Grupo Fiscal")},
         0, 3, false},
        {{QStringLiteral("Código"), QStringLiteral("Grupo Fiscal Novo"), QStringLiteral("Grupo Fiscal")}, 0, 1, false},
        // A loose title gives way to a specific one, wherever it stands: "Grupo" may be the
        // ERP's own grouping of clients, "Filial" the branch beside a client's code.
        {{QStringLiteral("Código"), QStringLiteral("Grupo"), QStringLiteral("Grupo Fiscal")}, 0, 2, false},
        {{QStringLiteral("Filial"), QStringLiteral("Código"), QStringLiteral("Grupo")}, 1, 2, false},
        {{QStringLiteral("Cliente"), QStringLiteral("Grupo")}, 0, 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.titles.join(QLatin1Char('|')).toStdString());
        const importing::Columns found = importing::findColumns(c.titles);
        EXPECT_EQ(found.key, c.key);
        EXPECT_EQ(found.group, c.group);
        EXPECT_EQ(found.documents, c.documents);
    }
}

TEST(ImportLines, RecordsAndGroupsAsSent)
{
    const struct {
        const char *entity, *cell;
        bool documents;
        const char *key;
    } keys[] = {
        {"FILIAL", "7", false, "0007"},
        {"TPFATURFIS", "00003 - Simples Nacional", false, "00003"},
        {"TIPOFATUR", "001 - Venda", false, "001"},
        {"CLIENTE", "11.222.333/0001-81", true, "11.222.333/0001-81"},
        // A CNPJ or CPF typed as a number lost its leading zeros.
        {"CLIENTE", "1222333000181", true, "01222333000181"},
        {"FORNECEDOR", "1234567890", true, "01234567890"},   // a valid CPF once completed
        {"FORNECEDOR", "1234567891", true, "00001234567891"}, // not a CPF: a CNPJ's digits
        {"FORNECEDOR", "123", false, "123"},                  // a code, as written
        // Shown wider by a format of zeros: a branch of six digits, a CPF in a CNPJ's 14.
        {"FILIAL", "000007", false, "0007"},
        {"FORNECEDOR", "00012345678909", true, "12345678909"},
        {"FORNECEDOR", "00000000000191", true, "00000000000191"},   // a valid CNPJ stays one
        // Outside a CNPJ/CPF column a number may be a code: the server tells which.
        {"GRFISIMPIECLIE", "1222333000181", false, "1222333000181"},
        {"CLIENTE", "4711", false, "4711"},
        {"CLIENTE", "  ", true, ""},
    };
    for (const auto &k : keys)
        EXPECT_EQ(importing::recordKey(QString::fromUtf8(k.cell), entity(k.entity), k.documents), QString::fromUtf8(k.key))
            << k.entity << " " << k.cell;

    const struct { const char *cell; std::optional<QString> group; } groups[] = {
        {"3", QStringLiteral("003")}, {"003 - Indústria", QStringLiteral("003")}, {"", QString()},
        {" - ", QStringLiteral("-")}, {"A1", QStringLiteral("A1")}, {"1234", std::nullopt}, {"grupo x", std::nullopt},
        {"004 - ", QStringLiteral("004")},   // a group whose description is blank, as exported
        {"0004", QStringLiteral("004")},     // shown by a format of four zeros
    };
    for (const auto &g : groups)
        EXPECT_EQ(importing::groupCode(QString::fromUtf8(g.cell)), g.group) << g.cell;
}

// Without titles, the first column is the record and the second the group. A group that
// cannot be a code goes with its line (the server refuses it, and its record's other lines).
TEST(ImportLines, LinesByNumberAndPositionWithoutTitles)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    writeFile(path, "1;003\n\n2;grupo errado\n;004\n0003;\n1234567890123456789012;001\n");
    const ImportFile f = importFrom(path, "FILIAL");
    EXPECT_EQ(f.columns.titleLine, 0);
    EXPECT_EQ(f.rowsRead, 5);
    ASSERT_EQ(f.lines.size(), 3u);
    EXPECT_EQ(f.lines[0].line, 1);
    EXPECT_EQ(f.lines[0].key, QStringLiteral("0001"));
    EXPECT_EQ(f.lines[1].line, 3);
    EXPECT_EQ(f.lines[1].key, QStringLiteral("0002"));
    EXPECT_EQ(f.lines[1].group, QStringLiteral("grupo errado"));
    EXPECT_EQ(f.lines[2].line, 5);
    EXPECT_EQ(f.lines[2].group, QString());
    ASSERT_EQ(f.errors.size(), 2u);
    EXPECT_EQ(f.errors[0].line, 4);
    EXPECT_EQ(f.errors[1].line, 6);
}

// Without titles the first column may hold codes or CNPJ/CPF numbers: a number goes as
// written, for the server to try as a code first. A column titled CNPJ completes it here.
TEST(ImportLines, NumbersAreCompletedOnlyInADocumentColumn)
{
    QTemporaryDir dir;
    const struct {
        const char *file;
        QStringList keys;
    } cases[] = {
        {"4711;004\n1222333000181;005\n", {QStringLiteral("4711"), QStringLiteral("1222333000181")}},
        {"Código;Grupo\n4711;004\n", {QStringLiteral("4711")}},
        {"CNPJ;Grupo\n1222333000181;005\n", {QStringLiteral("01222333000181")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const QString path = dir.filePath(QStringLiteral("n.csv"));
        writeFile(path, c.file);
        const ImportFile f = importFrom(path, "CLIENTE");
        QStringList keys;
        for (std::size_t i = 0; i < f.lines.size(); ++i)
            keys << f.lines[i].key;
        EXPECT_EQ(keys, c.keys);
    }
}

// A formula saved without its result (as programs that do not calculate write them) is not
// an empty group, which would clear it: it goes as text the server refuses.
TEST(ImportLines, AFormulaWithoutItsResultIsNoGroup)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.xlsx"));
    writeXlsxParts(path,
                   "<?xml version=\"1.0\"?><worksheet><sheetData>"
                   "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>0001</t></is></c><c r=\"B1\"><f>PROCV(A1;X;2)</f></c></row>"
                   "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>0002</t></is></c>"
                   "<c r=\"B2\" t=\"str\"><f>\"00\"&amp;\"4\"</f><v>004</v></c></row>"
                   // An empty <v/>, as some writers leave after every formula: no result either.
                   "<row r=\"3\"><c r=\"A3\" t=\"inlineStr\"><is><t>0003</t></is></c><c r=\"B3\"><f>PROCV(A3;X;2)</f><v/></c></row>"
                   // A formula whose result is really empty text: no group.
                   "<row r=\"4\"><c r=\"A4\" t=\"inlineStr\"><is><t>0004</t></is></c><c r=\"B4\" t=\"str\"><f>\"\"</f><v></v></c></row>"
                   "</sheetData></worksheet>",
                   "<sst><si><t>x</t></si></sst>");
    const ImportFile f = importFrom(path, "FILIAL");
    EXPECT_TRUE(f.errors.empty());
    const QString noValue = QStringLiteral("#FÓRMULA SEM VALOR");
    const QStringList groups = {noValue, QStringLiteral("004"), noValue, QString()};
    ASSERT_EQ(f.lines.size(), std::size_t(groups.size()));
    for (std::size_t i = 0; i < f.lines.size(); ++i)
        EXPECT_EQ(f.lines[i].group, groups[qsizetype(i)]) << i;
}

TEST(ImportLines, TitlesThatNameOnlyOneColumnAreRefused)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("t.csv"));
    writeFile(path, "CNPJ;Novo\n11222333000181;003\n");
    try {
        importFrom(path, "CLIENTE");
        FAIL() << "read";
    } catch (const importing::ReadError &e) {
        EXPECT_TRUE(e.message().contains(QStringLiteral("grupo fiscal"))) << e.message().toStdString();
    }
}

TEST(ImportLines, TheGridsOwnExportReadsBack)
{
    // As the supplier tab exports itself: the formatted CNPJ/CPF, the name, "code - name".
    const QList<QStringList> shown = {
        {QStringLiteral("11.222.333/0001-81"), QStringLiteral("Açaí; \"Bom\""), QStringLiteral("003 - Indústria")},
        {QStringLiteral("123.456.789-09"), QStringLiteral("José"), QString()},
        {QStringLiteral("00.123.456/0001-30"), QStringLiteral("Zero à esquerda"), QStringLiteral("012 - Serviços")},
    };
    reports::ReportTable t;
    t.title = QStringLiteral("Parâmetros de Grupo Fiscal");
    t.section = QStringLiteral("Fornecedor");
    t.columns = {{QStringLiteral("Inscrição"), 20}, {QStringLiteral("Nome/Razão Social"), 40}, {QStringLiteral("Grupo Fiscal"), 36}};
    t.rowCount = int(shown.size());
    t.text = [&](int r, int c) { return shown[r][c]; };

    QTemporaryDir dir;
    for (const bool xlsx : {true, false}) {
        SCOPED_TRACE(xlsx);
        const QString path = dir.filePath(xlsx ? QStringLiteral("e.xlsx") : QStringLiteral("e.csv"));
        ASSERT_TRUE(xlsx ? reports::writeXlsx(t, path) : reports::writeCsv(t, path));
        const ImportFile f = importFrom(path, "FORNECEDOR");
        EXPECT_EQ(f.columns.titleLine, 1);
        EXPECT_TRUE(f.columns.documents);
        EXPECT_TRUE(f.errors.empty());
        ASSERT_EQ(f.lines.size(), 3u);
        const char *groups[] = {"003", "", "012"};
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(f.lines[std::size_t(i)].line, i + 2);
            EXPECT_EQ(f.lines[std::size_t(i)].key, shown[i][0]);
            EXPECT_EQ(f.lines[std::size_t(i)].group, QString::fromLatin1(groups[i]));
        }
    }
}

// Enough lines to fill several of the table's blocks, of every length a key and a group can
// have (accents take two bytes, an empty group none): each reads back as it went in, the
// last line of a block and the first of the next included.
TEST(ImportLines, PackedLinesReadBackAcrossBlocks)
{
    const auto keyOf = [](int i) {
        return QStringLiteral("ç%1").arg(i).leftJustified(1 + i % 21, QLatin1Char('x'), true);
    };
    const QStringList groups{QString(), QStringLiteral("1"), QStringLiteral("03"), QStringLiteral("ÁÉÍ")};
    importing::LineTable t;
    const int n = 60000;   // some 1.3 MB of text
    for (int i = 0; i < n; ++i)
        t.push_back({i + 2, keyOf(i), groups[i % groups.size()]});
    ASSERT_EQ(t.size(), std::size_t(n));
    for (int i = 0; i < n; ++i) {
        const importing::ImportLine l = t[std::size_t(i)];
        ASSERT_EQ(l.line, i + 2);
        ASSERT_EQ(l.key, keyOf(i)) << i;
        ASSERT_EQ(l.group, groups[i % groups.size()]) << i;
    }
}

} // namespace
} // namespace fiscal::test
