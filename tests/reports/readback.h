#pragma once
// Reading back what the reports wrote, as another program would.
//
//   pdfText(path)             the text of a PDF (pdftotext -layout), pages split by \f
//   xlsxSheetRows(path)       the cell texts of the first sheet, row by row (unzip -p and
//                             the sheet's XML; inline and shared strings)
//   xlsxPart(path, member)    one member of the workbook's zip, as bytes
//   parseCsv(bytes)           RFC 4180 records with ';' between fields (after the BOM)
//   testTable(rows)           a ReportTable over the given cell texts

#include "reports/reporttable.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace fiscal::test {

QString pdfText(const QString &path);
QByteArray xlsxPart(const QString &path, const QString &member);
QList<QStringList> xlsxSheetRows(const QString &path);
QList<QStringList> parseCsv(const QByteArray &bytes);

// Holds the rows the table reads.
struct TestTable {
    QList<QStringList> rows;
    reports::ReportTable table;
    explicit TestTable(const QStringList &titles, QList<QStringList> data);
};

} // namespace fiscal::test
