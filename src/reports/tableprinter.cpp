#include "reports/tableprinter.h"

#include <QFontMetricsF>
#include <QLocale>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPrinter>

#include <cmath>

namespace fiscal::reports {

struct TablePrinter::Metrics {
    double width = 0, height = 0;   // paintable page area, device units
    double pad = 0;                 // space inside a cell
    double titleHeight = 0, lineHeight = 0, rowHeight = 0;
    double tableTop = 0;            // where the column titles start
    QList<double> columnX, columnWidth;
    int rowsPerPage = 1;
};

TablePrinter::TablePrinter(const ReportTable &table, QDateTime printedAt)
    : m_table(table)
    , m_printedAt(std::move(printedAt))
{
    m_body.setPointSizeF(8);
    m_bold = m_body;
    m_bold.setBold(true);
    m_title = m_bold;
    m_title.setPointSizeF(12);
}

TablePrinter::Metrics TablePrinter::metrics(const QPagedPaintDevice &device) const
{
    Metrics m;
    m.width = device.width();
    m.height = device.height();
    const QFontMetricsF body(m_body, &device);
    const QFontMetricsF title(m_title, &device);
    m.pad = body.averageCharWidth() * 0.5;
    m.titleHeight = title.height() * 1.2;
    m.lineHeight = body.height() * 1.25;
    m.rowHeight = body.height() * 1.35;
    // Title; section and context; date and page; a gap; then the table.
    const int contextLines = m_table.context.isEmpty() ? 0 : 1;
    m.tableTop = m.titleHeight + m.lineHeight * (2 + contextLines) + m.lineHeight * 0.5;

    int total = 0;
    for (const ReportColumn &c : m_table.columns)
        total += qMax(1, c.width);
    double x = 0;
    for (const ReportColumn &c : m_table.columns) {
        const double w = total > 0 ? m.width * qMax(1, c.width) / total : m.width;
        m.columnX << x;
        m.columnWidth << w;
        x += w;
    }
    // The column titles take one row.
    m.rowsPerPage = qMax(1, int(std::floor((m.height - m.tableTop) / m.rowHeight)) - 1);
    return m;
}

int TablePrinter::pageCount(const QPagedPaintDevice &device) const
{
    const Metrics m = metrics(device);
    return qMax(1, (m_table.rowCount + m.rowsPerPage - 1) / m.rowsPerPage);
}

TablePrinter::Result TablePrinter::print(QPagedPaintDevice &device, const Progress &progress, int first,
                                         int last) const
{
    const Metrics m = metrics(device);
    const int pages = qMax(1, (m_table.rowCount + m.rowsPerPage - 1) / m.rowsPerPage);
    first = qBound(1, first, pages);
    last = last <= 0 ? pages : qBound(first, last, pages);

    QPainter painter;
    if (!painter.begin(&device))
        return Failed;
    for (int page = first; page <= last; ++page) {
        if (progress && !progress(page - first + 1, last - first + 1)) {
            if (auto *printer = dynamic_cast<QPrinter *>(&device))
                printer->abort();
            painter.end();
            return Cancelled;
        }
        if (page > first && !device.newPage()) {
            painter.end();
            return Failed;
        }
        paintPage(painter, m, page, pages);
    }
    return painter.end() ? Printed : Failed;
}

void TablePrinter::paintPage(QPainter &p, const Metrics &m, int page, int pages) const
{
    const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    const QColor rule(0x80, 0x80, 0x80);
    const double lineWidth = qMax(1.0, m.rowHeight / 40);

    // Heading.
    double y = 0;
    p.setPen(Qt::black);
    p.setFont(m_title);
    p.drawText(QRectF(0, y, m.width * 0.8, m.titleHeight), Qt::AlignLeft | Qt::AlignVCenter, m_table.title);
    p.setFont(m_bold);
    p.drawText(QRectF(m.width * 0.8, y, m.width * 0.2, m.titleHeight), Qt::AlignRight | Qt::AlignVCenter,
               m_table.screenCode);
    y += m.titleHeight;
    p.drawText(QRectF(0, y, m.width, m.lineHeight), Qt::AlignLeft | Qt::AlignVCenter, m_table.section);
    y += m.lineHeight;
    p.setFont(m_body);
    if (!m_table.context.isEmpty()) {
        const QString context = m_table.context.join(QStringLiteral("     "));
        p.drawText(QRectF(0, y, m.width, m.lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QFontMetricsF(m_body, p.device()).elidedText(context, Qt::ElideRight, m.width));
        y += m.lineHeight;
    }
    p.drawText(QRectF(0, y, m.width / 2, m.lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Emitido em %1").arg(br.toString(m_printedAt, QStringLiteral("dd/MM/yyyy HH:mm"))));
    p.drawText(QRectF(m.width / 2, y, m.width / 2, m.lineHeight), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("Página %1 de %2").arg(page).arg(pages));
    y += m.lineHeight;
    p.setPen(QPen(Qt::black, lineWidth));
    p.drawLine(QPointF(0, y + m.lineHeight * 0.25), QPointF(m.width, y + m.lineHeight * 0.25));

    // Column titles.
    y = m.tableTop;
    const int columns = int(m_table.columns.size());
    const QFontMetricsF boldMetrics(m_bold, p.device());
    const QFontMetricsF bodyMetrics(m_body, p.device());
    p.setFont(m_bold);
    p.setPen(Qt::black);
    for (int c = 0; c < columns; ++c) {
        const ReportColumn &col = m_table.columns.at(c);
        const QRectF cell(m.columnX[c] + m.pad, y, m.columnWidth[c] - 2 * m.pad, m.rowHeight);
        p.drawText(cell, int(col.alignment) | Qt::AlignVCenter,
                   boldMetrics.elidedText(col.title, Qt::ElideRight, cell.width()));
    }
    y += m.rowHeight;
    p.setPen(QPen(rule, lineWidth));
    p.drawLine(QPointF(0, y), QPointF(m.width, y));

    // Rows.
    p.setFont(m_body);
    p.setPen(Qt::black);
    const int firstRow = (page - 1) * m.rowsPerPage;
    const int lastRow = qMin(m_table.rowCount, firstRow + m.rowsPerPage);
    if (m_table.rowCount == 0) {
        p.drawText(QRectF(m.pad, y, m.width, m.rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("Nenhum registro."));
        return;
    }
    const QColor stripe(0xee, 0xee, 0xee);
    for (int row = firstRow; row < lastRow; ++row, y += m.rowHeight) {
        if ((row - firstRow) % 2 == 1)
            p.fillRect(QRectF(0, y, m.width, m.rowHeight), stripe);
        for (int c = 0; c < columns; ++c) {
            const QRectF cell(m.columnX[c] + m.pad, y, m.columnWidth[c] - 2 * m.pad, m.rowHeight);
            const QString text = m_table.text(row, c);
            if (text.isEmpty())
                continue;
            p.drawText(cell, int(m_table.columns.at(c).alignment) | Qt::AlignVCenter,
                       bodyMetrics.elidedText(text, Qt::ElideRight, cell.width()));
        }
    }
    p.setPen(QPen(rule, lineWidth));
    p.drawLine(QPointF(0, y), QPointF(m.width, y));
}

} // namespace fiscal::reports
