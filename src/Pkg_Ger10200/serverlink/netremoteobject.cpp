#include "Pkg_Ger10200/serverlink/netremoteobject.h"

#include "clientlib/checkresult.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"

namespace fiscal::ger10200 {

using clientlib::CheckResultServ;

NetRemoteObject::NetRemoteObject(const QString &objectName, const char *serverName, QObject *parent)
    : QObject(parent), m_net(new clientlib::TNetConnection(this))
{
    setObjectName(objectName);
    m_net->setServerName(QString::fromLatin1(serverName));
    m_net->setThrowException(false);
    m_net->BeforeConnect = [this](clientlib::TNetConnection &net) { BeforeConnect(net); };
}

NetRemoteObject::~NetRemoteObject() = default;

void NetRemoteObject::BeforeConnect(clientlib::TNetConnection &net)
{
    net.setHost(clientlib::WebURL());
    net.setPort(clientlib::WebPort());
}

bool NetRemoteObject::Open()
{
    return m_net->Open();
}

void NetRemoteObject::Close()
{
    m_net->Close();
}

bool NetRemoteObject::Connected() const
{
    return m_net->Connected();
}

rpc::Reply NetRemoteObject::call(const QString &method, const QCborArray &params)
{
    Q_EMIT called(method, params);
    return m_net->call(method, params);
}

rpc::Reply NetRemoteObject::call(const QString &method, const QCborArray &params, rpc::StreamedParam &last)
{
    Q_EMIT called(method, params);
    return m_net->call(method, params, last);
}

dataset::DataPacket NetRemoteObject::packet(const QString &method, const QCborArray &params)
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

void NetRemoteObject::check(const QString &method, const QCborArray &params)
{
    CheckResultServ(call(method, params), true, 0);
}

void NetRemoteObject::save(const QString &method, const QCborValue &argument)
{
    check(method, QCborArray{argument});
}

} // namespace fiscal::ger10200
