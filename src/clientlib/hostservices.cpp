#include "clientlib/hostservices.h"

#include <QCoreApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QVariant>

namespace fiscal::clientlib {

namespace {
constexpr const char *kMainWindow = "fiscal.hostMainWindow";
constexpr const char *kMdiArea = "fiscal.hostMdiArea";
constexpr const char *kLoaded = "fiscalScreenLoaded";

template <typename T>
T *fromApp(const char *name)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        return nullptr;
    }
    // Stored as QPointer-backed QObject*: a destroyed window clears itself below.
    return qobject_cast<T *>(app->property(name).value<QObject *>());
}

void storeOnApp(const char *name, QObject *o)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        return;
    }
    app->setProperty(name, QVariant::fromValue(o));
    if (o) {
        QObject::connect(o, &QObject::destroyed, app, [app, name, o] {
            if (app->property(name).value<QObject *>() == o) {
                app->setProperty(name, QVariant::fromValue(static_cast<QObject *>(nullptr)));
            }
        });
    }
}
} // namespace

void setHostWindow(QMainWindow *mainWindow, QMdiArea *mdiArea)
{
    storeOnApp(kMainWindow, mainWindow);
    storeOnApp(kMdiArea, mdiArea);
}

QMainWindow *hostMainWindow() { return fromApp<QMainWindow>(kMainWindow); }
QMdiArea *hostMdiArea() { return fromApp<QMdiArea>(kMdiArea); }

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
