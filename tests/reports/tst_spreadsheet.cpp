// Spreadsheets read back as a spreadsheet program reads them: every row and code, leading
// zeros and accents intact; nothing half-written left behind.

#include "printto.h"
#include "readback.h"

#include "reports/printflow.h"
#include "reports/spreadsheet.h"

#include <QFile>
#include <QRegularExpression>
#include <QFileInfo>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace fiscal::test {
namespace {

using reports::ExportError;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The file an export is about to replace.
bool writeOld(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("antigo") == 6;
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

// A desktop in Portuguese: QApplication hands the system's locale to the C library, whose
// printf then writes a decimal comma. Built here from the locale's sources, as few machines
// have it compiled.
TEST(Xlsx, NumbersInTheSheetKeepTheirPointUnderAPortugueseDesktop)
{
    QTemporaryDir dir;
    const QString locales = dir.filePath(QStringLiteral("locales"));
    QDir().mkpath(locales);
    const QByteArray made = QFile::encodeName(locales + QStringLiteral("/pt_BR.UTF-8"));
    if (std::system(("localedef -i pt_BR -f UTF-8 '" + made + "' >/dev/null 2>&1").constData()) != 0)
        GTEST_SKIP() << "localedef or the pt_BR sources (package locales) missing";
    const QByteArray previousPath = qgetenv("LOCPATH");
    qputenv("LOCPATH", QFile::encodeName(locales));
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "pt_BR.UTF-8"), nullptr);
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.1f", 0.5);
    const QString path = dir.filePath(QStringLiteral("t.xlsx"));
    TestTable t(kTitles, kTricky);
    const bool written = reports::writeXlsx(t.table, path);
    std::setlocale(LC_ALL, previous.c_str());
    previousPath.isNull() ? qunsetenv("LOCPATH") : qputenv("LOCPATH", previousPath);
    ASSERT_STREQ(printed, "0,5") << "the locale did not take";
    ASSERT_TRUE(written);
    const QString sheet = QString::fromUtf8(xlsxPart(path, QStringLiteral("xl/worksheets/sheet1.xml")));
    const QRegularExpression number(QStringLiteral("(width|left|right|top|bottom|header|footer)=\"[0-9]+(\\.[0-9]+)?\""));
    EXPECT_EQ(sheet.count(number), 3 + 6) << sheet.toStdString();
    EXPECT_FALSE(sheet.contains(QRegularExpression(QStringLiteral("=\"[0-9]+,[0-9]")))) << sheet.toStdString();
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

// What the rows belong to heads the file, as it heads the printout: exports of one tab for
// two taxes must not read alike.
TEST(Spreadsheet, TheContextLinesComeBeforeTheTitles)
{
    QTemporaryDir dir;
    TestTable t(kTitles, kTricky);
    t.table.context = {QStringLiteral("Imposto: 01 - ICMS"), QStringLiteral("Somente os registros cujo grupo mudou desde então")};
    QList<QStringList> expected{{t.table.context.at(0)}, {t.table.context.at(1)}, {}, kTitles};
    expected += kTricky;
    for (QStringList &r : expected)
        while (r.size() < kTitles.size())
            r << QString();
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        const QString path = dir.filePath(QStringLiteral("t.") + QLatin1String(f.name));
        ASSERT_TRUE(f.write(t.table, path, {}));
        QList<QStringList> rows = QLatin1String(f.name) == QLatin1String("csv") ? parseCsv(readAll(path)) : xlsxSheetRows(path);
        for (QStringList &r : rows)
            while (r.size() < kTitles.size())
                r << QString();
        EXPECT_EQ(rows, expected);
    }
    const QString sheet = QString::fromUtf8(xlsxPart(dir.filePath(QStringLiteral("t.xlsx")), QStringLiteral("xl/worksheets/sheet1.xml")));
    EXPECT_TRUE(sheet.contains(QStringLiteral("ySplit=\"4\""))) << "the titles stay in sight";
    EXPECT_TRUE(sheet.contains(QStringLiteral("<autoFilter ref=\"A4:C8\"")));
}

