// Hostile files end in a ReadError with a message a person understands, never in a crash,
// a hang or memory taken without bound: zips that expand past the limit, XML with entity
// declarations, broken zips, too many rows, binary files under a spreadsheet's name.

#include "sheetfiles.h"

#include "importing/sheetsource.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace fiscal::test {
namespace {

using importing::Limits;
using importing::ReadError;

// Reads every row of the first visible sheet; the error's message, or empty.
QString readError(const QString &path, const Limits &limits = {})
{
    try {
        auto src = importing::openSheetFile(path, limits);
        src->selectSheet(importing::firstVisibleSheet(*src));
        importing::SheetRow row;
        while (src->next(row)) {
        }
        return {};
    } catch (const ReadError &e) {
        return e.message();
    }
}

const QByteArray kSheet = "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c></row></sheetData></worksheet>";
const QByteArray kShared = "<sst><si><t>ok</t></si></sst>";

// The styles only give some numbers their zeros: styles that cannot be read leave the
// numbers bare, and the sheet is read all the same.
TEST(Hostile, StylesThatCannotBeReadLeaveTheNumbersBare)
{
    QTemporaryDir dir;
    const QByteArray sheet = "<worksheet><sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>7</v></c></row></sheetData></worksheet>";
    const QByteArray good = "<styleSheet><numFmts><numFmt numFmtId=\"164\" formatCode=\"000\"/></numFmts>"
                            "<cellXfs><xf numFmtId=\"0\"/><xf numFmtId=\"164\"/></cellXfs></styleSheet>";
    const struct { const char *name; QByteArray styles; const char *cell; } cases[] = {
        {"read", good, "007"},
        {"broken", good.chopped(20), "7"},
        {"with a DTD", "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x \"y\">]>" + good, "7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("s.xlsx"));
        writeXlsxParts(path, sheet, kShared, c.styles);
        auto src = importing::openSheetFile(path);
        src->selectSheet(0);
        importing::SheetRow row;
        ASSERT_TRUE(src->next(row));
        EXPECT_EQ(row.cells, QStringList{QString::fromLatin1(c.cell)});
    }
}

TEST(Hostile, RefusedWithAMessage)
{
    QTemporaryDir dir;
    const struct Case {
        const char *name;
        std::function<void(const QString &)> write;
        const char *message;   // a part of it
        Limits limits;
    } cases[] = {
        {"entity expansion",
         [](const QString &p) {
             writeXlsxParts(p, kSheet,
                            "<?xml version=\"1.0\"?><!DOCTYPE sst [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;\">]>"
                            "<sst><si><t>&b;&b;&b;&b;</t></si></sst>");
         },
         "DTD", {}},
        {"external entity",
         [](const QString &p) {
             writeXlsxParts(p, "<?xml version=\"1.0\"?><!DOCTYPE w [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                               "<worksheet><sheetData><row><c t=\"inlineStr\"><is><t>&x;</t></is></c></row></sheetData></worksheet>",
                            kShared);
         },
         "DTD", {}},
        {"ods entity",
         [](const QString &p) {
             writeZip(p, {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.spreadsheet"},
                          {QStringLiteral("content.xml"), "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"x\">]><d/>"}});
         },
         "DTD", {}},
        {"sheet expands past the limit",
         [](const QString &p) {
             writeZip(p, {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.spreadsheet"},
                          {QStringLiteral("content.xml"), "<?xml version=\"1.0\"?><d>" + QByteArray(8 * 1024 * 1024, ' ') + "</d>"}});
         },
         "passa de 2 MB", Limits{1048576, 2 * 1024 * 1024}},
        {"shared strings past the limit",
         [](const QString &p) { writeXlsxParts(p, kSheet, "<sst><si><t>" + QByteArray(4 * 1024 * 1024, 'a') + "</t></si></sst>"); },
         "passa de 1 MB", Limits{1048576, 1024 * 1024}},
        {"truncated zip",
         [](const QString &p) {
             writeXlsx(p, {{QStringLiteral("A"), {{QStringLiteral("x")}}}});
             QFile f(p);
             f.open(QIODevice::ReadWrite);
             f.resize(f.size() / 2);
         },
         "corrompido", {}},
        {"zip of something else",
         [](const QString &p) { writeZip(p, {{QStringLiteral("leia.txt"), "oi"}}); }, "nem ODS", {}},
        {"malformed xml",
         [](const QString &p) { writeXlsxParts(p, "<worksheet><sheetData><row><c><v>1</row>", kShared); },
         "corrompido", {}},
        {"shared string out of range",
         [](const QString &p) {
             writeXlsxParts(p, "<worksheet><sheetData><row><c t=\"s\"><v>99</v></c></row></sheetData></worksheet>", kShared);
         },
         "corrompido", {}},
        {"binary renamed csv",
         [](const QString &p) {
             QByteArray b(4096, 0);
             for (char &c : b)
                 c = char(QRandomGenerator::global()->bounded(256));
             b[100] = 0;
             writeFile(p, b);
         },
         "binário", {}},
        {"old xls", [](const QString &p) { writeFile(p, QByteArray("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + QByteArray(600, 0)); },
         ".xls", {}},
        // Read on, the rest of the file would be one cell and the line's group empty.
        {"csv quote never closed",
         [](const QString &p) { writeFile(p, "C\xC3\xB3" "digo;Nome;Grupo\r\n0001;\"Casa do Z\xC3\xA9;003\r\n0002;Loja;004\r\n"); },
         "A linha 2 abre aspas", {}},
        {"csv rows past the limit",
         [](const QString &p) { writeFile(p, QByteArray("1;001\n").repeated(11)); }, "mais de 10 linhas", Limits{10}},
        {"ods repeated rows past the limit",
         [](const QString &p) { writeOds(p, {{QStringLiteral("A"), {{QStringLiteral("1"), QStringLiteral("001")}}}}, false, 1048577); },
         "mais de 1.048.576 linhas", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("hostile.csv"));
        QFile::remove(path);
        c.write(path);
        const QString message = readError(path, c.limits);
        EXPECT_TRUE(message.contains(QString::fromUtf8(c.message))) << message.toStdString();
    }
}

TEST(Hostile, AMillionRowsWithinTheLimitsAreRead)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.ods"));
    writeOds(path, {{QStringLiteral("A"), {{QStringLiteral("Código"), QStringLiteral("Grupo")},
                                           {QStringLiteral("1"), QStringLiteral("001")}}}},
             false, 1000000);
    auto src = importing::openSheetFile(path);
    src->selectSheet(0);
    importing::SheetRow row;
    std::int64_t rows = 0;
    while (src->next(row))
        ++rows;
    EXPECT_EQ(rows, 1000001);
    EXPECT_EQ(row.line, 1000001);
}

} // namespace
} // namespace fiscal::test
