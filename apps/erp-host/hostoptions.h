#pragma once
// Where the host takes its settings from, strongest first: the command line, the
// environment (FISCAL_SERVER, FISCAL_DB, FISCAL_TOKEN, FISCAL_MODULE), the settings file
// (INI; --config FILE or the user's erp-host.ini), built-in defaults.

#include <QString>
#include <QStringList>

struct HostOptions {
    QString server = QStringLiteral("http://127.0.0.1:8211");
    QString database;
    QString token;
    QString module;
    QString screenshot;
    QString configFile;
    int screenshotTimeoutMs = 60000;
};

// Reads the three sources. Returns false with `error` set for a bad command line.
bool readHostOptions(const QStringList &arguments, HostOptions &out, QString &error);
QString hostUsage();
