#pragma once
// Spreadsheet files written by the tests: XLSX through libxlsxwriter, ODS and raw zips
// through minizip, CSV as bytes. Cells that look like numbers can be written as numbers,
// as a person's spreadsheet holds them.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace fiscal::test {

struct TestSheet {
    QString name;
    QList<QStringList> rows;      // an empty QStringList is an empty row
    bool hidden = false;
};

struct XlsxOptions {
    bool numbers = false;         // all-digit cells as numbers
    bool inlineStrings = false;   // libxlsxwriter's constant-memory mode
    bool formulas = false;        // all-digit cells as formulas with that cached value
    bool zeroFormats = false;     // numbers shown with their leading zeros by a "000" format
};
void writeXlsx(const QString &path, const QList<TestSheet> &sheets, XlsxOptions options = {});

// content.xml of an ODS with these tables; `rowsRepeated` repeats the last row of each.
// Numbers show as written (their leading zeros kept by a format) when `zerosShown`.
QByteArray odsContent(const QList<TestSheet> &sheets, bool numbers = false, long long rowsRepeated = 1, bool zerosShown = false);
void writeOds(const QString &path, const QList<TestSheet> &sheets, bool numbers = false, long long rowsRepeated = 1,
              bool zerosShown = false);

// An XLSX of one sheet "A" from the XML of its sheet and of its shared strings (and of its
// styles, when given).
void writeXlsxParts(const QString &path, const QByteArray &sheet, const QByteArray &shared, const QByteArray &styles = {});

// A zip holding these entries, deflated.
void writeZip(const QString &path, const QList<std::pair<QString, QByteArray>> &entries);
void writeFile(const QString &path, const QByteArray &bytes);

} // namespace fiscal::test
