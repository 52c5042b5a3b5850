#pragma once
// An XLSX workbook's shared strings, read alongside the sheet that uses them (a second
// handle on the zip) rather than all at once. Once the columns wanted are known, a string
// they do not use is not held at all, and one they use once is let go as soon as it has been
// used. Spreadsheet programs number the strings in the order they first
// appear, so what is held stays a handful (the strings used again, such as the groups) however
// long the sheet; a file numbered otherwise costs what holding every string would.
//
//   SharedStrings s(path, entry, limits);           // refuses a DTD at once
//   QString text = s.take(index, true);             // in the sheet's order; every string held
//   s.start(countSharedUses(sheetEntry, kept));     // from here on only what `kept` needs
//   text = s.take(index, kept[column]);             // empty for a string of another column
//   s.finish();                                     // at the sheet's end: the rest checked

#include "importing/zipentry.h"

#include <QHash>

#include <memory>
#include <vector>

namespace fiscal::importing {

// How often a sheet's kept columns use each shared string, from a scan of its bytes (no XML
// parser: a fraction of the cost). A hint only: a use it misses makes take() read the
// strings again.
struct SharedUses {
    std::vector<bool> seen, again;   // used at least once, more than once
    bool usedOnce(std::size_t i) const { return i < seen.size() && seen[i] && !again[i]; }
    bool unused(std::size_t i) const { return i < seen.size() && !seen[i]; }
};
// Reads `sheet` to its end (or its limit: the reader proper reports that). `kept` by column.
SharedUses countSharedUses(QIODevice &sheet, const std::vector<bool> &kept);

class SharedStrings {
public:
    // No entry: the workbook has no shared strings (every take() is a broken file).
    SharedStrings(const QString &path, const QString &entry, const Limits &limits);
    ~SharedStrings();

    void start(SharedUses uses);
    // `wanted` false: a cell of a column not kept, which may come back empty.
    QString take(std::size_t index, bool wanted);
    void finish();

private:
    void open();
    bool readOne(QString &text);
    [[noreturn]] void missing(std::size_t index);

    QString m_path, m_entryName;
    Limits m_limits;
    std::unique_ptr<ZipArchive> m_zip;
    std::unique_ptr<ZipEntry> m_entry;
    std::unique_ptr<QXmlStreamReader> m_xml;
    SharedUses m_uses;
    std::size_t m_next = 0;          // index of the next string the reader gives
    std::int64_t m_chars = 0;
    bool m_done = false;
    QHash<std::size_t, QString> m_held;
};

} // namespace fiscal::importing
