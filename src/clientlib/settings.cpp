#include "clientlib/settings.h"

#include <QCoreApplication>
#include <QUrl>
#include <QVariant>
#include <map>
#include <stdexcept>

namespace fiscal::clientlib {

namespace {

constexpr const char *kHost = "fiscal.serverHost";
constexpr const char *kPort = "fiscal.serverPort";
constexpr const char *kDatabase = "fiscal.database";
constexpr const char *kToken = "fiscal.token";

// Used only while no QCoreApplication exists.
std::map<QString, QVariant> &fallback()
{
    static std::map<QString, QVariant> values;
    return values;
}

QVariant get(const char *name)
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        return app->property(name);
    }
    auto it = fallback().find(QString::fromLatin1(name));
    return it == fallback().end() ? QVariant() : it->second;
}

void set(const char *name, const QVariant &value)
{
    if (QCoreApplication *app = QCoreApplication::instance()) {
        app->setProperty(name, value);
        return;
    }
    fallback()[QString::fromLatin1(name)] = value;
}

} // namespace

Settings &Settings::instance()
{
    static Settings settings;
    return settings;
}

QString Settings::serverHost() const { return get(kHost).toString(); }
int Settings::serverPort() const { return get(kPort).toInt(); }
QString Settings::database() const { return get(kDatabase).toString(); }
QString Settings::token() const { return get(kToken).toString(); }

void Settings::setServerHost(const QString &host) { set(kHost, host); }
void Settings::setServerPort(int port) { set(kPort, port); }
void Settings::setDatabase(const QString &db) { set(kDatabase, db); }
void Settings::setToken(const QString &token) { set(kToken, token); }

void Settings::setServerUrl(const QString &url)
{
    const QString text = url.trimmed();
    if (text.isEmpty()) {
        throw std::invalid_argument("Endereço do servidor vazio.");
    }
    // QUrl needs a scheme to see "host:port" as an authority.
    const QUrl parsed(text.contains(QLatin1String("://")) ? text : QLatin1String("http://") + text);
    if (!parsed.isValid() || parsed.host().isEmpty()
        || (parsed.scheme() != QLatin1String("http"))
        || (!parsed.path().isEmpty() && parsed.path() != QLatin1String("/"))) {
        throw std::invalid_argument(
            QStringLiteral("Endereço do servidor inválido: \"%1\" (esperado http://HOST:PORTA).")
                .arg(text).toStdString());
    }
    const int port = parsed.port(-1);
    if (port == 0) {
        throw std::invalid_argument(
            QStringLiteral("Porta do servidor inválida em \"%1\".").arg(text).toStdString());
    }
    setServerHost(parsed.host());
    if (port > 0) {
        setServerPort(port);
    }
}

QString WebURL() { return Settings::instance().serverHost(); }
int WebPort() { return Settings::instance().serverPort(); }

} // namespace fiscal::clientlib
