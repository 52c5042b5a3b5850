#pragma once
// Connection of a screen to one remote object of the application server.
//
//   auto *net = new TNetConnection(this);
//   net->setServerName("Ger10200.rdmParamGrupFiscal");
//   net->BeforeConnect = [](TNetConnection &c) { c.setHost(WebURL()); c.setPort(WebPort()); };
//   net->setConnected(true);                    // BeforeConnect runs on every opening
//   rpc::Reply r = net->call("GetFornInsc", {imposto, empresa, inscricao});
//   rpc::Reply packet = CheckResultServ(r, true, 0);
//   net->setConnected(false);
//
// Calls are synchronous for the caller. While one runs, the caller's thread waits in a
// local event loop that excludes user input: the screen repaints and the wait animation
// moves, but nothing can be clicked or typed.
//
// Failures are never silent and never hang. Every call has a timeout: as long as the server
// may work on it (the limits it names in its answers, rpc/calllimits.h) and a little more,
// so that its own "gave up" answer arrives; before its first answer 120 s, and bulk work
// (protocol::method::isBulk) 900 s and a minute. A timeout set with setTimeoutMs() is kept
// for all but bulk work, whatever the server names:
//  - ThrowException true: a failure to connect or a lost connection throws
//    rpc::TransportError (its message is for the user).
//  - ThrowException false (the screens' setting): a failure to connect shows an error box
//    and leaves the connection closed; a call on a closed connection opens it first; a
//    transport failure of a call comes back as a failed Reply with code kTransportError,
//    which CheckResultServ reports like any server failure.
// A failure the server reports is always a failed Reply.
//
// setCallObserver() lets tests see every call (object, method, arguments) in order.

#include "rpc/reply.h"

#include <QCborArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace fiscal::rpc { class Client; class StreamedParam; }
namespace fiscal::dataset { class ByteSource; }

namespace fiscal::clientlib {

// Code of a failed Reply that stands for a transport failure (no server answer).
constexpr int kTransportError = -32300;

class TNetConnection : public QObject {
    Q_OBJECT
public:
    explicit TNetConnection(QObject *parent = nullptr);
    ~TNetConnection() override;

    QString ServerName() const { return m_serverName; }
    void setServerName(const QString &name) { m_serverName = name; }
    QString Host() const { return m_host; }
    void setHost(const QString &host) { m_host = host; }
    int Port() const { return m_port; }
    void setPort(int port) { m_port = port; }
    // Bearer token; taken from Settings when the connection is created.
    QString Token() const { return m_token; }
    void setToken(const QString &token) { m_token = token; }
    // HTTPS and the authorities to trust; taken from Settings when the connection is created.
    bool Tls() const { return m_tls; }
    void setTls(bool tls) { m_tls = tls; }
    QString CaFile() const { return m_caFile; }
    void setCaFile(const QString &file) { m_caFile = file; }
    bool ThrowException() const { return m_throwException; }
    void setThrowException(bool t) { m_throwException = t; }
    int TimeoutMs() const { return m_timeoutMs; }
    void setTimeoutMs(int ms)
    {
        m_timeoutMs = ms;
        m_timeoutSet = true;
    }
    // How long a call of `method` is waited for (see the class comment).
    int TimeoutFor(const QString &method) const;

    // Runs just before the connection opens (every time).
    std::function<void(TNetConnection &)> BeforeConnect;

    bool Connected() const { return m_client != nullptr; }
    // A call is under way (its wait loop may run timers that call again).
    bool Busy() const { return m_calling; }
    // True on success. See the class comment for what a failure does.
    bool setConnected(bool connected);
    bool Open() { return setConnected(true); }
    void Close() { setConnected(false); }

    // Calls a method of the remote object by name (matched without regard to case).
    rpc::Reply call(const QString &method, const QCborArray &params = {});
    // The same, with `last` sent after `params` as it is produced (rpc/streamedparam.h); the
    // call observer sees `params` alone.
    rpc::Reply call(const QString &method, const QCborArray &params, rpc::StreamedParam &last);
    // The same, with the result of a success handed to readResult while it still arrives
    // (big data packets are decoded during the transfer); the returned Reply then carries
    // no result bytes. Failures come back as with call().
    using ResultReader = std::function<void(dataset::ByteSource &result)>;
    rpc::Reply call(const QString &method, const QCborArray &params, const ResultReader &readResult);

    // The last transport failure, for diagnostics.
    QString LastError() const { return m_lastError; }

    using CallObserver = std::function<void(const QString &serverName, const QString &method,
                                            const QCborArray &params)>;
    // Process-wide; an empty function removes it. Returns the previous observer.
    static CallObserver setCallObserver(CallObserver observer);

Q_SIGNALS:
    void connectedChanged(bool connected);

private:
    bool open(bool report);
    rpc::Reply exchange(const QString &method, const QCborArray &params,
                        const std::function<rpc::Reply(rpc::Client &)> &send);
    bool fail(const QString &message, bool report);

    QString m_serverName;
    QString m_host;
    int m_port = 0;
    QString m_token;
    bool m_tls = false;
    QString m_caFile;
    bool m_throwException = false;
    int m_timeoutMs = 120000;
    bool m_timeoutSet = false;
    QString m_lastError;
    bool m_calling = false;
    std::unique_ptr<rpc::Client> m_client;
};

} // namespace fiscal::clientlib
