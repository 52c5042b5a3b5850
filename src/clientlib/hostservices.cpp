#include "clientlib/hostservices.h"

#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>

namespace fiscal::clientlib {

namespace {
constexpr const char *kLoaded = "fiscalScreenLoaded";

// The host's windows, for every module of the process; cleared when they go away.
QPointer<QMainWindow> g_mainWindow;
QPointer<QMdiArea> g_mdiArea;
} // namespace

void setHostWindow(QMainWindow *mainWindow, QMdiArea *mdiArea)
{
    g_mainWindow = mainWindow;
    g_mdiArea = mdiArea;
}

QMainWindow *hostMainWindow() { return g_mainWindow; }
QMdiArea *hostMdiArea() { return g_mdiArea; }

QMdiSubWindow *showInHost(QWidget *screen)
{
    if (!screen) {
        return nullptr;
    }
    if (auto *sub = qobject_cast<QMdiSubWindow *>(screen->parentWidget())) {
        sub->show();
        return sub;
    }
    QMdiArea *area = hostMdiArea();
    if (!area) {
        screen->show();
        return nullptr;
    }
    QMdiSubWindow *sub = area->addSubWindow(screen);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    sub->setWindowTitle(screen->windowTitle());
    sub->setWindowIcon(screen->windowIcon());
    sub->show();
    screen->show();
    return sub;
}

void markScreenLoaded(QWidget *screen)
{
    if (screen) {
        screen->setProperty(kLoaded, true);
    }
}

bool isScreenLoaded(const QWidget *screen)
{
    return screen && screen->property(kLoaded).toBool();
}

} // namespace fiscal::clientlib
