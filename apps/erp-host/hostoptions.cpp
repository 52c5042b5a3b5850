#include "hostoptions.h"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <memory>

#ifndef FISCAL_DEFAULT_MODULE
#define FISCAL_DEFAULT_MODULE ""
#endif

QString hostUsage()
{
    return QStringLiteral(
        "uso: erp-host [--server http://HOST:PORTA] [--db BANCO] [--token TOKEN]\n"
        "              [--module BIBLIOTECA] [--config ARQUIVO.ini]\n"
        "              [--screenshot ARQUIVO.png] [--screenshot-timeout MS]\n");
}

bool readHostOptions(const QStringList &arguments, HostOptions &out, QString &error)
{
    // Command line first, so that --config is known before the file is read.
    HostOptions cli;
    bool hasServer = false, hasDb = false, hasToken = false, hasModule = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString arg = arguments.at(i);
        auto value = [&](QString &target) {
            if (i + 1 >= arguments.size()) {
                error = QStringLiteral("falta o valor de %1").arg(arg);
                return false;
            }
            target = arguments.at(++i);
            return true;
        };
        if (arg == QLatin1String("--server")) {
            if (!value(cli.server)) return false;
            hasServer = true;
        } else if (arg == QLatin1String("--db")) {
            if (!value(cli.database)) return false;
            hasDb = true;
        } else if (arg == QLatin1String("--token")) {
            if (!value(cli.token)) return false;
            hasToken = true;
        } else if (arg == QLatin1String("--module")) {
            if (!value(cli.module)) return false;
            hasModule = true;
        } else if (arg == QLatin1String("--screenshot")) {
            if (!value(cli.screenshot)) return false;
        } else if (arg == QLatin1String("--config")) {
            if (!value(cli.configFile)) return false;
        } else if (arg == QLatin1String("--screenshot-timeout")) {
            QString ms;
            if (!value(ms)) return false;
            bool ok = false;
            cli.screenshotTimeoutMs = ms.toInt(&ok);
            if (!ok || cli.screenshotTimeoutMs <= 0) {
                error = QStringLiteral("tempo inválido: %1").arg(ms);
                return false;
            }
        } else if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            error = QString();
            return false;
        } else {
            error = QStringLiteral("argumento desconhecido: %1").arg(arg);
            return false;
        }
    }

    HostOptions result;
    result.module = QString::fromUtf8(FISCAL_DEFAULT_MODULE);

    // Settings file.
    std::unique_ptr<QSettings> file;
    if (!cli.configFile.isEmpty()) {
        if (!QFileInfo::exists(cli.configFile)) {
            error = QStringLiteral("arquivo de configuração não encontrado: %1").arg(cli.configFile);
            return false;
        }
        file = std::make_unique<QSettings>(cli.configFile, QSettings::IniFormat);
    } else {
        file = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                           QStringLiteral("fiscal"), QStringLiteral("erp-host"));
    }
    result.server = file->value(QStringLiteral("server/url"), result.server).toString();
    result.token = file->value(QStringLiteral("server/token"), result.token).toString();
    result.database = file->value(QStringLiteral("database/connection"), result.database).toString();
    result.module = file->value(QStringLiteral("modules/path"), result.module).toString();

    // Environment.
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    auto fromEnv = [&env](const char *name, QString &target) {
        const QString v = env.value(QString::fromLatin1(name));
        if (!v.isEmpty()) {
            target = v;
        }
    };
    fromEnv("FISCAL_SERVER", result.server);
    fromEnv("FISCAL_DB", result.database);
    fromEnv("FISCAL_TOKEN", result.token);
    fromEnv("FISCAL_MODULE", result.module);

    // Command line.
    if (hasServer) result.server = cli.server;
    if (hasDb) result.database = cli.database;
    if (hasToken) result.token = cli.token;
    if (hasModule) result.module = cli.module;
    result.screenshot = cli.screenshot;
    result.screenshotTimeoutMs = cli.screenshotTimeoutMs;
    result.configFile = cli.configFile;
    out = result;
    return true;
}
