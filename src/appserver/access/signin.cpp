#include "appserver/access/signin.h"

#include "appserver/access/pam.h"
#include "appserver/access/passwords.h"
#include "appserver/common/transaction.h"
#include "rpc/calllimits.h"

#include <QCborMap>

#include <algorithm>
#include <cctype>
#include <vector>

namespace fiscal::appserver::access {

namespace {

const QString kInvalid = QStringLiteral("Usuário ou senha inválidos.");

// A login without its case, its domain ("maria@empresa") and its domain's prefix
// ("EMPRESA\maria"): the spellings of one account that a directory accepts share it.
std::string loginBase(std::string login)
{
    if (const std::size_t at = login.find('@'); at != std::string::npos)
        login.resize(at);
    if (const std::size_t slash = login.rfind('\\'); slash != std::string::npos)
        login.erase(0, slash + 1);
    std::transform(login.begin(), login.end(), login.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    return login;
}

// The disabled rows other than `login`'s own that may hold another spelling of the same
// account under PAM (a row kept as typed before logins were taken by the account's name).
// Only those alike are asked of the directory, not every disabled row at every sign-in.
std::vector<std::string> otherDisabledLogins(storage::Connection &c, const std::string &login)
{
    auto st = c.prepareCached("SELECT NMUSUARIO FROM USUARIO WHERE FLATIVO = 'N' AND NMUSUARIO <> $1");
    st->bind(1, login);
    const std::string base = loginBase(login);
    std::vector<std::string> logins;
    while (st->step()) {
        std::string other(st->text(0));
        if (loginBase(other) == base)
            logins.push_back(std::move(other));
    }
    return logins;
}

[[noreturn]] void refused(const QString &message, std::int64_t seconds = 0)
{
    QCborMap data;
    if (seconds > 0)
        data.insert(QStringLiteral("segundos"), qint64(seconds));
    throw rpc::Fault(rpc::code::SignInRefused, message, seconds > 0 ? QCborValue(data) : QCborValue());
}

QString waitText(std::int64_t seconds)
{
    const std::int64_t minutes = (seconds + 59) / 60;
    return minutes == 1 ? QStringLiteral("1 minuto") : QStringLiteral("%1 minutos").arg(minutes);
}

// The last burst of failures for one login or one address, and seconds since its last one. A
// lock runs its whole length from that last failure, and the failures that follow each lock
// as it runs out stay in the burst. A login's count starts again after its last successful
// sign-in or new password; from an address, failures on a login made before a new password
// was set for it no longer count, so that an administrator's reset lets a user locked out at
// the desk back in. "Before" goes by the events' order, which a clock set back does not change.
struct Failures {
    std::int64_t count = 0;
    std::int64_t sinceLast = 0;
};

Failures failuresOf(storage::Connection &c, const char *column, const std::string &value, const QDateTime &now)
{
    const bool byLogin = std::string(column) == "NMUSUARIO";
    // A login's own reset point is read once, not for each of its failures: the audit is never
    // pruned, and failures times sign-ins grew with every year of use.
    const std::string reset = byLogin ? "SELECT MAX(R.IDEVENTO) FROM AUDITORIA R WHERE R.NMUSUARIO = $1"
                                        " AND R.DSEVENTO IN ('entrada', 'senha')"
                                      : "SELECT MAX(R.IDEVENTO) FROM AUDITORIA R WHERE R.NMUSUARIO = F.NMUSUARIO"
                                        " AND R.DSEVENTO = 'senha'";
    const std::string sql = std::string("SELECT F.DTEVENTO FROM AUDITORIA F WHERE F.") + column
                            + " = $1 AND F.DSEVENTO = 'falha' AND F.DTEVENTO <= $2 AND F.IDEVENTO > COALESCE(("
                            + reset + "), 0) ORDER BY F.DTEVENTO DESC LIMIT 16";   // past 11 the lock is the longest
    auto st = c.prepareCached(sql);
    st->bind(1, value);
    // Stamped more than a minute ahead: the clock has been set back since, which forgives it.
    // (Less is another server's clock, or an attempt stamped while this one waited its turn.)
    st->bind(2, isoUtc(now.addSecs(60)));
    std::vector<QDateTime> times;
    while (st->step())
        times.push_back(fromIsoUtc(std::string(st->text(0))));
    // Oldest first: a failure goes on the burst when it came within the window, plus the lock
    // then in force, of the one before; else a burst begins. So a guesser who waits out each
    // lock meets the next one doubled.
    const qint64 window = std::chrono::duration_cast<std::chrono::seconds>(kFailureWindow).count();
    Failures f;
    QDateTime previous;
    for (auto it = times.rbegin(); it != times.rend(); ++it) {
        if (previous.isValid() && previous.secsTo(*it) > window + lockSeconds(f.count, 0))
            f.count = 0;
        ++f.count;
        previous = *it;
    }
    if (previous.isValid())
        f.sinceLast = std::max<qint64>(0, previous.secsTo(now));
    return f;
}

// Whether a refusal for a lock was noted from this address in the last minute: a caller that
// goes on knocking must not add a row to the audit for every try.
bool lockNotedLately(storage::Connection &c, const std::string &address, const QDateTime &now)
{
    auto st = c.prepareCached("SELECT MAX(DTEVENTO) FROM AUDITORIA WHERE DSENDERECO = $1 AND DSEVENTO = 'bloqueio'");
    st->bind(1, address);
    return st->step() && !st->isNull(0) && fromIsoUtc(std::string(st->text(0))).secsTo(now) < 60;
}

// Attempts on one login, and from one address, are let through one at a time (on SQLite every
// writer queues anyway). Two lock spaces, so that a login never shares a lock with an address.
void holdAttempts(storage::Connection &c, const std::string &login, const std::string &address)
{
    if (c.backend() != storage::Backend::Postgres)
        return;
    auto st = c.prepareCached("SELECT pg_advisory_xact_lock(7101, hashtext($1)), pg_advisory_xact_lock(7102, hashtext($2))");
    st->bind(1, login);
    st->bind(2, address);
    st->step();
    st->reset();
}

// A hash to check a password against when the user is unknown, so that the answer takes as
// long as for a wrong password.
const std::string &decoyHash()
{
    static const std::string h = hashPassword(randomToken());
    return h;
}

// Seconds the login or the address is still refused, the longer of the two.
std::int64_t lockedFor(storage::Connection &c, const std::string &login, const std::string &address,
                       const QDateTime &now)
{
    const Failures byLogin = failuresOf(c, "NMUSUARIO", login, now);
    const Failures byAddress = failuresOf(c, "DSENDERECO", address, now);
    return std::max(lockSeconds(byLogin.count, byLogin.sinceLast), lockSeconds(byAddress.count, byAddress.sinceLast));
}

[[noreturn]] void refuseLocked(std::int64_t wait)
{
    refused(QStringLiteral("Muitas tentativas sem sucesso. Tente de novo em %1.").arg(waitText(wait)), wait);
}

// Whether the login or the address is locked out, looked at without the write lock: a caller
// knocking while locked out is answered from here, however long a bulk call holds SQLite's
// writers. `noted`: a refusal from this address is already in the audit of the last minute.
std::int64_t lockedLooking(storage::Connection &c, const std::string &login, const std::string &address,
                           const QDateTime &now, bool &noted)
{
    const std::int64_t wait = lockedFor(c, login, address, now);
    noted = wait > 0 && lockNotedLately(c, address, now);
    return wait;
}

// Refuses a caller locked out, the refusal noted first if it can be at once: a bulk call
// holding SQLite's writers must not keep the answer waiting.
[[noreturn]] void refuseLockedNoting(ConnectionPool &pool, const std::string &login, const std::string &address,
                                     std::int64_t wait, bool noted)
{
    if (!noted) {
        try {
            rpc::CallDeadline brief = rpc::currentDeadline();
            brief.lockWait = std::chrono::milliseconds(50);
            const rpc::DeadlineScope scope(brief);
            withTransaction(pool, [&](storage::Connection &c) {
                record(c, {login, login, address, "bloqueio", "refused for " + std::to_string(wait) + " s"});
            });
        } catch (const rpc::Fault &) {
        }
    }
    refuseLocked(wait);
}

// The attempt counts as a failure from the moment it is let through until its password is
// found right: attempts that come together are counted one after the other, so no more than
// the limit are checked, however many arrive at once on however many servers. Counted under
// the lock, at the time then (`now` is set to it): those ahead stamped theirs meanwhile.
// Refuses a login or address locked out; else returns the attempt's row.
std::int64_t beginAttempt(ConnectionPool &pool, const std::string &login, const std::string &address, QDateTime &now)
{
    std::int64_t wait = 0;
    std::int64_t attempt = 0;
    withTransaction(pool, [&](storage::Connection &c) {
        holdAttempts(c, login, address);
        now = QDateTime::currentDateTimeUtc();
        wait = lockedFor(c, login, address, now);
        if (wait == 0)
            attempt = record(c, {login, login, address, "falha", "not settled"});
    });
    if (wait > 0)
        refuseLocked(wait);
    return attempt;
}

// An attempt whose password was right is no failure.
void forgetAttempt(storage::Connection &c, std::int64_t attempt)
{
    auto gone = c.prepareCached("DELETE FROM AUDITORIA WHERE IDEVENTO = $1");
    gone->bindInt(1, attempt);
    gone->execute();
}

// What a failed attempt turned out to be.
void settle(storage::Connection &c, std::int64_t attempt, const std::string &detail)
{
    auto st = c.prepareCached("UPDATE AUDITORIA SET DSDETALHE = $2 WHERE IDEVENTO = $1");
    st->bindInt(1, attempt);
    st->bind(2, detail);
    st->execute();
}

// A wrong password: the attempt stays a failure, and the lock it brings is noted on the user
// and in the audit.
void settleWrongPassword(ConnectionPool &pool, std::int64_t attempt, const std::string &detail,
                         const std::string &login, const std::string &address, const QDateTime &now)
{
    withTransaction(pool, [&](storage::Connection &c) {
        lockUsers(c);
        settle(c, attempt, detail);
        // The lock the next attempt meets: the login's or the address's, the longer.
        const Failures byLogin = failuresOf(c, "NMUSUARIO", login, now);
        const Failures byAddress = failuresOf(c, "DSENDERECO", address, now);
        const std::int64_t lock = std::max(lockSeconds(byLogin.count, 0), lockSeconds(byAddress.count, 0));
        // The row as it is now: what an administrator changed since it was read stays.
        if (const std::optional<User> current = findUser(c, login)) {
            User after = *current;
            after.failures = current->failures + 1;
            if (lock)
                after.lockedUntil = isoUtc(now.addSecs(lock));
            updateUser(c, *current, after);
        }
        if (lock)
            record(c, {login, login, address, "bloqueio",
                       std::to_string(std::max(byLogin.count, byAddress.count)) + " failures"});
    });
}

} // namespace

std::int64_t lockSeconds(std::int64_t failures, std::int64_t sinceLast)
{
    if (failures < kMaxFailures)
        return 0;
    const std::int64_t lock = std::int64_t(60) << std::min<std::int64_t>(failures - kMaxFailures, 6);
    return std::max<std::int64_t>(0, lock - sinceLast);
}

SignedIn signIn(ConnectionPool &pool, const AuthSettings &settings, Sessions &sessions, const std::string &typed,
                const std::string &password, const std::string &address)
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    const bool pam = settings.mode == AuthSettings::Mode::Pam;
    // Under PAM one account answers to several spellings; its row, its lock and its
    // disabling must not depend on which one was typed.
    const std::string login = pam ? canonicalLogin(typed) : typed;
    std::optional<User> user;
    std::vector<std::string> disabled;
    std::int64_t users = 0;
    std::int64_t wait = 0;
    bool noted = false;
    withReadTransaction(pool, [&](storage::Connection &c) {
        user = findUser(c, login);
        if (pam)
            disabled = otherDisabledLogins(c, login);
        users = userCount(c);
        if (!pam && users == 0)
            return;
        wait = lockedLooking(c, login, address, now, noted);
    });
    if (!pam && users == 0)
        refused(QStringLiteral("Nenhum usuário cadastrado. No servidor, crie o primeiro administrador com"
                               " fiscal-server --db BANCO user add LOGIN --role administrador."));
    if (wait > 0)
        refuseLockedNoting(pool, login, address, wait, noted);
    const std::int64_t attempt = beginAttempt(pool, login, address, now);

