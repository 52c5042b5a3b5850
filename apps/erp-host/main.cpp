// erp-host: the host application. Loads the module libraries and opens their main screens
// from the "Módulos" menu, or one at start with --open; with --screenshot it opens the
// screen, waits until it has loaded its data, saves a picture (screenshot.h) and exits.

#include "endofsession.h"
#include "hostoptions.h"
#include "mainwindow.h"
#include "screenshot.h"
#include "sessionmenu.h"
#include "signindialog.h"

#include "clientlib/hostservices.h"
#include "clientlib/interaction.h"
#include "clientlib/settings.h"
#include "clientlib/translations.h"

#include <QApplication>
#include <QIcon>
#include <QTextStream>
#include <QTimer>
#include <cstdio>
#include <stdexcept>

namespace {

QIcon applicationIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/erp-host-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

// A server that asks for a sign-in gets one before anything opens: from the dialog, or
// with --user and --password-stdin from the first line of standard input (scripts,
// screenshots). A token of the settings is a script's own session. Returns an exit code
// when the program must end, else -1.
int signInAtStart(const HostOptions &options)
{
    if (!fiscal::clientlib::Settings::instance().token().isEmpty())
        return -1;
    // A server out of reach now is asked for a sign-in all the same: a window opened without
    // a session could not get one once the server answered. A picture or a start-up check
    // without a password draws what it can, as before.
    QString why;
    const SignInNeed need = serverWantsSignIn(&why);
    const bool unattended = !options.passwordStdin && (!options.screenshot.isEmpty() || options.exitWhenDrawn);
    if (need == SignInNeed::No || (need == SignInNeed::Unknown && unattended))
        return -1;
    if (options.passwordStdin) {
        if (!options.userGiven) {
            std::fprintf(stderr, "erp-host: --password-stdin pede --user\n");
            return 2;
        }
        QTextStream in(stdin);
        const QString password = in.readLine();
        // An empty or closed input would count as a failed sign-in, and a few lock the user out.
        if (password.isEmpty()) {
            std::fprintf(stderr, "erp-host: --password-stdin não recebeu a senha\n");
            return 2;
        }
        const SignIn session = signIn(options.user, password);
        if (!session.ok) {
            std::fprintf(stderr, "erp-host: %s\n", qPrintable(session.message));
            return 1;
        }
        if (session.mustChangePassword) {
            std::fprintf(stderr, "erp-host: a senha de %s é temporária; entre uma vez sem --password-stdin para"
                                 " trocá-la\n", qPrintable(options.user));
            adopt(session);
            signOut();   // the temporary session would stay open on the server
            return 1;
        }
        adopt(session);
        return -1;
    }
    SignInDialog dialog;
    // The user named in the settings, else the last one, else this machine's login.
    if (options.userGiven || dialog.login().isEmpty())
        dialog.setLogin(options.user);
    if (!options.screenshot.isEmpty() || options.exitWhenDrawn) {
        // Nobody to type a password: the picture is the sign-in itself, never a wait.
        if (options.exitWhenDrawn) {
            std::fprintf(stderr, "erp-host: o servidor pede entrada: use --user e --password-stdin\n");
            return 1;
        }
        dialog.show();
        QCoreApplication::processEvents();
        if (!dialog.grab().save(options.screenshot)) {
            std::fprintf(stderr, "erp-host: não foi possível gravar %s\n", qPrintable(options.screenshot));
            return 1;
        }
        std::fprintf(stderr, "erp-host: o servidor pede entrada; %s mostra a janela \"Entrar\" (com --user e"
                             " --password-stdin, a tela principal)\n", qPrintable(options.screenshot));
        return 0;
    }
    return dialog.exec() == QDialog::Accepted ? -1 : 0;
}

// A setting that keeps the program from starting: on standard error for scripts, and on a
// desktop in a box too, since a program started from the menu has nobody reading standard
// error (it would just not appear). Returns the exit code.
int startFailed(const QString &text, const HostCommandLine &cli, bool withUsage)
{
    std::fprintf(stderr, "erp-host: %s\n%s", qPrintable(text), withUsage ? qPrintable(hostUsage()) : "");
    const QString platform = QGuiApplication::platformName();
    const bool nobodyToSee = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    if (!nobodyToSee && cli.screenshot.isEmpty() && !cli.exitWhenDrawn) {
        using namespace fiscal::clientlib;
        QString detail = text;
        if (!detail.isEmpty())
            detail[0] = detail.at(0).toUpper();
        interaction().message(mtError, messageTitle(mtError),
                              QStringLiteral("O programa não pôde ser iniciado.\n\n%1").arg(detail), mbOK, nullptr);
    }
    return 2;
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
    if (!readHostOptions(cli, options, error))
        return startFailed(error, cli, false);
    const int module = moduleToOpen(options, error);
    if ((options.open || !options.screenshot.isEmpty() || options.exitWhenDrawn) && module < 0)
        return startFailed(error, cli, true);

    auto &settings = fiscal::clientlib::Settings::instance();
    try {
        settings.setServerUrl(options.server);
    } catch (const std::invalid_argument &e) {
        return startFailed(QString::fromUtf8(e.what()), cli, false);
    }
    settings.setDatabase(options.database);
    settings.setToken(options.token);
    settings.setCaFile(options.caFile);
    settings.setUser(options.user);
    if (const int rc = signInAtStart(options); rc >= 0)
        return rc;

    HostWindow window;
    fiscal::clientlib::setHostWindow(&window, window.mdiArea());
    window.resize(1024, 600);
    window.loadModules(options.modules);
    installSessionMenu(window);
    new EndOfSession(window);
    window.show();
    window.activateWindow();

    if (!options.screenshot.isEmpty()) {
        return takeScreenshot(app, window, module, options);
    }
    if (options.exitWhenDrawn) {
        return exitWhenDrawn(app, window, module, options);
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
