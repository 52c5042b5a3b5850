// Ger10206.rdmSessao: signing in and out, one's password, and (administradores) the users.
//
//   Entrar(usuario, senha)                 one row: TOKEN, NMUSUARIO, NMCOMPLETO, DSPAPEL, DTEXPIRA, FLTROCARSENHA
//   Sair()                                 ends the call's session
//   TrocarSenha(atual, nova)               and ends the user's other sessions
//   GetUsuarios()                          every user
//   SetUsuario(usuario, nome, papel, ativo)  creates (answering a temporary password) or changes
//   RedefineSenha(usuario)                 a temporary password, to be changed at the next sign-in

#include "appserver/access/accounts.h"
#include "appserver/access/pam.h"
#include "appserver/access/passwords.h"
#include "appserver/access/signin.h"
#include "appserver/common/args.h"
#include "appserver/common/faults.h"
#include "appserver/common/packetstream.h"
#include "appserver/common/transaction.h"
#include "appserver/objects/objects.h"
#include "protocol/objects.h"
#include "protocol/sessionpackets.h"
#include "rpc/caller.h"

#include <span>

namespace fiscal::appserver {

namespace {

namespace method = protocol::method;
namespace session = protocol::session;
using dataset::ValueWriter;
using namespace access;

constexpr int kMaxLogin = rpc::kMaxUserLength;

void writeRows(ValueWriter &w, std::span<const FieldSpec> fields,
               const std::vector<std::vector<std::string>> &rows)
{
    w.startMap();
    w.key("fields");
    writeFieldDefs(w, fields);
    w.key("rows");
    w.startArray();
    for (const auto &row : rows) {
        w.startArray();
        for (const std::string &v : row) {
            if (v.empty())
                w.null();
            else
                w.string(v);
        }
        w.endArray();
    }
    w.endArray();
    w.endMap();
}

const rpc::Caller &caller()
{
    return rpc::currentCaller();
}

void entrar(ConnectionPool &pool, const AuthSettings &settings, Sessions &sessions, const QCborArray &p,
            ValueWriter &w)
{
    expectCount(p, 2, method::Entrar);
    const std::string login = stringArg(p, 0, kMaxLogin, "usuário");
    const std::string password = secretArg(p, 1, session::kMaxPasswordLength, "senha");
    if (settings.mode == AuthSettings::Mode::None)
        throw rpc::Fault(rpc::code::SignInRefused,
                         QStringLiteral("Este servidor atende sem entrada de usuário (--auth nenhuma)."));
    const SignedIn in = signIn(pool, settings, sessions, login, password, caller().peer);
    writeRows(w, session::kEntrada,
              {{in.session.token, in.user.login, in.user.name, roleName(in.user.role),
                isoUtc(in.session.expires), in.user.mustChangePassword ? "S" : "N"}});
}

void sair(ConnectionPool &pool, Sessions &sessions, const QCborArray &p, ValueWriter &w)
{
    expectCount(p, 0, method::Sair);
    if (!caller().session.empty()) {
        withTransaction(pool, [&](storage::Connection &c) {
            sessions.close(c, caller().session);
            record(c, {caller().user, caller().user, caller().peer, "saida", ""});
        });
    }
    w.null();
}

void trocarSenha(ConnectionPool &pool, const AuthSettings &settings, Sessions &sessions, const QCborArray &p,
                 ValueWriter &w)
{
    expectCount(p, 2, method::TrocarSenha);
    const std::string current = secretArg(p, 0, session::kMaxPasswordLength, "senha atual");
    const std::string fresh = secretArg(p, 1, session::kMaxPasswordLength, "nova senha");
    if (settings.mode == AuthSettings::Mode::Pam)
        invalid(QStringLiteral("As senhas deste servidor são as do sistema; troque-a por lá."));
    if (caller().session.empty())
        invalid(QStringLiteral("Só um usuário que entrou com senha pode trocá-la."));
    if (const std::optional<QString> problem = passwordProblem(caller().user, fresh))
        invalid(*problem);
    std::optional<User> user;
    withReadTransaction(pool, [&](storage::Connection &c) { user = findUser(c, caller().user); });
    if (!user || !checkCurrentPassword(pool, caller().user, user->passwordHash, current, caller().peer))
        invalid(QStringLiteral("A senha atual não confere."));
    if (current == fresh)
        invalid(QStringLiteral("A nova senha deve ser diferente da atual."));
    const std::string freshHash = hashPassword(fresh);
    withTransaction(pool, [&](storage::Connection &c) {
        lockUsers(c);
        // The hash read above must still be the stored one: two changes at once, one wins.
        const std::optional<User> now = findUser(c, caller().user);
        if (!now || now->passwordHash != user->passwordHash)
            conflict(QStringLiteral("A senha foi trocada por outra sessão. Entre novamente."));
        // Disabled a moment ago (this session is still trusted for a second): it stays ended.
        if (!now->active)
            conflict(QStringLiteral("Seu usuário foi desativado. Fale com o administrador do sistema."));
        User after = *now;
        after.passwordHash = freshHash;
        after.mustChangePassword = false;
        // Every other session ends; this one stays as it is (ended, if a Sair on it came
        // meanwhile), now free to work.
        updateUser(c, *now, after, caller().session);
        auto keep = c.prepareCached("UPDATE SESSAO SET FLTROCARSENHA = 'N' WHERE CDTOKENHASH = $1");
        keep->bind(1, caller().session);
        keep->execute();
        record(c, {caller().user, caller().user, caller().peer, "senha", "changed by the user"});
    });
    sessions.forget(caller().session);
    w.null();
}

void getUsuarios(ConnectionPool &pool, const QCborArray &p, ValueWriter &w)
{
    expectCount(p, 0, method::GetUsuarios);
    std::vector<std::vector<std::string>> rows;
    withReadTransaction(pool, [&](storage::Connection &c) {
        for (const User &u : listUsers(c))
            rows.push_back({u.login, u.name, roleName(u.role), u.active ? "S" : "N", u.created, u.lastSignIn,
                            u.lockedUntil, u.mustChangePassword ? "S" : "N"});
    });
    writeRows(w, session::kUsuarios, rows);
}

// The last active administrador may neither lose the role nor be disabled: nobody could
// manage the users any more.
void keepAnAdministrator(storage::Connection &c, const User &before, const User &after)
{
    const bool wasAdmin = before.active && before.role == Role::Administrador;
    const bool isAdmin = after.active && after.role == Role::Administrador;
    if (wasAdmin && !isAdmin && activeAdministrators(c) <= 1)
        invalid(QStringLiteral("%1 é o único administrador ativo: dê o papel a outro usuário antes.")
                    .arg(QString::fromStdString(before.login)));
}

std::string describe(const User &u)
{
    return std::string(roleName(u.role)) + (u.active ? ", active" : ", disabled") + ", " + u.name;
}

void setUsuario(ConnectionPool &pool, const AuthSettings &settings, const QCborArray &p, ValueWriter &w)
{
    // Under PAM the system keeps the passwords: a new user gets none here, and no change is
    // asked of the first sign-in, which the system's password could not make.
    const bool pam = settings.mode == AuthSettings::Mode::Pam;
    expectCount(p, 4, method::SetUsuario);
    const std::string login = stringArg(p, 0, kMaxLogin, "usuário");
    const std::string name = stringArg(p, 1, 80, "nome");
    const std::string roleText = stringArg(p, 2, 15, "papel");
    const bool active = boolArg(p, 3, "ativo");
    const std::optional<Role> role = roleFromName(roleText);
    if (!role)
        invalid(QStringLiteral("Papel desconhecido: %1. Use consulta, operador ou administrador.")
                    .arg(rpc::echoed(QString::fromStdString(roleText))));
    if (const std::optional<QString> problem = loginProblem(login))
        invalid(*problem);
    std::optional<User> existing;
    withReadTransaction(pool, [&](storage::Connection &c) { existing = findUser(c, login); });
    // Under PAM the sessions are the account's, under its own name: a row switched off under
    // another spelling ends them too (sign-in then refuses the account).
    const std::string account = pam && !active ? canonicalLogin(login) : login;
    // Under PAM every sign-in takes the role from the system's groups again: a role set here
    // would look saved and be undone at the user's next sign-in.
    if (pam && (!existing || existing->role != *role) && roleFromGroups(login) != role)
        invalid(QStringLiteral("As senhas deste servidor são as do sistema, e o papel vem dos grupos fiscal-consulta,"
                               " fiscal-operador e fiscal-administrador: para mudá-lo, mude os grupos de %1 no sistema.")
                    .arg(rpc::echoed(QString::fromStdString(login))));
    std::string temporary;
    std::string hash;
    if (!existing && !pam) {
        temporary = temporaryPassword();
        hash = hashPassword(temporary);
    }
    withTransaction(pool, [&](storage::Connection &c) {
        lockUsers(c);
        const std::optional<User> before = findUser(c, login);
        if (!before) {
            if (existing)
                conflict(QStringLiteral("O usuário %1 foi excluído por outra sessão.").arg(QString::fromStdString(login)));
            User u;
            u.login = login;
            u.name = name.empty() ? login : name;
            u.role = *role;
            u.active = active;
            u.passwordHash = hash;
            u.mustChangePassword = !pam;
            createUser(c, u);
            if (account != login)
                endSessions(c, account);
            record(c, {login, caller().user, caller().peer, "usuario", "created: " + describe(u)});
            return;
        }
        if (!existing)
            conflict(QStringLiteral("O usuário %1 foi criado por outra sessão.").arg(QString::fromStdString(login)));
        User after = *before;
        after.name = name.empty() ? before->name : name;
        after.role = *role;
        after.active = active;
        keepAnAdministrator(c, *before, after);
        updateUser(c, *before, after);
        if (account != login)
            endSessions(c, account);
        record(c, {login, caller().user, caller().peer, "usuario", describe(*before) + " -> " + describe(after)});
    });
    // A row for a user created here, its password empty under PAM; none for a change.
    writeRows(w, session::kSenhaTemporaria,
              existing ? std::vector<std::vector<std::string>>{}
                       : std::vector<std::vector<std::string>>{{login, temporary}});
}

void redefineSenha(ConnectionPool &pool, const AuthSettings &settings, const QCborArray &p, ValueWriter &w)
{
    expectCount(p, 1, method::RedefineSenha);
    const std::string login = stringArg(p, 0, kMaxLogin, "usuário");
    if (settings.mode == AuthSettings::Mode::Pam)
        invalid(QStringLiteral("As senhas deste servidor são as do sistema; redefina-a por lá."));
    const std::string temporary = temporaryPassword();
    const std::string hash = hashPassword(temporary);
    withTransaction(pool, [&](storage::Connection &c) {
        lockUsers(c);
        const std::optional<User> before = findUser(c, login);
        if (!before)
            notFound(QStringLiteral("Usuário %1 não encontrado.").arg(rpc::echoed(QString::fromStdString(login))));
        User after = *before;
        after.passwordHash = hash;
        after.mustChangePassword = true;
        after.failures = 0;
        after.lockedUntil.clear();
        updateUser(c, *before, after);
        record(c, {login, caller().user, caller().peer, "senha", "temporary password set"});
    });
    writeRows(w, session::kSenhaTemporaria, {{login, temporary}});
}

} // namespace

void registerSessionMethods(rpc::Dispatcher &d, ConnectionPool &pool, const AuthSettings &settings,
                            Sessions &sessions)
{
    d.add(protocol::kSessao, method::Entrar, [&](const QCborArray &p, ValueWriter &w) {
        entrar(pool, settings, sessions, p, w);
    }, rpc::CallKind::SignIn);
    d.add(protocol::kSessao, method::Sair, [&](const QCborArray &p, ValueWriter &w) { sair(pool, sessions, p, w); });
    d.add(protocol::kSessao, method::TrocarSenha, [&](const QCborArray &p, ValueWriter &w) {
        trocarSenha(pool, settings, sessions, p, w);
    });
    d.add(protocol::kSessao, method::GetUsuarios, [&pool](const QCborArray &p, ValueWriter &w) { getUsuarios(pool, p, w); });
    d.add(protocol::kSessao, method::SetUsuario, [&pool, &settings](const QCborArray &p, ValueWriter &w) { setUsuario(pool, settings, p, w); });
    d.add(protocol::kSessao, method::RedefineSenha,
          [&pool, &settings](const QCborArray &p, ValueWriter &w) { redefineSenha(pool, settings, p, w); });
    d.setGuard(access::checkRight);
}

} // namespace fiscal::appserver
