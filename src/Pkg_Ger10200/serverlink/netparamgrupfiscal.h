#pragma once
// The main screen's connection to the remote object Ger10200.rdmParamGrupFiscal.
//
//   NetParamGrupFiscal net(parent);        objectName "netParamGrupFiscal"
//   net.Open() / net.Close()               BeforeConnect takes host and port from
//                                          WebURL()/WebPort() every time it opens
//   net.call(method, params)               the raw reply (no check)
//   net.packet(method, params)             checked with CheckResultServ; the data packet
//   net.GetDados()                         checked; the seven packets in order
//   net.save(method, value)                checked; the result is not used
//
// Every call first emits called(method, params), so the calls a screen makes can be
// followed in order (the tests connect to it by name).

#include "dataset/packet.h"
#include "rpc/reply.h"

#include <QCborArray>
#include <QCborValue>
#include <QList>
#include <QObject>
#include <QString>

namespace fiscal::clientlib { class TNetConnection; }

namespace fiscal::ger10200 {

inline constexpr const char *kServerParamGrupFiscal = "Ger10200.rdmParamGrupFiscal";

class NetParamGrupFiscal : public QObject {
    Q_OBJECT
public:
    explicit NetParamGrupFiscal(QObject *parent = nullptr);
    ~NetParamGrupFiscal() override;

    clientlib::TNetConnection *connection() const { return m_net; }

    bool Open();
    void Close();
    bool Connected() const;

    rpc::Reply call(const QString &method, const QCborArray &params = {});
    dataset::DataPacket packet(const QString &method, const QCborArray &params = {});
    QList<dataset::DataPacket> GetDados();
    void save(const QString &method, const QCborValue &argument);
    void check(const QString &method, const QCborArray &params);

Q_SIGNALS:
    void called(const QString &method, const QCborArray &params);

private:
    void netParamGrupFiscalBeforeConnect(clientlib::TNetConnection &net);

    clientlib::TNetConnection *m_net;
};

} // namespace fiscal::ger10200
