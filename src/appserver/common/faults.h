#pragma once
// The server's own failures, as the client sees them: each throws rpc::Fault with its code
// and a Portuguese message for the user.

#include <QString>

namespace fiscal::appserver {

[[noreturn]] void invalid(const QString &message);    // -32602 malformed argument
[[noreturn]] void notFound(const QString &message);   // -32002 unknown code or record
[[noreturn]] void conflict(const QString &message);   // -32001 changed by someone else

// "O registro <record> foi alterado por outro usuário. Atualize os dados e tente novamente."
QString conflictMessage(const QString &record);

} // namespace fiscal::appserver
