#include "appserver/access/accounts.h"

#include "rpc/caller.h"
#include "rpc/dispatcher.h"

namespace fiscal::appserver::access {

namespace {

constexpr char kColumns[] = "SELECT NMUSUARIO, NMCOMPLETO, DSPAPEL, FLATIVO, DSSENHA, DTCRIACAO, DTULTENTRADA,"
                            " QTFALHAS, DTBLOQUEIO, FLTROCARSENHA FROM USUARIO";

std::string text(storage::Statement &st, int column)
{
    return st.isNull(column) ? std::string() : std::string(st.text(column));
}

User read(storage::Statement &st)
{
    User u;
    u.login = text(st, 0);
    u.name = text(st, 1);
    u.role = roleFromName(text(st, 2)).value_or(Role::Consulta);
    u.active = text(st, 3) == "S";
    u.passwordHash = text(st, 4);
    u.created = text(st, 5);
    u.lastSignIn = text(st, 6);
    u.failures = st.isNull(7) ? 0 : std::stoll(text(st, 7));
    u.lockedUntil = text(st, 8);
    u.mustChangePassword = text(st, 9) == "S";
    return u;
}

std::optional<std::string_view> orNull(const std::string &s)
{
    if (s.empty())
        return std::nullopt;
    return s;
}

const char *flag(bool b)
{
    return b ? "S" : "N";
}

std::int64_t number(storage::Connection &c, const char *sql)
{
    auto st = c.prepareCached(sql);
    return st->step() && !st->isNull(0) ? std::stoll(std::string(st->text(0))) : 0;
}

// Text for a column of `size` characters, cut where it would not fit.
std::string fitted(const std::string &s, int size)
{
    const QString t = QString::fromUtf8(s.data(), qsizetype(s.size()));
    return t.size() <= size ? s : t.left(size).toStdString();
}

} // namespace

std::string isoUtc(const QDateTime &t)
{
    return t.toUTC().toString(Qt::ISODateWithMs).toStdString();
}

QDateTime fromIsoUtc(const std::string &text)
{
    QDateTime t = QDateTime::fromString(QString::fromStdString(text), Qt::ISODateWithMs);
    return t.toUTC();
}

std::optional<QString> loginProblem(const std::string &login)
{
    const QString l = QString::fromUtf8(login.data(), qsizetype(login.size()));
    bool plain = !l.isEmpty() && rpc::isValidUserName(login);
    for (QChar ch : l)
        plain = plain && !ch.isSpace();
    if (!plain)
        return QStringLiteral("O usuário deve ter de 1 a %1 caracteres, sem espaços.").arg(rpc::kMaxUserLength);
    // The history's name for the calls made with the server's own token: a login of that
    // name would share their operations, and with them the right to undo them.
    if (l.compare(QLatin1String("token"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("O usuário \"%1\" é reservado: é o nome das chamadas feitas com o token do servidor.").arg(l);
    return std::nullopt;
}

std::optional<User> findUser(storage::Connection &c, const std::string &login)
{
    auto st = c.prepareCached(std::string(kColumns) + " WHERE NMUSUARIO = $1");
    st->bind(1, login);
    if (!st->step())
        return std::nullopt;
    return read(*st);
}

void lockUsers(storage::Connection &c)
{
    // Readers go on; only the writers of users wait for each other.
    if (c.backend() == storage::Backend::Postgres)
        c.exec("LOCK TABLE USUARIO IN SHARE ROW EXCLUSIVE MODE");
}

std::vector<User> listUsers(storage::Connection &c)
{
    auto st = c.prepareCached(std::string(kColumns) + " ORDER BY NMUSUARIO");
    std::vector<User> all;
    while (st->step())
        all.push_back(read(*st));
    return all;
}

std::int64_t userCount(storage::Connection &c)
{
    return number(c, "SELECT COUNT(*) FROM USUARIO");
}

std::int64_t activeAdministrators(storage::Connection &c)
{
    return number(c, "SELECT COUNT(*) FROM USUARIO WHERE DSPAPEL = 'administrador' AND FLATIVO = 'S'");
}

void createUser(storage::Connection &c, const User &u)
{
    if (const std::optional<QString> problem = loginProblem(u.login))
        throw rpc::Fault(rpc::code::InvalidParams, *problem);
    if (findUser(c, u.login))
        throw rpc::Fault(rpc::code::InvalidParams,
                         QStringLiteral("O usuário %1 já existe.").arg(QString::fromStdString(u.login)));
    auto st = c.prepareCached("INSERT INTO USUARIO (NMUSUARIO, NMCOMPLETO, DSPAPEL, FLATIVO, DSSENHA, DTCRIACAO,"
                              " QTFALHAS, FLTROCARSENHA) VALUES ($1, $2, $3, $4, $5, $6, 0, $7)");
    st->bind(1, u.login);
    st->bind(2, fitted(u.name, 80));
    st->bind(3, roleName(u.role));
    st->bind(4, flag(u.active));
    st->bind(5, orNull(u.passwordHash));
    st->bind(6, isoUtc(QDateTime::currentDateTimeUtc()));
    st->bind(7, flag(u.mustChangePassword));
    st->execute();
}

void updateUser(storage::Connection &c, const User &before, const User &after, const std::string &keep)
{
    auto st = c.prepareCached("UPDATE USUARIO SET NMCOMPLETO = $2, DSPAPEL = $3, FLATIVO = $4, DSSENHA = $5,"
                              " FLTROCARSENHA = $6, QTFALHAS = $7, DTBLOQUEIO = $8 WHERE NMUSUARIO = $1");
    st->bind(1, after.login);
    st->bind(2, fitted(after.name, 80));
    st->bind(3, roleName(after.role));
    st->bind(4, flag(after.active));
    st->bind(5, orNull(after.passwordHash));
    st->bind(6, flag(after.mustChangePassword));
    st->bindInt(7, after.failures);
    st->bind(8, orNull(after.lockedUntil));
    st->execute();
    if (!after.active || after.passwordHash != before.passwordHash) {
        endSessions(c, after.login, keep);
    } else if (after.role != before.role) {
        auto roles = c.prepareCached("UPDATE SESSAO SET DSPAPEL = $2 WHERE NMUSUARIO = $1 AND DTENCERRADA IS NULL");
        roles->bind(1, after.login);
        roles->bind(2, roleName(after.role));
        roles->execute();
    }
}

void endSessions(storage::Connection &c, const std::string &login, const std::string &keep)
{
    auto st = c.prepareCached("UPDATE SESSAO SET DTENCERRADA = $2 WHERE NMUSUARIO = $1 AND DTENCERRADA IS NULL"
                              " AND CDTOKENHASH <> $3");
    st->bind(1, login);
    st->bind(2, isoUtc(QDateTime::currentDateTimeUtc()));
    st->bind(3, keep);
    st->execute();
}

std::int64_t record(storage::Connection &c, const Event &e)
{
    auto st = c.prepareCached("INSERT INTO AUDITORIA (DTEVENTO, NMUSUARIO, NMAUTOR, DSENDERECO, DSEVENTO, DSDETALHE)"
                              " VALUES ($1, $2, $3, $4, $5, $6) RETURNING IDEVENTO");
    st->bind(1, isoUtc(QDateTime::currentDateTimeUtc()));
    st->bind(2, fitted(e.account, 64));
    st->bind(3, fitted(e.author, 64));
    st->bind(4, fitted(e.address, 64));
    st->bind(5, e.kind);
    st->bind(6, fitted(e.detail, 200));
    if (!st->step())
        throw std::logic_error("audit: the new event has no id");
    const std::int64_t id = std::stoll(std::string(st->text(0)));
    st->reset();
    return id;
}

} // namespace fiscal::appserver::access
