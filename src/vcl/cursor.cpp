#include "vcl/cursor.h"

#include <QCursor>
#include <QGuiApplication>

namespace fiscal::vcl {

namespace {
TCursor g_cursor = crDefault;
}

void setScreenCursor(TCursor cursor)
{
    if (g_cursor == cursor)
        return;
    g_cursor = cursor;
    // One override at most, so that nesting and exceptions cannot leave the hourglass on.
    if (cursor == crHourGlass)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        QGuiApplication::restoreOverrideCursor();
}

TCursor screenCursor()
{
    return g_cursor;
}

HourGlass::HourGlass()
    : m_previous(g_cursor)
{
    setScreenCursor(crHourGlass);
}

HourGlass::~HourGlass()
{
    setScreenCursor(m_previous);
}

} // namespace fiscal::vcl
