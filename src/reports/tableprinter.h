#pragma once
// Lays a ReportTable out on pages and paints them on a printer, a PDF writer or a print
// preview, one page after the other: each page is read from the table and handed to the
// device before the next is laid out, so a 500,000-row table takes no more memory than a
// short one (the PDF engine writes each finished page to its file).
//
// Every page repeats the heading (title and screen code; section and context; when it was
// printed and "Página x de y") and the column titles. Rows have one line each; a text
// wider than its column is cut with an ellipsis. Page count = rows / rows per page, known
// before the first page is painted.

#include "reports/reporttable.h"

#include <QDateTime>
#include <QFont>
#include <functional>

class QPagedPaintDevice;
class QPainter;

namespace fiscal::reports {

class TablePrinter {
public:
    explicit TablePrinter(const ReportTable &table, QDateTime printedAt = QDateTime::currentDateTime());

    // Pages the table takes on the device as it is set up (page size, margins, resolution).
    int pageCount(const QPagedPaintDevice &device) const;

    // Called before each page is painted with its number and the pages being printed
    // (1-based); returning false stops the printing there.
    using Progress = std::function<bool(int page, int pages)>;
    enum Result { Printed, Cancelled, Failed };

    // Paints pages first..last (last 0: to the end; both clamped to the page count).
    // Cancelled aborts a printer's job; the caller discards what a file device wrote.
    Result print(QPagedPaintDevice &device, const Progress &progress = {}, int first = 1, int last = 0) const;

private:
    struct Metrics;
    Metrics metrics(const QPagedPaintDevice &device) const;
    void paintPage(QPainter &p, const Metrics &m, int page, int pages) const;

    const ReportTable &m_table;
    QDateTime m_printedAt;
    QFont m_body, m_bold, m_title;
};

} // namespace fiscal::reports
