#pragma once
// A spreadsheet read row by row, whatever its format: CSV, XLSX or ODS. Nothing holds the
// whole sheet; each format keeps only what it must (XLSX its shared strings).
//
//   auto src = importing::openSheetFile(path);      // throws ReadError
//   src->selectSheet(0);                            // the first visible sheet (CSV: the file)
//   SheetRow row;
//   while (src->next(row)) use(row.line, row.cells);
//
// Every failure, a hostile file included (a zip that expands past the limit, XML with a
// DTD, a broken zip, too many rows, a binary file), is a ReadError with a message for the
// user in Portuguese; only an XLSX's styles, which give numbers their zeros, are left
// unread instead.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace fiscal::importing {

class ReadError : public std::runtime_error {
public:
    explicit ReadError(const QString &message) : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const { return m_message; }

private:
    QString m_message;
};

// What a file may hold before it is refused.
struct Limits {
    std::int64_t maxRows = 1048576;                      // data rows of a sheet (the most a sheet can have)
    std::int64_t maxEntryBytes = 1024LL * 1024 * 1024;   // one zip entry, uncompressed
    std::int64_t maxSharedStringBytes = 256LL * 1024 * 1024;
    int maxColumns = 64;                                 // cells past it are ignored
    int maxCellChars = 1024;                             // longer texts are cut
};

struct SheetRow {
    std::int64_t line = 0;   // the row's number in the sheet; in a CSV the line it starts on
    QStringList cells;       // trailing empty cells dropped; never all empty
};

struct SheetInfo {
    QString name;
    bool hidden = false;
};

class SheetSource {
public:
    virtual ~SheetSource() = default;
    virtual QString format() const = 0;              // "CSV", "XLSX", "ODS"
    // Every sheet, hidden ones included (flagged); a CSV has one, named after nothing.
    virtual std::vector<SheetInfo> sheets() const = 0;
    // Starts reading sheet `index` (of sheets()) from its first row. Throws ReadError.
    virtual void selectSheet(int index) = 0;
    // The next row with something in it; false at the end. Throws ReadError.
    virtual bool next(SheetRow &row) = 0;
    // A short description of what was detected ("UTF-8, separador ;").
    virtual QString details() const { return {}; }
    // From here on only these columns' cells are wanted (0-based): the others may come back
    // empty, and a source may then hold less. Until the next selectSheet().
    virtual void keepColumns(const std::vector<int> &columns) { (void)columns; }
};

// By content, not by name: a zip is XLSX or ODS by what it holds, anything else is read as
// CSV (and refused when it is binary).
std::unique_ptr<SheetSource> openSheetFile(const QString &path, const Limits &limits = {});

// The index of the first sheet that is not hidden; ReadError when every one is.
int firstVisibleSheet(const SheetSource &source);

// A number as a spreadsheet stores it ("1.2345678000195E13", "42", "3.50") as the digits a
// person typed: integral values without exponent or decimals, others as written.
QString numberText(const QString &stored);

// What a formula cell saved without its result reads as: a text no code can be, so that its
// line is refused rather than read as empty (an empty group clears the group).
QString formulaWithoutValue();

namespace detail {
// Cuts a cell to the limit and appends it at `column` (0-based), filling the gap.
void putCell(QStringList &cells, int column, const QString &text, const Limits &limits);
// Drops the trailing empty cells; true when something is left.
bool trimRow(QStringList &cells);
[[noreturn]] void tooManyRows(const Limits &limits);
}

} // namespace fiscal::importing
