#pragma once
// A ReportTable written as a spreadsheet, row after row (nothing of the table is held in
// memory beyond the row being written):
//
//   writeXlsx   one sheet named after the section: a bold header row, frozen, with an
//               auto-filter; column widths from the texts; every cell a text, so codes
//               keep their leading zeros. libxlsxwriter in its constant-memory mode.
//   writeCsv    what a spreadsheet set up for Brazil opens directly: UTF-8 with a byte-
//               order mark, ";" between fields, CRLF line ends, fields quoted as RFC 4180
//               asks (a field holding ";", '"', CR or LF is quoted, '"' doubled).
//
// The file appears only when it is complete: both write to a temporary file beside the
// target and put it in place at the end, so a failure or a cancel leaves an existing file
// as it was (an XLSX is read back first: its library does not check its own writes). A
// read-only target is refused; the new file has the mode the one it replaces had. `progress(done, total)` is called every few thousand rows; false cancels
// (the functions then return false). A failure throws ExportError with a message for the
// user.

#include "reports/reporttable.h"

#include <QFileDevice>

#include <functional>
#include <stdexcept>

namespace fiscal::reports {

class ExportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using ExportProgress = std::function<bool(int done, int total)>;

// Rows a worksheet holds below its header row.
inline constexpr int kXlsxMaxRows = 1048575;

bool writeXlsx(const ReportTable &table, const QString &path, const ExportProgress &progress = {});
bool writeCsv(const ReportTable &table, const QString &path, const ExportProgress &progress = {});

// Why a write to `file` failed, in words for the user. A write the disk cut short leaves no
// error behind, and the file's own text is then "Unknown error".
QString writeFailure(const QFileDevice &file);

// One CSV field as written (quoted when it must be; an apostrophe before what a spreadsheet
// program would take for a formula).
QByteArray csvField(const QString &text);

} // namespace fiscal::reports
