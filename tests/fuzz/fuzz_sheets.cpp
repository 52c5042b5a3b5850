// Fuzz target: the spreadsheet readers. The first byte chooses how the rest reaches them:
// as a file of its own (CSV, or a zip as it is), or as the sheet, the shared strings or the
// workbook of an XLSX, or the content of an ODS, zipped around it (so the mutations reach the
// XML readers rather than the deflate stream). Whatever the bytes, reading ends in rows or
// in a ReadError: no crash, no hang, and every row within the limits.

#include "importing/importlines.h"
#include "importing/sheetsource.h"

#include <minizip/zip.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace fiscal;

namespace {

#define check(ok) ((ok) ? void(0) : fail(#ok, __LINE__))
[[noreturn]] void fail(const char *what, int line)
{
    std::fprintf(stderr, "fuzz_sheets: broken at line %d: %s\n", line, what);
    std::abort();
}

const QByteArray kWorkbook =
    "<workbook xmlns:r=\"r\"><sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
const QByteArray kRels =
    "<Relationships><Relationship Id=\"rId1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/></Relationships>";
const QByteArray kSheet = "<worksheet><sheetData><row r=\"1\"><c t=\"s\"><v>0</v></c><c><v>7</v></c></row></sheetData></worksheet>";
const QByteArray kShared = "<sst><si><t>x</t></si></sst>";

void zipTo(const QString &path, const QList<std::pair<const char *, QByteArray>> &entries)
{
    zipFile z = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    for (const auto &[name, bytes] : entries) {
        zip_fileinfo info{};
        zipOpenNewFileInZip64(z, name, &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 1);   // stored
        zipWriteInFileInZip(z, bytes.constData(), unsigned(bytes.size()));
        zipCloseFileInZip(z);
    }
    zipClose(z, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("input"));
    QFile::remove(path);
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    switch (data[0] % 5) {
    case 0: {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(body);
        break;
    }
    case 1:
        zipTo(path, {{"xl/workbook.xml", kWorkbook}, {"xl/_rels/workbook.xml.rels", kRels},
                     {"xl/sharedStrings.xml", kShared}, {"xl/worksheets/sheet1.xml", body}});
        break;
    case 2:
        zipTo(path, {{"xl/workbook.xml", kWorkbook}, {"xl/_rels/workbook.xml.rels", kRels},
                     {"xl/sharedStrings.xml", body}, {"xl/worksheets/sheet1.xml", kSheet}});
        break;
    case 3:
        zipTo(path, {{"xl/workbook.xml", body}, {"xl/_rels/workbook.xml.rels", kRels},
                     {"xl/sharedStrings.xml", kShared}, {"xl/worksheets/sheet1.xml", kSheet}});
        break;
    default:
        zipTo(path, {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}, {"content.xml", body}});
        break;
    }

    importing::Limits limits;
    limits.maxRows = 5000;
    limits.maxEntryBytes = 4 * 1024 * 1024;
    limits.maxSharedStringBytes = 1024 * 1024;
    limits.maxColumns = 16;
    limits.maxCellChars = 64;
    try {
        auto src = importing::openSheetFile(path, limits);
        src->selectSheet(importing::firstVisibleSheet(*src));
        importing::SheetRow row;
        std::int64_t rows = 0;
        while (src->next(row)) {
            check(++rows <= limits.maxRows);
            check(!row.cells.isEmpty() && row.cells.size() <= limits.maxColumns);
            check(!row.cells.last().trimmed().isEmpty());
            for (const QString &c : row.cells)
                check(c.size() <= limits.maxCellChars + 1);
        }
        // And as import lines: every row is a line or an error, never both, never lost.
        src->selectSheet(importing::firstVisibleSheet(*src));
        const importing::ImportFile f = importing::readImportLines(*src, *protocol::importing::findEntity("CLIENTE"));
        check(std::int64_t(f.lines.size() + f.errors.size()) == f.rowsRead);
        for (const importing::ImportLine &l : f.lines)
            check(!l.key.isEmpty() && l.key.size() <= 21 && l.group.size() <= protocol::importing::kGroupAsWritten);
    } catch (const importing::ReadError &e) {
        check(!e.message().isEmpty());
    }
    return 0;
}
