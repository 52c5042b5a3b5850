#include "help/help.h"

#include "help/helpwindow.h"
#include "help/manual.h"

#include <QApplication>
#include <QVariant>

#include <functional>

namespace fiscal::help {

namespace {

const char *const kWindowName = "frmAjuda";

// The window may have been made by another copy of this library (the host's or a
// module's): it is found by name and driven through its meta-object.
bool open(const Manual &manual, const ManualPage &page, QWidget *from)
{
    QWidget *window = helpWindow();
    if (window && window->property("manualName").toString() != manual.name()) {
        window->close();
        window = nullptr;
    }
    // Under a modal dialog every other window is blocked; the dialog's own windows are not.
    // isAncestorOf() stops at a window's edge, and the help is a window of its own.
    QWidget *modal = QApplication::activeModalWidget();
    if (window && modal && window->parentWidget() != modal) {
        window->close();
        window = nullptr;
    }
    if (!window)
        window = new HelpWindow(manual, modal ? modal : (from ? from->window() : nullptr));
    QMetaObject::invokeMethod(window, "showPage", Q_ARG(QString, page.id));
    window->show();
    window->raise();
    window->activateWindow();
    return true;
}

bool openWhere(const std::function<const ManualPage *(const Manual &)> &find, QWidget *from)
{
    for (const Manual &m : Manual::all()) {
        if (const ManualPage *p = find(m))
            return open(m, *p, from);
    }
    return false;
}

} // namespace

QWidget *helpWindow()
{
    // A closed window waits to be deleted, hidden.
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(kWindowName) && w->isVisible())
            return w;
    }
    return nullptr;
}

bool showTopic(const QString &keyword, QWidget *from)
{
    return openWhere([&](const Manual &m) { return m.pageForKeyword(keyword); }, from);
}

bool showContext(int context, QWidget *from)
{
    return openWhere([&](const Manual &m) { return m.pageForContext(context); }, from);
}

} // namespace fiscal::help
