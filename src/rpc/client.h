#pragma once
// Synchronous JSON-RPC client over one persistent HTTP/1.1 connection (HTTPS when asked),
// CBOR bodies.
// Used by the screens (through the client library's connection component), tests and
// benchmarks. One call at a time per Client; not thread-safe.

#include "dataset/packet.h"
#include "rpc/calllimits.h"
#include "rpc/reply.h"
#include "rpc/streamedparam.h"

#include <QCborArray>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace fiscal::rpc {

// HTTPS: the server's certificate must be valid, issued by an authority the client trusts
// (those of caFile, a PEM file, or else the system's store) and carry the host's name.
struct TlsOptions {
    bool enabled = false;
    QString caFile;
};

// localhost, 127.0.0.0/8 and ::1: names and addresses that never leave the machine.
bool isLoopbackHost(const QString &host);

// The limits the server at host:port named in its last answer to any Client of this process
// (rpc/calllimits.h); none before its first answer, or from a server that names none.
std::optional<CallLimits> announcedLimits(const QString &host, quint16 port);

class Client {
public:
    Client(QString host, quint16 port, QString token = {}, TlsOptions tls = {});
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Calls object.method(params). Returns the server's reply (its result or the failure it
    // reported); throws TransportError when the server cannot be reached, drops the
    // connection or does not answer within timeoutMs. A connection the server closed while
    // idle is reopened once, transparently. A param already encoded, tag 24 around its CBOR
    // bytes, is sent as the value it holds, its bytes copied in as they are.
    Reply call(const QString &object, const QString &method, const QCborArray &params,
               int timeoutMs = 120000);

    // Like call(), with `last` sent after `params` as it is produced (a Content-Length body
    // of which only a piece is held at a time). `last` is rewound before every sending.
    Reply call(const QString &object, const QString &method, const QCborArray &params,
               StreamedParam &last, int timeoutMs = 120000);

    // Like call(), but the result of a success is handed to `readResult` to decode. A small
    // result is decoded on the caller's thread once it has arrived; a large one while it is
    // still arriving, on a thread of its own, so that decoding overlaps the transfer and the
    // body is never held whole. readResult must read the result to its end (the data-set
    // decoders do). The Reply returned for a success has no result bytes; a failure the
    // server reports comes back as with call(). A reply that breaks off throws
    // TransportError, also from inside readResult's reads; whatever readResult throws is
    // passed on.
    using ResultReader = std::function<void(dataset::ByteSource &result)>;
    Reply call(const QString &object, const QString &method, const QCborArray &params,
               const ResultReader &readResult, int timeoutMs = 120000);

    // The exchange runs on the caller's thread: a short call (a code field's lookup) wakes no
    // other thread. When set, pump() is called on the caller's thread every kPumpEvery while
    // a call waits (for example to paint the screen meanwhile); it must not start a call on
    // this Client (such a call is refused). When not set, call() simply blocks.
    static constexpr std::chrono::milliseconds kPumpEvery{10};
    std::function<void()> pump;

    // The user named in every call's X-Fiscal-User header (see rpc/caller.h); none by default.
    void setUser(const QString &user);

    void disconnect();
    bool isConnected() const;
    const QString &host() const;
    quint16 port() const;

private:
    // A token over plain HTTP to another machine is refused (TransportError saying why).
    void refuseCredentialsInClear() const;

    class CallScope;
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace fiscal::rpc
