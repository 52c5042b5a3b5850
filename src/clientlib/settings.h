#pragma once
// Where the client finds its application server and its database.
//
//   Settings::instance().setServerUrl("http://127.0.0.1:8211");   // the host does this
//   WebURL() -> "127.0.0.1", WebPort() -> 8211                     // screens read it
//   setServerUrl("https://fiscal.empresa.com.br") -> port 443, serverTls() true; the
//   server's certificate is checked against caFile() or, when empty, the system's store.
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
    bool serverTls() const;            // HTTPS
    QString serverAddress() const;     // "https://host:port", as setServerUrl() takes it
    QString caFile() const;            // PEM file of the authorities to trust; empty: the system's
    // Who uses this client: named in every server call (the server records it in the
    // history unless its token says otherwise). The host sets it; may be empty.
    QString user() const;

    void setServerHost(const QString &host);
    void setServerPort(int port);
    void setDatabase(const QString &db);
    void setToken(const QString &token);
    void setServerTls(bool tls);
    void setCaFile(const QString &file);
    void setUser(const QString &user);

    // "http://HOST[:PORT]" (80 by default), "https://HOST[:PORT]" (443 by default),
    // "HOST:PORT" or "HOST" (port unchanged, 8211 when none was set). Throws
    // std::invalid_argument with a readable message for anything else.
    void setServerUrl(const QString &url);

private:
    Settings() = default;

    QString m_host;
    int m_port = 0;
    QString m_database;
    QString m_token;
    bool m_tls = false;
    QString m_caFile;
    QString m_user;
};

// Host name and port of the application server.
QString WebURL();
int WebPort();

} // namespace fiscal::clientlib
