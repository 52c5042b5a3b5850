#pragma once
// What a module needs from the host application. The host registers its windows here and
// its modules find them, since this library is loaded once per process.
//
//   setHostWindow(mainWindow, mdiArea)    the host, once, at start
//   hostMainWindow() / hostMdiArea()      nullptr when no host registered (tests)
//   showInHost(screen)                    the screen as a child window of the host's MDI
//                                         area (a top-level window without a host); the
//                                         sub-window is released when it closes
//   markScreenLoaded(screen)              a module says its main screen has its data;
//                                         the host's --screenshot waits for this
//   isScreenLoaded(screen)

class QMainWindow;
class QMdiArea;
class QMdiSubWindow;
class QWidget;

namespace fiscal::clientlib {

void setHostWindow(QMainWindow *mainWindow, QMdiArea *mdiArea);
QMainWindow *hostMainWindow();
QMdiArea *hostMdiArea();

QMdiSubWindow *showInHost(QWidget *screen);

void markScreenLoaded(QWidget *screen);
bool isScreenLoaded(const QWidget *screen);

} // namespace fiscal::clientlib