TEST(Spreadsheet, CancelledOrFailedLeavesTheOldFileAlone)
{
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.") + QLatin1String(f.name));
        ASSERT_TRUE(writeOld(path));
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

// A sheet is named after its section, cut to 31 characters; the workbook refuses a name that
// begins or ends with an apostrophe, which a cut can leave ("SANT'ANA").
TEST(Xlsx, TheSheetNameNeverBeginsOrEndsWithAnApostrophe)
{
    const struct { QString section, sheet; } cases[] = {
        {QStringLiteral("Fornecedor 000123 - ARTES SANT'ANA LTDA"), QStringLiteral("Fornecedor 000123 - ARTES SANT")},
        {QStringLiteral("'Copa' D'ÁGUA'"), QStringLiteral("Copa' D'ÁGUA")},
        {QStringLiteral("' '"), QStringLiteral("Planilha")},
        // An emoji across the cut is left out whole, never halved.
        {QString(30, QLatin1Char('A')) + QString::fromUtf8("\U0001F600 LTDA"), QString(30, QLatin1Char('A'))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.section.toStdString());
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.xlsx"));
        TestTable t(kTitles, kTricky);
        t.table.section = c.section;
        ASSERT_NO_THROW(reports::writeXlsx(t.table, path));
        const QString book = QString::fromUtf8(xlsxPart(path, QStringLiteral("xl/workbook.xml")));
        QString escaped = c.sheet;
        escaped.replace(QLatin1Char('\''), QStringLiteral("&apos;"));
        EXPECT_TRUE(book.contains(QStringLiteral("name=\"%1\"").arg(c.sheet))
                    || book.contains(QStringLiteral("name=\"%1\"").arg(escaped)))
            << book.toStdString();
        EXPECT_EQ(xlsxSheetRows(path).size(), kTricky.size() + 1);
    }
}

// The disk fills up under the export (a file-size limit here): an error in Portuguese, the
// old file as it was and nothing else left, never "Arquivo gravado" over a cut sheet.
// A write that fails (here at a size limit, as on a full disk) is an error and the old file
// stays, whichever writer buffers it: the XLSX library does not look at its writes, and a short
// CSV or the end of a PDF waits in a buffer until the file is committed.
TEST(Export, AWriteThatFailsIsAnErrorEvenWhereTheLibraryDoesNotLook)
{
    const struct { const char *name; Writer write; int rows; rlim_t limit; } cases[] = {
        {"xlsx", &reports::writeXlsx, 20000, 192 * 1024},
        {"csv", &reports::writeCsv, 10, 64},
        // Past the buffer, each chunk goes straight to the file and ends short.
        {"csv", &reports::writeCsv, 20000, 192 * 1024},
        {"pdf", [](const reports::ReportTable &t, const QString &path, const reports::ExportProgress &) {
             return reports::writeReport(t, reports::ExportFormat::Pdf, path, nullptr);
         }, 10, 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.") + QLatin1String(c.name));
        ASSERT_TRUE(writeOld(path));
        TestTable t(kTitles, manyRows(c.rows));
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
        rlimit small = before;
        small.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString error;
        try {
            c.write(t.table, path, {});
        } catch (const ExportError &e) {
            error = QString::fromUtf8(e.what());
        }
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, SIG_DFL);
        EXPECT_TRUE(error.startsWith(QStringLiteral("Não foi possível gravar o arquivo"))) << error.toStdString();
        EXPECT_FALSE(error.contains(QStringLiteral("error"), Qt::CaseInsensitive)) << error.toStdString();
        EXPECT_EQ(readAll(path), QByteArray("antigo"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary file left";
    }
}

// A file chosen through a link is written where the link points, and the link stays.
TEST(Spreadsheet, AnExportOverALinkWritesTheFileItPointsTo)
{
    for (const Format &f : kFormats) {
        SCOPED_TRACE(f.name);
        QTemporaryDir dir;
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("compartilhado")));
        const QString real = dir.filePath(QStringLiteral("compartilhado/t.") + QLatin1String(f.name));
        const QString link = dir.filePath(QStringLiteral("t.") + QLatin1String(f.name));
        ASSERT_TRUE(writeOld(real));
        ASSERT_TRUE(QFile::link(real, link));
        TestTable t(kTitles, kTricky);
        EXPECT_TRUE(f.write(t.table, link, {}));
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_NE(readAll(real), QByteArray("antigo"));
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "file left beside the link";
    }
}

// The exported file is as any other saved here: a new one follows the umask, one replaced
// keeps its mode, and a read-only one is not replaced (the last only where the user is not
// root, whom nothing is read-only to).
TEST(Spreadsheet, ANewFileFollowsTheUmaskAndAReplacedOneKeepsItsMode)
{
    const mode_t mask = umask(027);
    const struct { const char *what; int before; int after; bool refused; } cases[] = {
        {"new", -1, 0640, false},
        {"replaced", 0664, 0664, false},
        {"read-only", 0444, 0444, true},
    };
    for (const Format &f : kFormats) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(f.name) + " " + c.what);
            if (c.refused && geteuid() == 0)
                continue;
            QTemporaryDir dir;
            const QString path = dir.filePath(QStringLiteral("t.") + QLatin1String(f.name));
            const QByteArray native = QFile::encodeName(path);
            if (c.before >= 0) {
                QFile old(path);
                ASSERT_TRUE(old.open(QIODevice::WriteOnly));
                old.write("antigo");
                old.close();
                ASSERT_EQ(chmod(native.constData(), mode_t(c.before)), 0);
            }
            TestTable t(kTitles, kTricky);
            bool refused = false;
            try {
                f.write(t.table, path, {});
            } catch (const ExportError &) {
                refused = true;
            }
            EXPECT_EQ(refused, c.refused);
            struct stat st{};
            ASSERT_EQ(stat(native.constData(), &st), 0);
            EXPECT_EQ(int(st.st_mode & 0777), c.after) << std::oct << (st.st_mode & 0777);
            if (c.refused) {
                EXPECT_EQ(readAll(path), QByteArray("antigo"));
            }
        }
    }
    umask(mask);
}

} // namespace
} // namespace fiscal::test
