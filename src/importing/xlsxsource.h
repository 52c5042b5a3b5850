#pragma once
// An XLSX workbook: its sheets from xl/workbook.xml (hidden ones flagged), each sheet
// streamed from its XML a row at a time with the shared strings read alongside it
// (sharedstrings.h). Cells give
// the shared or inline string, or the cached value of a formula; numbers as numberText(),
// with the leading zeros their cell's format shows ("000000").

#include "importing/sheetsource.h"
#include "importing/sharedstrings.h"
#include "importing/zipentry.h"

#include <memory>

namespace fiscal::importing {

class XlsxSource : public SheetSource {
public:
    XlsxSource(const QString &path, const Limits &limits);
    ~XlsxSource() override;

    QString format() const override { return QStringLiteral("XLSX"); }
    std::vector<SheetInfo> sheets() const override { return m_sheets; }
    void selectSheet(int index) override;
    bool next(SheetRow &row) override;
    void keepColumns(const std::vector<int> &columns) override;

private:
    void readWorkbook();
    void readStyles(const QString &entry);
    QString cellValue(const QString &type, int style, int column);

    QString m_path;
    ZipArchive m_zip;
    Limits m_limits;
    std::vector<SheetInfo> m_sheets;
    QStringList m_targets;           // entry of each sheet
    QString m_sharedStringsEntry;
    std::vector<int> m_zeroWidthOfStyle;   // by cell style: width of its zero-padded format, or 0
    std::unique_ptr<SharedStrings> m_shared;
    int m_sheet = -1;
    std::vector<bool> m_kept;        // by column; empty: every column
    std::unique_ptr<ZipEntry> m_entry;
    std::unique_ptr<QXmlStreamReader> m_xml;
    std::int64_t m_lastLine = 0;
    std::int64_t m_rows = 0;
    bool m_done = false;   // the sheet was read to its end: next() stays false
};

} // namespace fiscal::importing
