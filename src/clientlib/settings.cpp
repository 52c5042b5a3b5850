#include "clientlib/settings.h"

#include <QUrl>
#include <stdexcept>

namespace fiscal::clientlib {

namespace {
constexpr int kUsualPort = 8211;   // fiscal-server's port in the guides and the host's default
}

Settings &Settings::instance()
{
    static Settings settings;
    return settings;
}

QString Settings::serverHost() const { return m_host; }
int Settings::serverPort() const { return m_port; }
QString Settings::database() const { return m_database; }
QString Settings::token() const { return m_token; }
bool Settings::serverTls() const { return m_tls; }
QString Settings::caFile() const { return m_caFile; }
QString Settings::user() const { return m_user; }

void Settings::setServerHost(const QString &host) { m_host = host; }
void Settings::setServerPort(int port) { m_port = port; }
void Settings::setDatabase(const QString &db) { m_database = db; }
void Settings::setToken(const QString &token) { m_token = token; }
void Settings::setServerTls(bool tls) { m_tls = tls; }
void Settings::setCaFile(const QString &file) { m_caFile = file; }
void Settings::setUser(const QString &user) { m_user = user; }

void Settings::setServerUrl(const QString &url)
{
    const QString text = url.trimmed();
    if (text.isEmpty()) {
        throw std::invalid_argument("Endereço do servidor vazio.");
    }
    // QUrl needs a scheme to see "host:port" as an authority.
    const QUrl parsed(text.contains(QLatin1String("://")) ? text : QLatin1String("http://") + text);
    const bool https = parsed.scheme() == QLatin1String("https");
    if (!parsed.isValid() || parsed.host().isEmpty()
        || (parsed.scheme() != QLatin1String("http") && !https)
        || (!parsed.path().isEmpty() && parsed.path() != QLatin1String("/"))) {
        throw std::invalid_argument(
            QStringLiteral("Endereço do servidor inválido: \"%1\" (esperado http://HOST:PORTA ou https://HOST:PORTA).")
                .arg(text).toStdString());
    }
    // A scheme without a port means its own (an nginx in front listens on 80); a bare host
    // keeps the port set before, or the server's usual one.
    const bool scheme = text.contains(QLatin1String("://"));
    const int port = parsed.port(https ? 443 : scheme ? 80 : m_port > 0 ? -1 : kUsualPort);
    if (port == 0) {
        throw std::invalid_argument(
            QStringLiteral("Porta do servidor inválida em \"%1\".").arg(text).toStdString());
    }
    // A name with accents goes to the resolver, the certificate check and the Host header in
    // its ASCII form ("açúcar.com.br" is "xn--acar-0oa8i.com.br").
    setServerHost(parsed.host(QUrl::EncodeUnicode));
    setServerTls(https);
    if (port > 0) {
        setServerPort(port);
    }
}

QString Settings::serverAddress() const
{
    // An IPv6 address in brackets, so that the text can be typed back as the server's address.
    const QString host = m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    return QStringLiteral("%1://%2:%3").arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), host).arg(m_port);
}

QString WebURL() { return Settings::instance().serverHost(); }
int WebPort() { return Settings::instance().serverPort(); }

} // namespace fiscal::clientlib
