#include "clientlib/remotelookup_p.h"

#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "dataset/databaseerror.h"
#include "protocol/objects.h"

#include <QCborArray>
#include <QStringList>

#include <memory>

namespace fiscal::clientlib {

namespace {

void configure(TNetConnection &net)
{
    net.setServerName(QString::fromLatin1(protocol::kConsultas));
    net.setThrowException(true);
    net.BeforeConnect = [](TNetConnection &c) {
        c.setHost(WebURL());
        c.setPort(WebPort());
    };
}

// What a kept connection was opened with: when the address, the session or the user
// change (signing in again, another server), the next lookup opens a new one.
QStringList connectionKey()
{
    const Settings &s = Settings::instance();
    return {WebURL(), QString::number(WebPort()), s.token(), s.serverTls() ? QStringLiteral("tls") : QString(),
            s.caFile(), s.user()};
}

TNetConnection *lookupConnection()
{
    struct Kept {
        std::unique_ptr<TNetConnection> net;
        QStringList key;
    };
    thread_local Kept kept;
    const QStringList key = connectionKey();
    // Never replaced while a call on it waits further up this thread's stack.
    if (!kept.net || (kept.key != key && !kept.net->Busy())) {
        kept.net = std::make_unique<TNetConnection>();
        configure(*kept.net);
        kept.key = key;
    }
    return kept.net.get();
}

} // namespace

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
    // A code field's check is one short round trip: the thread's connection is kept open
    // for the next, so it costs no handshake. A lookup asked for while another waits (a
    // timer in the wait loop) gets a connection of its own.
    TNetConnection *net = lookupConnection();
    std::unique_ptr<TNetConnection> ownNet;
    if (net->Busy()) {
        ownNet = std::make_unique<TNetConnection>();
        configure(*ownNet);
        net = ownNet.get();
    }
    dataset::DataPacket packet;
    try {
        const rpc::Reply reply = net->call(QString::fromLatin1(protocol::method::Consulta), QCborArray{name, params},
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
