// erp-host: the host application. Loads a module library and opens its main screen from
// the "Módulos" menu; with --screenshot it opens the screen, waits until it has loaded its
// data, saves a picture of the main window and exits.

#include "hostoptions.h"
#include "mainwindow.h"

#include "clientlib/hostservices.h"
#include "clientlib/settings.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QThread>
#include <cstdio>
#include <stdexcept>

namespace {

bool anyScreenLoaded(QMdiArea *area)
{
    for (QMdiSubWindow *sub : area->subWindowList()) {
        if (fiscal::clientlib::isScreenLoaded(sub->widget())) {
            return true;
        }
    }
    return false;
}

int takeScreenshot(QApplication &app, HostWindow &window, const HostOptions &options)
{
    if (!window.moduleLoaded()) {
        std::fprintf(stderr, "erp-host: %s\n", qPrintable(window.moduleError()));
        return 1;
    }
    window.runModule();
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!anyScreenLoaded(window.mdiArea()) && !deadline.hasExpired()) {
        app.processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    const bool loaded = anyScreenLoaded(window.mdiArea());
    // A last round so the screen paints what it loaded.
    app.processEvents();
    if (!window.grab().save(options.screenshot)) {
        std::fprintf(stderr, "erp-host: não foi possível gravar %s\n", qPrintable(options.screenshot));
        return 1;
    }
    if (!loaded) {
        std::fprintf(stderr, "erp-host: a tela não terminou de carregar em %d ms; imagem gravada assim mesmo\n",
                     options.screenshotTimeoutMs);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("erp-host"));

    HostOptions options;
    QString error;
    if (!readHostOptions(app.arguments(), options, error)) {
        if (!error.isEmpty()) {
            std::fprintf(stderr, "erp-host: %s\n", qPrintable(error));
        }
        std::fputs(qPrintable(hostUsage()), stderr);
        return error.isEmpty() ? 0 : 2;
    }

    auto &settings = fiscal::clientlib::Settings::instance();
    try {
        settings.setServerUrl(options.server);
    } catch (const std::invalid_argument &e) {
        std::fprintf(stderr, "erp-host: %s\n", e.what());
        return 2;
    }
    settings.setDatabase(options.database);
    settings.setToken(options.token);

    HostWindow window;
    fiscal::clientlib::setHostWindow(&window, window.mdiArea());
    window.resize(1024, 600);
    window.loadModule(options.module);
    window.show();
    window.activateWindow();

    if (!options.screenshot.isEmpty()) {
        return takeScreenshot(app, window, options);
    }
    return app.exec();
}
