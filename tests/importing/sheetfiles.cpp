#include "sheetfiles.h"

#include <minizip/zip.h>
#include <xlsxwriter.h>

#include <QFile>
#include <stdexcept>

namespace fiscal::test {

namespace {

bool digitsOnly(const QString &s)
{
    if (s.isEmpty() || s.size() > 15)
        return false;
    for (const QChar c : s) {
        if (!c.isDigit())
            return false;
    }
    return true;
}

// A format showing a number with `digits` digits, leading zeros included; one per width.
lxw_format *zeroFormat(lxw_workbook *wb, int digits)
{
    lxw_format *f = workbook_add_format(wb);
    format_set_num_format(f, QString(digits, QLatin1Char('0')).toLatin1().constData());
    return f;
}

QString escaped(const QString &s)
{
    return s.toHtmlEscaped();
}

} // namespace

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

void writeXlsx(const QString &path, const QList<TestSheet> &sheets, XlsxOptions options)
{
    lxw_workbook_options o{};
    o.constant_memory = options.inlineStrings ? LXW_TRUE : LXW_FALSE;
    lxw_workbook *wb = workbook_new_opt(QFile::encodeName(path).constData(), &o);
    bool activated = false;
    for (const TestSheet &s : sheets) {
        lxw_worksheet *ws = workbook_add_worksheet(wb, s.name.toUtf8().constData());
        // The active sheet cannot be hidden: the first visible one is made active.
        if (s.hidden) {
            worksheet_hide(ws);
        } else if (!activated) {
            worksheet_activate(ws);
            activated = true;
        }
        for (int r = 0; r < s.rows.size(); ++r) {
            for (int c = 0; c < s.rows[r].size(); ++c) {
                const QString v = s.rows[r][c];
                if (v.isEmpty())
                    continue;
                if (digitsOnly(v) && options.formulas)
                    worksheet_write_formula_num(ws, lxw_row_t(r), lxw_col_t(c), ("=" + v + "+0").toUtf8().constData(),
                                                nullptr, v.toDouble());
                else if (digitsOnly(v) && (options.numbers || options.zeroFormats))
                    worksheet_write_number(ws, lxw_row_t(r), lxw_col_t(c), v.toDouble(),
                                           options.zeroFormats ? zeroFormat(wb, int(v.size())) : nullptr);
                else
                    worksheet_write_string(ws, lxw_row_t(r), lxw_col_t(c), v.toUtf8().constData(), nullptr);
            }
        }
    }
    if (workbook_close(wb) != LXW_NO_ERROR)
        throw std::runtime_error("cannot write " + path.toStdString());
}

QByteArray odsContent(const QList<TestSheet> &sheets, bool numbers, long long rowsRepeated, bool zerosShown)
{
    QString x = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<office:document-content xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
        "xmlns:style=\"urn:oasis:names:tc:opendocument:xmlns:style:1.0\" "
        "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" "
        "xmlns:table=\"urn:oasis:names:tc:opendocument:xmlns:table:1.0\" office:version=\"1.3\">"
        "<office:automatic-styles>"
        "<style:style style:name=\"ta1\" style:family=\"table\"><style:table-properties table:display=\"true\"/></style:style>"
        "<style:style style:name=\"ta2\" style:family=\"table\"><style:table-properties table:display=\"false\"/></style:style>"
        "</office:automatic-styles><office:body><office:spreadsheet>");
    for (const TestSheet &s : sheets) {
        x += QStringLiteral("<table:table table:name=\"%1\" table:style-name=\"%2\">"
                            "<table:table-column table:number-columns-repeated=\"3\"/>")
                 .arg(escaped(s.name), s.hidden ? QStringLiteral("ta2") : QStringLiteral("ta1"));
        for (int r = 0; r < s.rows.size(); ++r) {
            const bool last = r == s.rows.size() - 1;
            x += last && rowsRepeated > 1 ? QStringLiteral("<table:table-row table:number-rows-repeated=\"%1\">").arg(rowsRepeated)
                                          : QStringLiteral("<table:table-row>");
            for (const QString &v : s.rows[r]) {
                if (v.isEmpty())
                    x += QStringLiteral("<table:table-cell/>");
                else if (numbers && digitsOnly(v))
                    x += QStringLiteral("<table:table-cell office:value-type=\"float\" office:value=\"%1\"><text:p>%2</text:p></table:table-cell>")
                             .arg(QString::number(v.toLongLong()), zerosShown ? v : QString::number(v.toLongLong()));
                else
                    x += QStringLiteral("<table:table-cell office:value-type=\"string\"><text:p>%1</text:p></table:table-cell>")
                             .arg(escaped(v));
            }
            // What spreadsheet programs write after the last cell of a row.
            x += QStringLiteral("<table:table-cell table:number-columns-repeated=\"16381\"/></table:table-row>");
        }
        x += QStringLiteral("<table:table-row table:number-rows-repeated=\"1048000\"><table:table-cell/></table:table-row>"
                            "</table:table>");
    }
    x += QStringLiteral("</office:spreadsheet></office:body></office:document-content>");
    return x.toUtf8();
}

void writeOds(const QString &path, const QList<TestSheet> &sheets, bool numbers, long long rowsRepeated, bool zerosShown)
{
    writeZip(path, {{QStringLiteral("mimetype"), "application/vnd.oasis.opendocument.spreadsheet"},
                    {QStringLiteral("content.xml"), odsContent(sheets, numbers, rowsRepeated, zerosShown)}});
}

void writeXlsxParts(const QString &path, const QByteArray &sheet, const QByteArray &shared, const QByteArray &styles)
{
    static const QByteArray workbook =
        "<?xml version=\"1.0\"?><workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
    const QByteArray rels =
        "<?xml version=\"1.0\"?><Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
        "<Relationship Id=\"rId2\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/>"
        + QByteArray(styles.isEmpty() ? "" : "<Relationship Id=\"rId3\" Type=\"x/styles\" Target=\"styles.xml\"/>")
        + "</Relationships>";
    QList<std::pair<QString, QByteArray>> entries{{QStringLiteral("xl/workbook.xml"), workbook},
                                                  {QStringLiteral("xl/_rels/workbook.xml.rels"), rels},
                                                  {QStringLiteral("xl/sharedStrings.xml"), shared},
                                                  {QStringLiteral("xl/worksheets/sheet1.xml"), sheet}};
    if (!styles.isEmpty())
        entries.append({QStringLiteral("xl/styles.xml"), styles});
    writeZip(path, entries);
}

void writeZip(const QString &path, const QList<std::pair<QString, QByteArray>> &entries)
{
    zipFile zip = zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE);
    if (!zip)
        throw std::runtime_error("cannot create " + path.toStdString());
    for (const auto &[name, bytes] : entries) {
        zip_fileinfo info{};
        if (zipOpenNewFileInZip64(zip, name.toUtf8().constData(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                  Z_DEFAULT_COMPRESSION, 1) != ZIP_OK
            || zipWriteInFileInZip(zip, bytes.constData(), unsigned(bytes.size())) != ZIP_OK
            || zipCloseFileInZip(zip) != ZIP_OK)
            throw std::runtime_error("cannot write " + name.toStdString());
    }
    zipClose(zip, nullptr);
}


} // namespace fiscal::test
