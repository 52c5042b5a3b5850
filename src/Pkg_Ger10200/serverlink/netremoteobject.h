#pragma once
// A screen's connection to one remote object of the application server.
//
//   NetRemoteObject net("netCadAutParGrpFis", "Ger10201.rdmCadAutParGrpFis", parent);
//   net.Open() / net.Close()               the before-connect handling takes host and port
//                                          from WebURL()/WebPort() every time it opens
//   net.call(method, params)               the raw reply (no check)
//   net.call(method, params, last)         the same, `last` streamed after params
//   net.packet(method, params)             checked with CheckResultServ; the data packet
//   net.check(method, params)              checked; the result is not used
//   net.save(method, value)                check() with one argument (a change set)
//
// ThrowException is false, as on every screen: a failed opening is shown once and a
// call on a closed connection opens it first (netconnection.h). Every call first emits
// called(method, params), so the calls a screen makes can be followed in order.

#include "dataset/packet.h"
#include "rpc/reply.h"

#include <QCborArray>
#include <QCborValue>
#include <QObject>
#include <QString>

namespace fiscal::clientlib { class TNetConnection; }
namespace fiscal::rpc { class StreamedParam; }

namespace fiscal::ger10200 {

class NetRemoteObject : public QObject {
    Q_OBJECT
public:
    NetRemoteObject(const QString &objectName, const char *serverName, QObject *parent = nullptr);
    ~NetRemoteObject() override;

    clientlib::TNetConnection *connection() const { return m_net; }

    bool Open();
    void Close();
    bool Connected() const;

    rpc::Reply call(const QString &method, const QCborArray &params = {});
    // `last` goes after `params` as it is produced, never whole in memory.
    rpc::Reply call(const QString &method, const QCborArray &params, rpc::StreamedParam &last);
    dataset::DataPacket packet(const QString &method, const QCborArray &params = {});
    void check(const QString &method, const QCborArray &params);
    void save(const QString &method, const QCborValue &argument);

Q_SIGNALS:
    void called(const QString &method, const QCborArray &params);

private:
    void BeforeConnect(clientlib::TNetConnection &net);

    clientlib::TNetConnection *m_net;
};

} // namespace fiscal::ger10200
