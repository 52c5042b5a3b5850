#pragma once
// An ODS spreadsheet: content.xml streamed once to list its tables (hidden ones flagged by
// their style) and again for the rows of the one chosen. Repeated rows and cells are
// expanded within the limits; empty ones only move the line count.

#include "importing/sheetsource.h"
#include "importing/zipentry.h"

#include <memory>

namespace fiscal::importing {

class OdsSource : public SheetSource {
public:
    OdsSource(const QString &path, const Limits &limits);
    ~OdsSource() override;

    QString format() const override { return QStringLiteral("ODS"); }
    std::vector<SheetInfo> sheets() const override { return m_sheets; }
    void selectSheet(int index) override;
    bool next(SheetRow &row) override;

private:
    void listTables();
    bool readRow(QStringList &cells, std::int64_t &repeat);
    QString cellText();

    ZipArchive m_zip;
    Limits m_limits;
    std::vector<SheetInfo> m_sheets;
    std::unique_ptr<ZipEntry> m_entry;
    std::unique_ptr<QXmlStreamReader> m_xml;
    std::int64_t m_line = 0;
    std::int64_t m_rows = 0;
    QStringList m_repeated;          // a row still to be given again
    std::int64_t m_repeatLeft = 0;
    bool m_done = false;
};

} // namespace fiscal::importing
