#pragma once
// Where the host takes its settings from, strongest first: the command line, the
// environment (FISCAL_SERVER, FISCAL_DB, FISCAL_TOKEN, FISCAL_CAFILE, FISCAL_MODULE), the settings file
// (INI; --config FILE, else the user's fiscal/erp-host.ini, then the system's), built-in
// defaults. Every option is listed once, in hostoptions.cpp, and --help is made from it.

#include <QString>
#include <QStringList>
#include <optional>

// What the command line says; read before the application object exists, so that --help,
// --version and a wrong option work without a display.
struct HostCommandLine {
    std::optional<QString> server;
    std::optional<QString> database;
    std::optional<QString> token;
    std::optional<QString> caFile;
    std::optional<QString> user;
    QStringList modules;
    bool open = false;
    QString openModule;
    QString screenshot;
    QString window;
    QString configFile;
    int screenshotTimeoutMs = 60000;
    int screenshotTab = 0;
    QString screenshotDialog;
    bool exitWhenDrawn = false;
    bool passwordStdin = false;
    bool help = false;
    bool version = false;
};

// The settings in force, all sources merged.
struct HostOptions {
    QString server = QStringLiteral("http://127.0.0.1:8211");
    QString database;
    QString token;
    QString caFile;                // authorities to trust for https (PEM); empty: the system's
    QString user;                  // never empty: the system login when nothing names one
    bool userGiven = false;        // --user, FISCAL_USER or [user] name: sign in as this user
    bool passwordStdin = false;    // --password-stdin: its password is the first line of stdin
    QStringList modules;           // library paths, in menu order
    bool open = false;             // --open: open a module's main screen at start
    QString openModule;            // its name; empty when only one module is configured
    QString screenshot;
    QString window;                // --window: a window of the module --screenshot grabs instead of the main one
    QString configFile;
    int screenshotTimeoutMs = 60000;
    int screenshotTab = 0;         // 1-based; 0: the tab the screen opens on
    QString screenshotDialog;      // a dialog the module offers (clientlib/screentargets.h); empty: none
    bool exitWhenDrawn = false;    // print "drawn" once the main screen shows its data, then exit
};

// Returns false with `error` set (one line) for a bad command line. Single-dash options
// other than -h are Qt's own (-platform offscreen, -display :1) and are left to it.
bool parseHostCommandLine(const QStringList &arguments, HostCommandLine &cli, QString &error);

// Merges the command line with the environment, the settings file and the defaults; false
// with `error` set when the settings file named by --config is missing.
bool readHostOptions(const HostCommandLine &cli, HostOptions &out, QString &error);

// The module --open (or --screenshot) means: its index in options.modules, or -1 with
// `error` set when the name fits none or several modules leave it open to doubt.
int moduleToOpen(const HostOptions &options, QString &error);

// "libPkg_Ger10200.so" -> "Pkg_Ger10200": the name --open and the menus use.
QString moduleName(const QString &libraryPath);

// The full --help text, and the short synopsis printed after a command-line error.
QString hostHelp();
QString hostUsage();

// Name and version of the application, as the title bar, "Sobre" and --version show them.
QString applicationTitle();
