#include "vcl/colors.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QPalette>
#include <QWidget>

namespace fiscal::vcl {

QColor clInfoBk()
{
    const QColor c = QApplication::palette().color(QPalette::ToolTipBase);
    return c.isValid() ? c : QColor(0xFF, 0xFF, 0xE1);
}

QColor clBtnFace()
{
    return QApplication::palette().color(QPalette::Button);
}

void setColor(QWidget *w, const QColor &colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, colour);
    p.setColor(QPalette::Window, colour);
    // A disabled box keeps the colour it was given (the grey name boxes).
    p.setColor(QPalette::Disabled, QPalette::Base, colour);
    w->setPalette(p);
    if (auto *area = qobject_cast<QAbstractScrollArea *>(w))
        area->viewport()->setAutoFillBackground(true);
    else
        w->setAutoFillBackground(true);
}

} // namespace fiscal::vcl
