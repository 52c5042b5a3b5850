#include "Pkg_Ger10200/mainscreen/toolicons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace fiscal::ger10200 {

namespace {

const QColor kInk(0x44, 0x4c, 0x56);
const QColor kRows(0x3a, 0x75, 0xc4);

// Draws on a 16 x 16 grid, at each size a tool bar may ask for.
QIcon drawn(const std::function<void(QPainter &)> &paint)
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 16.0, size / 16.0);
        paint(p);
        icon.addPixmap(pixmap);
    }
    return icon;
}

void sheet(QPainter &p, const QRectF &r, const QColor &fill)
{
    p.setPen(QPen(kInk, 0.9));
    p.setBrush(fill);
    p.drawRect(r);
    p.setPen(QPen(kRows, 1.0));
    for (qreal y = r.top() + 3; y < r.bottom() - 1.5; y += 3)
        p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2, y));
}

} // namespace

QIcon automaticIcon()
{
    return drawn([](QPainter &p) {
        sheet(p, QRectF(1.5, 1.5, 10, 13), Qt::white);
        QPainterPath bolt;
        bolt.moveTo(11.5, 4.5);
        bolt.lineTo(7.5, 10.5);
        bolt.lineTo(10.2, 10.5);
        bolt.lineTo(9, 15.5);
        bolt.lineTo(14.8, 8.5);
        bolt.lineTo(12, 8.5);
        bolt.lineTo(14, 4.5);
        bolt.closeSubpath();
        p.setPen(QPen(QColor(0xa8, 0x5d, 0x00), 0.8));
        p.setBrush(QColor(0xf5, 0xb3, 0x00));
        p.drawPath(bolt);
    });
}

QIcon replicationIcon()
{
    return drawn([](QPainter &p) {
        sheet(p, QRectF(0.5, 0.5, 9, 10), QColor(0xdd, 0xe4, 0xec));
        sheet(p, QRectF(6.5, 5.5, 9, 10), Qt::white);
        // The arrow from the first sheet to the second.
        p.setPen(QPen(QColor(0x1e, 0x8a, 0x3c), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(2.5, 12.5), QPointF(5.2, 12.5));
        p.drawLine(QPointF(2.5, 12.5), QPointF(2.5, 10.0));
        QPainterPath head;
        head.moveTo(4.6, 10.8);
        head.lineTo(6.6, 12.5);
        head.lineTo(4.6, 14.2);
        p.drawPath(head);
    });
}

QIcon importIcon()
{
    return drawn([](QPainter &p) {
        sheet(p, QRectF(4.5, 1.5, 10, 13), QColor(0xe6, 0xf4, 0xea));
        QPainterPath arrow;
        arrow.moveTo(0.5, 6.5);
        arrow.lineTo(5, 6.5);
        arrow.lineTo(5, 4);
        arrow.lineTo(9.5, 8.5);
        arrow.lineTo(5, 13);
        arrow.lineTo(5, 10.5);
        arrow.lineTo(0.5, 10.5);
        arrow.closeSubpath();
        p.setPen(QPen(QColor(0x1e, 0x6b, 0x35), 0.8));
        p.setBrush(QColor(0x2e, 0x9d, 0x4f));
        p.drawPath(arrow);
    });
}

} // namespace fiscal::ger10200
