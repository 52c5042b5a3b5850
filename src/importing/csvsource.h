#pragma once
// A CSV file: UTF-8 (with or without BOM) or Windows-1252, told apart by whether the bytes
// are valid UTF-8, or UTF-16 with its BOM (a spreadsheet's "Unicode text"); the separator
// (; , or tab) by the first line; quoted fields with doubled quotes and line breaks inside.
// Binary content is refused.

#include "importing/sheetsource.h"

#include <QFile>
#include <QStringDecoder>

#include <optional>

namespace fiscal::importing {

class CsvSource : public SheetSource {
public:
    CsvSource(const QString &path, const Limits &limits);

    QString format() const override { return QStringLiteral("CSV"); }
    std::vector<SheetInfo> sheets() const override { return {SheetInfo{}}; }
    void selectSheet(int index) override;
    bool next(SheetRow &row) override;
    QString details() const override;

    QChar separator() const { return m_separator; }
    bool utf8() const { return m_encoding == Encoding::Utf8; }

private:
    void detect();
    void failIfUnreadable(const QByteArray &read);
    bool fill();            // decodes the next block into m_text; false at the end
    std::optional<QChar> peek();
    QChar take();

    QFile m_file;
    Limits m_limits;
    enum class Encoding { Utf8, Windows1252, Utf16LE, Utf16BE };
    Encoding m_encoding = Encoding::Utf8;
    int m_bom = 0;   // bytes of the byte-order mark
    QChar m_separator = QLatin1Char(';');
    QStringDecoder m_decoder;
    QString m_text;
    qsizetype m_pos = 0;
    std::int64_t m_line = 1;
    std::int64_t m_rows = 0;
};

// Windows-1252 bytes as text.
QString fromWindows1252(QByteArrayView bytes);

} // namespace fiscal::importing
