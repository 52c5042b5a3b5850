#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"

#include "clientlib/checkresult.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"

#include <QCborStreamReader>

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
    const rpc::Reply r = CheckResultServ(call(method, params), true, 0);
    return dataset::DataPacket::readCbor(r.resultCbor());
}

QList<dataset::DataPacket> NetParamGrupFiscal::GetDados()
{
    const rpc::Reply r = CheckResultServ(call(QStringLiteral("GetDados")), true, 0);
    // The result is an array of packets; each element is handed to the streaming
    // decoder as its own bytes, so a big packet never becomes a tree.
    const QByteArray &cbor = r.resultCbor();
    QCborStreamReader reader(cbor);
    if (!reader.isArray() || !reader.enterContainer())
        throw dataset::PacketError(QStringLiteral("Resposta inválida do servidor em GetDados."));
    QList<dataset::DataPacket> packets;
    while (reader.lastError() == QCborError::NoError && reader.hasNext()) {
        const qint64 begin = reader.currentOffset();
        if (!reader.next())
            break;
        const qint64 end = reader.currentOffset();
        packets.append(dataset::DataPacket::readCbor(cbor.mid(begin, end - begin)));
    }
    if (reader.lastError() != QCborError::NoError || packets.size() != 7)
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
