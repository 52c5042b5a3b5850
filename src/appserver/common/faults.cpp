#include "appserver/common/faults.h"

#include "rpc/dispatcher.h"

namespace fiscal::appserver {

void invalid(const QString &message) { throw rpc::Fault(rpc::code::InvalidParams, message); }
void notFound(const QString &message) { throw rpc::Fault(rpc::code::NotFound, message); }
void conflict(const QString &message) { throw rpc::Fault(rpc::code::Conflict, message); }

QString conflictMessage(const QString &record)
{
    return QStringLiteral("O registro %1 foi alterado por outro usuário. "
                          "Atualize os dados e tente novamente.").arg(record);
}

} // namespace fiscal::appserver
