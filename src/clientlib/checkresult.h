#pragma once
// Result check of every server call.
//
//   rpc::Reply payload = CheckResultServ(net->call("GetGrupoFiscal", {code}), true, 0);
//   payload.resultCbor()   the result as CBOR (a data packet loads from it)
//   payload.value()        the result as a tree (small results, GetDados' array)
//
// A failed reply (reported by the server, or a transport failure turned into a reply by
// TNetConnection) never passes: the wait animation is hidden, the server's message is
// shown in an error box and dataset::EAbort ends the caller's action. With showError
// false nothing is shown and EServerError is thrown instead, for a caller that wants to
// handle the failure itself (the event guard shows it if nobody does).

#include "rpc/reply.h"

#include <QString>
#include <stdexcept>

namespace fiscal::clientlib {

class EServerError : public std::runtime_error {
public:
    EServerError(int code, const QString &message)
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message) {}
    int code() const { return m_code; }
    const QString &message() const { return m_message; }
private:
    int m_code;
    QString m_message;
};

rpc::Reply CheckResultServ(const rpc::Reply &result, bool showError = true, int helpContext = 0);

} // namespace fiscal::clientlib
