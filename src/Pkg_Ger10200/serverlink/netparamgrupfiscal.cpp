#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"

#include "clientlib/checkresult.h"
#include "clientlib/netconnection.h"
#include "protocol/objects.h"

namespace fiscal::ger10200 {

namespace method = protocol::method;

NetParamGrupFiscal::NetParamGrupFiscal(QObject *parent)
    : NetRemoteObject(QStringLiteral("netParamGrupFiscal"), protocol::kParamGrupFiscal, parent)
{
}

QList<dataset::DataPacket> NetParamGrupFiscal::GetDados()
{
    Q_EMIT called(method::GetDados, {});
    // Seven packets, 600,000 rows on a large database: decoded while they arrive.
    QList<dataset::DataPacket> packets;
    clientlib::CheckResultServ(connection()->call(method::GetDados, {},
                                                  [&](dataset::ByteSource &result) {
                                                      packets = dataset::readCborPackets(result);
                                                  }),
                               true, 0);
    if (packets.size() != 7)
        throw dataset::PacketError(QStringLiteral("Resposta inválida do servidor em GetDados."));
    return packets;
}

} // namespace fiscal::ger10200
