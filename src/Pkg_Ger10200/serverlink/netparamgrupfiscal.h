#pragma once
// The main screen's connection to the remote object Ger10200.rdmParamGrupFiscal
// (objectName "netParamGrupFiscal"): the calls of NetRemoteObject, and
//
//   net.GetDados()                         checked; the seven packets in order

#include "Pkg_Ger10200/serverlink/netremoteobject.h"

#include <QList>

namespace fiscal::ger10200 {

class NetParamGrupFiscal : public NetRemoteObject {
    Q_OBJECT
public:
    explicit NetParamGrupFiscal(QObject *parent = nullptr);

    QList<dataset::DataPacket> GetDados();
};

} // namespace fiscal::ger10200
