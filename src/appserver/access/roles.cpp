#include "appserver/access/roles.h"

#include "rpc/caller.h"

#include <QCborMap>

namespace fiscal::appserver::access {

const char *roleName(Role r)
{
    switch (r) {
    case Role::Consulta:
        return "consulta";
    case Role::Operador:
        return "operador";
    case Role::Administrador:
        break;
    }
    return "administrador";
}

std::optional<Role> roleFromName(std::string_view name)
{
    for (Role r : {Role::Consulta, Role::Operador, Role::Administrador})
        if (name == roleName(r))
            return r;
    return std::nullopt;
}

bool allows(Role role, Right right)
{
    switch (right) {
    case Right::Open:
    case Right::Session:
    case Right::Read:
        return true;
    case Right::Write:
    case Right::Undo:
        return role != Role::Consulta;
    case Right::Manage:
        break;
    }
    return role == Role::Administrador;
}

QString refusal(Role role, Right right)
{
    const char *what = "fazer esta operação";
    switch (right) {
    case Right::Write:
        what = "alterar grupos fiscais";
        break;
    case Right::Undo:
        what = role == Role::Consulta ? "desfazer operações" : "desfazer operações de outros usuários";
        break;
    case Right::Manage:
        what = "gerenciar usuários";
        break;
    default:
        break;
    }
    return QStringLiteral("Seu papel (%1) não permite %2.").arg(QLatin1String(roleName(role)), QString::fromUtf8(what));
}

void refuse(Role role, Right right)
{
    throw rpc::Fault(rpc::code::Forbidden, refusal(role, right), QCborMap{{QStringLiteral("papel"), QLatin1String(roleName(role))}});
}

void noSession()
{
    throw rpc::Fault(rpc::code::Unauthorized, QStringLiteral("Sessão expirada ou inválida. Entre novamente."));
}

std::optional<Role> callerRole()
{
    return roleFromName(rpc::currentCaller().role);
}

void checkRight(const rpc::MethodName &name)
{
    const std::optional<Right> right = rightOf(*name.object, *name.method);
    if (right == Right::Open)
        return;
    const std::optional<Role> role = callerRole();
    if (!role)
        noSession();
    if (rpc::currentCaller().mustChangePassword && right != Right::Session)
        throw rpc::Fault(rpc::code::Forbidden, QStringLiteral("Troque a sua senha antes de continuar."));
    // A method without a rule is nobody's until it gets one.
    if (!right)
        throw rpc::Fault(rpc::code::Forbidden, QStringLiteral("Seu papel (%1) não permite fazer esta operação.")
                                                   .arg(QLatin1String(roleName(*role))));
    if (!allows(*role, *right))
        refuse(*role, *right);
}

void requireUndoOf(const std::string &owner)
{
    const std::optional<Role> role = callerRole();
    if (!role || *role == Role::Administrador || owner == rpc::currentCaller().user)
        return;
    refuse(*role, Right::Undo);
}

} // namespace fiscal::appserver::access
