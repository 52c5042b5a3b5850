#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"

#include "clientlib/checkresult.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"


namespace fiscal::ger10200 {

using clientlib::CheckResultServ;

NetParamGrupFiscal::NetParamGrupFiscal(QObject *parent)
    : QObject(parent), m_net(new clientlib::TNetConnection(this))
{
    setObjectName(QStringLiteral("netParamGrupFiscal"));
    m_net->setServerName(QString::fromLatin1(kServerParamGrupFiscal));
    m_net->setThrowException(false);
    m_net->BeforeConnect = [this](clientlib::TNetConnection &net) {
        netParamGrupFiscalBeforeConnect(net);
    };
}

NetParamGrupFiscal::~NetParamGrupFiscal() = default;

void NetParamGrupFiscal::netParamGrupFiscalBeforeConnect(clientlib::TNetConnection &net)
{
    net.setHost(clientlib::WebURL());
    net.setPort(clientlib::WebPort());
}

bool NetParamGrupFiscal::Open()
{
    return m_net->Open();
}

void NetParamGrupFiscal::Close()
{
    m_net->Close();
}

bool NetParamGrupFiscal::Connected() const
{
    return m_net->Connected();
}

rpc::Reply NetParamGrupFiscal::call(const QString &method, const QCborArray &params)
{
    Q_EMIT called(method, params);
    return m_net->call(method, params);
}

dataset::DataPacket NetParamGrupFiscal::packet(const QString &method, const QCborArray &params)
{
    Q_EMIT called(method, params);
    dataset::DataPacket packet;
    CheckResultServ(m_net->call(method, params,
                                [&](dataset::ByteSource &result) {
                                    packet = dataset::DataPacket::readCbor(result);
                                }),
                    true, 0);
    return packet;
}

QList<dataset::DataPacket> NetParamGrupFiscal::GetDados()
{
    Q_EMIT called(QStringLiteral("GetDados"), {});
    // Seven packets, 600,000 rows on a large database: decoded while they arrive.
    QList<dataset::DataPacket> packets;
    CheckResultServ(m_net->call(QStringLiteral("GetDados"), {},
                                [&](dataset::ByteSource &result) {
                                    packets = dataset::readCborPackets(result);
                                }),
                    true, 0);
    if (packets.size() != 7)
        throw dataset::PacketError(QStringLiteral("Resposta inválida do servidor em GetDados."));
    return packets;
}

void NetParamGrupFiscal::save(const QString &method, const QCborValue &argument)
{
    CheckResultServ(call(method, QCborArray{argument}), true, 0);
}

void NetParamGrupFiscal::check(const QString &method, const QCborArray &params)
{
    CheckResultServ(call(method, params), true, 0);
}

} // namespace fiscal::ger10200