    bool ok = false;
    std::optional<Role> role;
    if (pam) {
        const PamOutcome p = pamSignIn(settings.pamService, login, password);
        // An account disabled under any spelling of its login stays out.
        const bool disabledElsewhere = std::any_of(disabled.begin(), disabled.end(),
                                                   [&](const std::string &other) { return canonicalLogin(other) == login; });
        ok = p.passwordOk && (!user || user->active) && !disabledElsewhere;
        role = p.role;
    } else {
        const bool known = user && user->active && !user->passwordHash.empty();
        ok = verifyPassword(known ? user->passwordHash : decoyHash(), password) && known;
        if (user)
            role = user->role;
    }

    if (!ok) {
        settleWrongPassword(pool, attempt, user ? "wrong password" : "unknown user", login, address, now);
        refused(kInvalid);
    }
    if (!role) {
        withTransaction(pool, [&](storage::Connection &c) { settle(c, attempt, "in no fiscal-* group"); });
        refused(QStringLiteral("Seu usuário não está em nenhum dos grupos fiscal-consulta, fiscal-operador ou"
                               " fiscal-administrador. Peça acesso ao administrador do sistema."));
    }

    SignedIn in;
    withTransaction(pool, [&](storage::Connection &c) {
        lockUsers(c);
        // The password was checked against the row read before; an administrator may have
        // disabled the user or set a new password meanwhile.
        const std::optional<User> current = findUser(c, login);
        if (current && (!current->active || (!pam && current->passwordHash != user->passwordHash)))
            refused(kInvalid);
        user = current;
        if (!user && pam) {
            // A PAM user gets a row of its own, so that an administrator can disable it here.
            User u;
            u.login = login;
            u.name = login;
            u.role = *role;
            createUser(c, u);
            user = u;
        }
        if (!user)
            refused(kInvalid);   // removed meanwhile
        if (!pam)
            role = user->role;   // as an administrator may have changed it meanwhile
        User after = *user;
        after.role = *role;
        // A change asked of a PAM user (a row from before the server used PAM) could never
        // be made here: the system keeps the password.
        if (pam)
            after.mustChangePassword = false;
        after.failures = 0;
        after.lockedUntil.clear();
        updateUser(c, *user, after);
        auto st = c.prepareCached("UPDATE USUARIO SET DTULTENTRADA = $2 WHERE NMUSUARIO = $1");
        st->bind(1, login);
        st->bind(2, isoUtc(now));
        st->execute();
        in.user = after;
        in.session = sessions.open(c, login, *role, after.mustChangePassword, address);
        forgetAttempt(c, attempt);
        record(c, {login, login, address, "entrada", roleName(*role)});
    });
    return in;
}

bool checkCurrentPassword(ConnectionPool &pool, const std::string &login, const std::string &hash,
                          const std::string &password, const std::string &address)
{
    QDateTime now = QDateTime::currentDateTimeUtc();
    std::int64_t wait = 0;
    bool noted = false;
    withReadTransaction(pool, [&](storage::Connection &c) { wait = lockedLooking(c, login, address, now, noted); });
    if (wait > 0)
        refuseLockedNoting(pool, login, address, wait, noted);
    const std::int64_t attempt = beginAttempt(pool, login, address, now);
    if (!verifyPassword(hash, password)) {
        settleWrongPassword(pool, attempt, "wrong current password", login, address, now);
        return false;
    }
    withTransaction(pool, [&](storage::Connection &c) { forgetAttempt(c, attempt); });
    return true;
}

} // namespace fiscal::appserver::access
