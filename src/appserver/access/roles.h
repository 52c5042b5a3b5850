#pragma once
// Roles and what each may call. The server puts every method call to `checkRight` before it
// runs (rpc::Dispatcher::setGuard); the client only mirrors these rules in what it enables.
//
//   consulta       every read, report, history read and preview
//   operador       also one-row saves, the bulk operations and undoing its own operations
//   administrador  also undoing anyone's operations and managing users
//
// A method the table does not name is refused to everybody: a new method must be given
// its right in rights.cpp before anyone can call it.

#include "rpc/dispatcher.h"

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace fiscal::appserver::access {

enum class Role { Consulta, Operador, Administrador };

// "consulta", "operador", "administrador", as the database and the protocol write them.
const char *roleName(Role r);
std::optional<Role> roleFromName(std::string_view name);

enum class Right {
    Open,      // no session needed (signing in)
    Session,   // any signed-in user (signing out, changing one's password)
    Read,      // every role
    Write,     // operador and administrador: saves and bulk operations
    Undo,      // operador and administrador; an operador only its own operations
    Manage,    // administrador: users
};

// The right a method needs; nothing for a method the table does not name.
std::optional<Right> rightOf(std::string_view object, std::string_view method);
bool allows(Role role, Right right);

// The guard: throws rpc::Fault -32004 for a call without a session where one is needed and
// -32005, naming the role, for a role that may not make it.
void checkRight(const rpc::MethodName &name);

// The role of the call running on this thread; nothing outside a signed-in call.
std::optional<Role> callerRole();

// DesfazOperacao of an operation recorded under `owner`: throws -32005 unless the caller
// made it or is an administrador.
void requireUndoOf(const std::string &owner);

// The message and fault of a refused call.
QString refusal(Role role, Right right);
[[noreturn]] void refuse(Role role, Right right);
[[noreturn]] void noSession();

} // namespace fiscal::appserver::access
