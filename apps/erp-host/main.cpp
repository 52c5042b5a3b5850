// erp-host: the host application. Loads the module libraries and opens their main screens
// from the "Módulos" menu, or one at start with --open; with --screenshot it opens the
// screen, waits until it has loaded its data, saves a picture of the main window (or, with
// --window, of the coverage report or of the help window opened from the screen) and exits.

#include "hostoptions.h"
#include "mainwindow.h"

#include "clientlib/hostservices.h"
#include "clientlib/interaction.h"
#include "clientlib/settings.h"
#include "clientlib/translations.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDeadlineTimer>
#include <QIcon>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <stdexcept>

namespace {

QWidget *loadedScreen(QMdiArea *area)
{
    for (QMdiSubWindow *sub : area->subWindowList()) {
        if (fiscal::clientlib::isScreenLoaded(sub->widget())) {
            return sub->widget();
        }
    }
    return nullptr;
}

QWidget *visibleWindow(const char *name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name) && w->isVisible())
            return w;
    }
    return nullptr;
}

// The window --window names, opened from the loaded screen as a person would; a null image
// when it did not come up in time. The coverage report is modal: it is grabbed from a timer
// while its dialog runs, then closed.
QImage grabWindow(QApplication &app, QWidget *screen, const HostOptions &options, QDeadlineTimer deadline)
{
    QImage image;
    if (options.window == QLatin1String("ajuda")) {
        if (auto *help = screen->findChild<QAbstractButton *>(QStringLiteral("sbtAjuda")))
            help->click();
        while (!visibleWindow("frmAjuda") && !deadline.hasExpired())
            app.processEvents(QEventLoop::AllEvents, 50);
        app.processEvents();
        if (QWidget *w = visibleWindow("frmAjuda"))
            image = w->grab().toImage();
        return image;
    }
    auto *action = screen->findChild<QAction *>(QStringLiteral("mnuCobertura"));
    if (!action)
        return image;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        QWidget *w = visibleWindow("frmCobertura");
        if (w && w->property("loaded").toBool()) {
            app.processEvents();
            image = w->grab().toImage();
        }
        if (w && (!image.isNull() || deadline.hasExpired())) {
            poll.stop();
            if (auto *dialog = qobject_cast<QDialog *>(w))
                dialog->reject();
        }
    });
    poll.start(50);
    action->trigger();
    return image;
}

int takeScreenshot(QApplication &app, HostWindow &window, int module, const HostOptions &options)
{
    if (!window.moduleLoaded(module)) {
        std::fprintf(stderr, "erp-host: %s\n", qPrintable(window.moduleError(module)));
        return 1;
    }
    window.runModule(module);
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!loadedScreen(window.mdiArea()) && !deadline.hasExpired()) {
        app.processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    QWidget *screen = loadedScreen(window.mdiArea());
    bool loaded = screen != nullptr;
    // A last round so the screen paints what it loaded.
    app.processEvents();
    QImage image;
    if (!options.window.isEmpty() && screen) {
        image = grabWindow(app, screen, options, deadline);
        loaded = !image.isNull();
    }
    if (image.isNull())
        image = window.grab().toImage();
    if (!image.save(options.screenshot)) {
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

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/erp-host-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

} // namespace

int main(int argc, char **argv)
{
    HostCommandLine cli;
    QString error;
    {
        QStringList arguments;
        for (int i = 0; i < argc; ++i) {
            arguments << QString::fromLocal8Bit(argv[i]);
        }
        if (!parseHostCommandLine(arguments, cli, error)) {
            std::fprintf(stderr, "erp-host: %s\n%s", qPrintable(error), qPrintable(hostUsage()));
            return 2;
        }
    }
    if (cli.help) {
        std::fputs(qPrintable(hostHelp()), stdout);
        return 0;
    }
    if (cli.version) {
        std::printf("%s\n", qPrintable(applicationTitle()));
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("erp-host"));
    QApplication::setApplicationVersion(QStringLiteral(FISCAL_VERSION));
    // Lets a desktop match the windows to the installed desktop entry and its icon.
    QApplication::setDesktopFileName(QStringLiteral("erp-host"));
    QApplication::setWindowIcon(applicationIcon());
    // What Qt draws itself (standard buttons, file and print dialogs, text-box menus) in
    // Portuguese too.
    if (!fiscal::clientlib::installQtTranslations(app))
        std::fprintf(stderr, "erp-host: traduções do Qt (qtbase_pt_BR) não encontradas\n");

    HostOptions options;
    if (!readHostOptions(cli, options, error)) {
        std::fprintf(stderr, "erp-host: %s\n", qPrintable(error));
        return 2;
    }
    const int module = moduleToOpen(options, error);
    if ((options.open || !options.screenshot.isEmpty()) && module < 0) {
        std::fprintf(stderr, "erp-host: %s\n%s", qPrintable(error), qPrintable(hostUsage()));
        return 2;
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
    window.loadModules(options.modules);
    window.show();
    window.activateWindow();

    if (!options.screenshot.isEmpty()) {
        return takeScreenshot(app, window, module, options);
    }
    if (options.open) {
        // Once the event loop runs, so that the window is up before the screen loads.
        QTimer::singleShot(0, &window, [&window, module] {
            if (!window.moduleLoaded(module)) {
                using namespace fiscal::clientlib;
                interaction().message(mtError, messageTitle(mtError), window.moduleError(module), mbOK, &window);
                return;
            }
            window.runModule(module);
        });
    }
    return app.exec();
}
