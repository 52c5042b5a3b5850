#pragma once
// An XLSX workbook: its sheets from xl/workbook.xml (hidden ones flagged), the shared
// strings in memory (bounded), each sheet streamed from its XML a row at a time. Cells give
// the shared or inline string, or the cached value of a formula; numbers as numberText().

#include "importing/sheetsource.h"
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

private:
    void readWorkbook();
    void readSharedStrings();
    QString cellValue(const QString &type);

    ZipArchive m_zip;
    Limits m_limits;
    std::vector<SheetInfo> m_sheets;
    QStringList m_targets;           // entry of each sheet
    QString m_sharedStringsEntry;
    bool m_sharedLoaded = false;
    // Every shared string one after another, and where each ends: a few allocations for a
    // million strings rather than one each.
    QString m_sharedText;
    std::vector<quint32> m_sharedEnd;
    QString shared(std::size_t i) const;
    std::unique_ptr<ZipEntry> m_entry;
    std::unique_ptr<QXmlStreamReader> m_xml;
    std::int64_t m_lastLine = 0;
    std::int64_t m_rows = 0;
};

} // namespace fiscal::importing
