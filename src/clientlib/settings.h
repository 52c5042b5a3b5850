#pragma once
// Where the client finds its application server and its database.
//
//   Settings::instance().setServerUrl("http://127.0.0.1:8211");   // the host does this
//   WebURL() -> "127.0.0.1", WebPort() -> 8211                     // screens read it
//
// The host fills the settings before it loads a module; the module reads the same ones,
// since this library is loaded once per process.

#include <QString>

namespace fiscal::clientlib {

class Settings {
public:
    static Settings &instance();

    QString serverHost() const;
    int serverPort() const;            // 0 when not set
    QString database() const;          // SQLite file path or PostgreSQL URL
    QString token() const;             // bearer token of the server, may be empty

    void setServerHost(const QString &host);
    void setServerPort(int port);
    void setDatabase(const QString &db);
    void setToken(const QString &token);

    // "http://HOST:PORT", "HOST:PORT" or "HOST" (port unchanged). Throws
    // std::invalid_argument with a readable message for anything else.
    void setServerUrl(const QString &url);

private:
    Settings() = default;

    QString m_host;
    int m_port = 0;
    QString m_database;
    QString m_token;
};

// Host name and port of the application server.
QString WebURL();
int WebPort();

} // namespace fiscal::clientlib
