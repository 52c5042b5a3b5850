#include "account.h"

#include "clientlib/settings.h"
#include "clientlib/usersession.h"
#include "clientlib/waitloop.h"
#include "protocol/objects.h"
#include "protocol/sessionpackets.h"
#include "rpc/client.h"
#include "rpc/dispatcher.h"

#include <QCborArray>
#include <QCborValue>
#include <QDateTime>
#include <QLocale>
#include <algorithm>
#include <chrono>
#include <memory>

namespace {

using fiscal::clientlib::Settings;
namespace method = fiscal::protocol::method;
namespace session = fiscal::protocol::session;

// As long as the server may take on a sign-in or a user's read (its read limit, named in its
// answers) and a little more; at least longer than its 30 s wait for a free database
// connection, so that a busy server's own answer arrives first.
int timeoutMs(const Settings &s)
{
    const auto limits = fiscal::rpc::announcedLimits(s.serverHost(), quint16(s.serverPort()));
    const auto wait = limits ? limits->read + std::chrono::seconds(15) : std::chrono::milliseconds(0);
    return int(std::max<long long>(45000, wait.count()));
}

struct Answer {
    bool ok = false;
    int code = 0;
    QString message;
    QList<QMap<QString, QString>> rows;
};

// A call on a session that ended asks for a sign-in and goes again, once (`renewable`: the
// users' administration; never the calls of signing in itself).
enum class Renew { No, Yes };

Answer call(const char *name, const QCborArray &params, Renew renewable = Renew::No)
{
    Answer a;
    const Settings &s = Settings::instance();
    try {
        // Signing in carries no credentials: after a session ended, the token in the
        // settings is the dead session's, which the server refuses before reading the call.
        const bool signingIn = qstrcmp(name, method::Entrar) == 0;
        const auto send = [&] {
            fiscal::rpc::Client client(s.serverHost(), quint16(s.serverPort()), signingIn ? QString() : s.token(),
                                       fiscal::rpc::TlsOptions{s.serverTls(), s.caFile()});
            // The window is drawn while the server answers (a sign-in under load, a server that
            // hangs), without taking input.
            client.pump = fiscal::clientlib::pumpWithoutInput;
            return client.call(QLatin1String(fiscal::protocol::kSessao), QLatin1String(name), params, timeoutMs(s));
        };
        const QString tokenUsed = s.token();
        fiscal::rpc::Reply r = send();
        auto &session = fiscal::clientlib::UserSession::instance();
        if (renewable == Renew::Yes && !r.ok() && r.errorCode() == fiscal::rpc::code::Unauthorized
            && ((!s.token().isEmpty() && s.token() != tokenUsed) || (session.renew && session.renew())))
            r = send();
        a.ok = r.ok();
        a.code = r.errorCode();
        a.message = r.errorMessage();
        const QCborValue packet = a.ok ? r.value() : QCborValue();
        if (packet.isMap()) {
            // {"fields": [{"name": ...}, ...], "rows": [[text-or-null, ...], ...]}
            QStringList names;
            for (const QCborValue &f : packet[QLatin1String("fields")].toArray())
                names << f[QLatin1String("name")].toString();
            for (const QCborValue &row : packet[QLatin1String("rows")].toArray()) {
                QMap<QString, QString> m;
                const QCborArray values = row.toArray();
                for (qsizetype i = 0; i < names.size() && i < values.size(); ++i)
                    m.insert(names.at(i), values.at(i).toString());
                a.rows << m;
            }
        }
    } catch (const fiscal::rpc::TransportError &e) {
        a.code = -1;
        a.message = e.message();
    }
    return a;
}

} // namespace

SignInNeed serverWantsSignIn(QString *why)
{
    const Answer a = call(method::Sair, {});
    if (a.code == fiscal::rpc::code::Unauthorized)
        return SignInNeed::Yes;
    if (a.code == -1 || a.code == fiscal::rpc::code::Unavailable) {
        if (why)
            *why = a.message;
        return SignInNeed::Unknown;
    }
    return SignInNeed::No;
}

