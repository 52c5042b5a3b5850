#pragma once
// A sheet's rows as import lines: which columns hold the record and the group (by their
// titles, ignoring case and accents, or the first two when there is no title row), and each
// row's record and group as the server expects them. What can be told from the file alone
// (an empty record, a group that cannot be a code, a key too long) is an error of that line
// here; the rest (check digits, records, groups) the server checks.
//
//   auto src = openSheetFile(path);  src->selectSheet(sheet);
//   ImportFile f = readImportLines(*src, *protocol::importing::findEntity("CLIENTE"));

#include "importing/sheetsource.h"
#include "protocol/importcalls.h"

#include <functional>

namespace fiscal::importing {

struct Columns {
    int key = -1, group = -1;        // 0-based
    std::int64_t titleLine = 0;      // 0: no title row, by position
    QString keyTitle, groupTitle;
    bool documents = false;          // the record column holds CNPJ/CPF numbers
};

struct ImportLine {
    std::int64_t line;               // in the file
    QString key;
    QString group;                   // empty: no group
};

struct LineError {
    std::int64_t line;
    QString reason;
};

struct ImportFile {
    Columns columns;
    std::int64_t rowsRead = 0;       // data rows, the title row not counted
    std::vector<ImportLine> lines;   // readable rows, in file order
    std::vector<LineError> errors;   // unreadable rows, in file order
};

// Titles the record or group column may have, compared after titleKey().
QString titleKey(const QString &title);
// The columns a title row names; key or group -1 when the row names none.
Columns findColumns(const QStringList &titles);

// The record as sent: what comes before " - " (a code with its name, as the grid exports
// it), codes of fixed width padded with zeros, a CNPJ/CPF that lost its leading zeros as a
// number completed by its number of digits. Empty when it is empty.
QString recordKey(const QString &cell, const protocol::importing::Entity &e, bool documentColumn);
// The group as sent: "003 - Descrição" is 003, "3" is 003. nullopt when it cannot be a code.
std::optional<QString> groupCode(const QString &cell);

// Reads every row of the selected sheet. `progress`, called every few thousand rows with the
// rows read, stops the reading when it answers false (then the result is incomplete and
// ImportFile::rowsRead says how far it got). Throws ReadError.
ImportFile readImportLines(SheetSource &source, const protocol::importing::Entity &e,
                           const std::function<bool(std::int64_t)> &progress = {});

} // namespace fiscal::importing
