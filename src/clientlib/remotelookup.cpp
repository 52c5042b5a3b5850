#include "clientlib/remotelookup_p.h"

#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "dataset/databaseerror.h"
#include "protocol/objects.h"

#include <QCborArray>

namespace fiscal::clientlib {

bool lookupsThroughServer()
{
    return Settings::instance().database().trimmed().isEmpty();
}

dataset::DataPacket remoteLookup(const QString &name, const std::vector<std::optional<QString>> &values,
                                 const QString &failurePrefix)
{
    QCborArray params;
    for (const std::optional<QString> &v : values)
        params.append(v ? QCborValue(*v) : QCborValue(nullptr));
    // A connection per lookup, like a screen's: the settings of the moment (address, token)
    // apply to every one.
    TNetConnection net;
    net.setServerName(QString::fromLatin1(protocol::kConsultas));
    net.setThrowException(true);
    net.BeforeConnect = [](TNetConnection &c) {
        c.setHost(WebURL());
        c.setPort(WebPort());
    };
    dataset::DataPacket packet;
    try {
        const rpc::Reply reply = net.call(QString::fromLatin1(protocol::method::Consulta), QCborArray{name, params},
                                          [&](dataset::ByteSource &result) { packet = dataset::DataPacket::readCbor(result); });
        if (reply.isError())
            throw dataset::EDatabaseError(failurePrefix + reply.errorMessage());
    } catch (const rpc::TransportError &e) {
        throw dataset::EDatabaseError(failurePrefix + e.message());
    } catch (const dataset::PacketError &e) {
        throw dataset::EDatabaseError(failurePrefix + QString::fromUtf8(e.what()));
    }
    return packet;
}

} // namespace fiscal::clientlib