SignIn signIn(const QString &login, const QString &password)
{
    SignIn in;
    const Settings &s = Settings::instance();
    if (!s.serverTls() && !fiscal::rpc::isLoopbackHost(s.serverHost())) {
        // The password would cross the network as it was typed.
        in.message = QStringLiteral("A senha não foi enviada ao servidor %1: a conexão é http://, sem criptografia, e "
                                    "qualquer um na rede poderia lê-la. Configure o endereço do servidor com "
                                    "https:// (TLS), ou use um servidor nesta máquina.").arg(s.serverHost());
        return in;
    }
    const Answer a = call(method::Entrar, {login, password});
    if (!a.ok || a.rows.size() != 1) {
        in.message = a.message.isEmpty() ? QStringLiteral("O servidor não respondeu à entrada.") : a.message;
        return in;
    }
    const auto &row = a.rows.front();
    in.ok = true;
    in.token = row.value(QLatin1String(session::TOKEN));
    in.login = row.value(QLatin1String(session::NMUSUARIO));
    in.fullName = row.value(QLatin1String(session::NMCOMPLETO));
    in.role = row.value(QLatin1String(session::DSPAPEL));
    in.mustChangePassword = row.value(QLatin1String(session::FLTROCARSENHA)) == QLatin1String("S");
    return in;
}

void adopt(const SignIn &in)
{
    Settings::instance().setToken(in.token);
    fiscal::clientlib::UserSession::instance().set(in.login, in.fullName, in.role);
}

QString changePassword(const QString &current, const QString &fresh, bool renewable)
{
    const Answer a = call(method::TrocarSenha, {current, fresh}, renewable ? Renew::Yes : Renew::No);
    return a.ok ? QString() : a.message;
}

void signOut()
{
    call(method::Sair, {});
    Settings::instance().setToken({});
    fiscal::clientlib::UserSession::instance().clear();
}

std::vector<UserRow> listUsers(QString &error)
{
    std::vector<UserRow> users;
    const Answer a = call(method::GetUsuarios, {}, Renew::Yes);
    error = a.ok ? QString() : a.message;
    for (const auto &row : a.rows) {
        UserRow u;
        u.login = row.value(QLatin1String(session::NMUSUARIO));
        u.name = row.value(QLatin1String(session::NMCOMPLETO));
        u.role = row.value(QLatin1String(session::DSPAPEL));
        u.active = row.value(QLatin1String(session::FLATIVO)) == QLatin1String("S");
        const QDateTime last = QDateTime::fromString(row.value(QLatin1String(session::DTULTENTRADA)), Qt::ISODateWithMs);
        u.lastSignIn = last.isValid() ? QLocale().toString(last.toLocalTime(), QStringLiteral("dd/MM/yyyy HH:mm")) : QString();
        u.lockedUntil = QDateTime::fromString(row.value(QLatin1String(session::DTBLOQUEIO)), Qt::ISODateWithMs);
        users.push_back(u);
    }
    return users;
}

QString saveUser(const QString &login, const QString &name, const QString &role, bool active, QString &temporary,
                 bool &created)
{
    const Answer a = call(method::SetUsuario, {login, name, role, active}, Renew::Yes);
    created = a.ok && !a.rows.isEmpty();
    temporary = a.rows.isEmpty() ? QString() : a.rows.front().value(QLatin1String(session::DSSENHA));
    return a.ok ? QString() : a.message;
}

QString resetPassword(const QString &login, QString &temporary)
{
    const Answer a = call(method::RedefineSenha, {login}, Renew::Yes);
    temporary = a.rows.isEmpty() ? QString() : a.rows.front().value(QLatin1String(session::DSSENHA));
    return a.ok ? QString() : a.message;
}
