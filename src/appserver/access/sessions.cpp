#include "appserver/access/sessions.h"

#include "appserver/access/accounts.h"
#include "appserver/access/passwords.h"
#include "appserver/common/transaction.h"
#include "protocol/objects.h"

#include <algorithm>

namespace fiscal::appserver::access {

namespace {

using Clock = std::chrono::steady_clock;

// The most sessions a server remembers; beyond that the oldest checks are dropped.
constexpr std::size_t kMaxKnown = 20000;
// How often a session's expiry is written, at most, and how long that write waits for a lock.
constexpr auto kMoveEvery = std::chrono::seconds(60);
constexpr auto kMoveLockWait = std::chrono::milliseconds(50);

bool sameText(std::string_view a, std::string_view b)
{
    // Names are ASCII: folded inline, not by the C library per byte.
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [&](char x, char y) { return lower(x) == lower(y); });
}

// Compares every byte without an early exit, so the time does not tell a prefix.
bool sameSecret(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

} // namespace

Sessions::Sessions(ConnectionPool &pool, int idleHours) : m_pool(pool), m_idleHours(idleHours) {}

Sessions::Opened Sessions::open(storage::Connection &c, const std::string &user, Role role,
                                bool mustChangePassword, const std::string &address)
{
    Opened o;
    o.token = randomToken();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    o.expires = now.addSecs(qint64(m_idleHours) * 3600);
    // The user's sessions over for a month go (the audit keeps every sign-in): a login a
    // script signs in with every few minutes would otherwise add rows without end, each one
    // rewritten by the next change of its user.
    auto old = c.prepareCached("DELETE FROM SESSAO WHERE NMUSUARIO = $1 AND DTEXPIRA < $2");
    old->bind(1, user);
    old->bind(2, isoUtc(now.addDays(-kSessionsKeptDays)));
    old->execute();
    auto st = c.prepareCached("INSERT INTO SESSAO (CDTOKENHASH, NMUSUARIO, DSPAPEL, DSENDERECO, DTCRIACAO, DTEXPIRA,"
                              " FLTROCARSENHA) VALUES ($1, $2, $3, $4, $5, $6, $7)");
    st->bind(1, rpc::TokenTable::hash(o.token));
    st->bind(2, user);
    st->bind(3, roleName(role));
    st->bind(4, address.substr(0, 64));
    st->bind(5, isoUtc(now));
    st->bind(6, isoUtc(o.expires));
    st->bind(7, mustChangePassword ? "S" : "N");
    st->execute();
    return o;
}

void Sessions::close(storage::Connection &c, const std::string &hash)
{
    auto st = c.prepareCached("UPDATE SESSAO SET DTENCERRADA = $2 WHERE CDTOKENHASH = $1 AND DTENCERRADA IS NULL");
    st->bind(1, hash);
    st->bind(2, isoUtc(QDateTime::currentDateTimeUtc()));
    st->execute();
    forget(hash);
}

void Sessions::forget(const std::string &hash)
{
    const std::lock_guard lock(m_mutex);
    m_known.erase(hash);
}

rpc::AuthVerdict Sessions::lookUp(const std::string &hash, Known &known)
{
    try {
        bool found = false;
        withReadTransaction(m_pool, [&](storage::Connection &c) {
            auto st = c.prepareCached("SELECT NMUSUARIO, DSPAPEL, DTEXPIRA, FLTROCARSENHA FROM SESSAO"
                                      " WHERE CDTOKENHASH = $1 AND DTENCERRADA IS NULL");
            st->bind(1, hash);
            if (!st->step())
                return;
            found = true;
            known.who.user = std::string(st->text(0));
            known.who.role = std::string(st->text(1));
            known.expires = fromIsoUtc(std::string(st->text(2)));
            known.who.mustChangePassword = st->text(3) == "S";
            known.who.session = hash;
        });
        if (!found)
            return rpc::AuthVerdict::Refused;
    } catch (const rpc::Fault &) {
        return rpc::AuthVerdict::Unavailable;
    }
    if (m_roleSource) {
        const std::optional<Role> now = m_roleSource(known.who.user, roleFromName(known.who.role).value_or(Role::Consulta));
        if (!now)
            return rpc::AuthVerdict::Refused;
        known.who.role = roleName(*now);
    }
    known.checked = Clock::now();
    return rpc::AuthVerdict::Accepted;
}

rpc::AuthVerdict Sessions::check(std::string_view token, rpc::Identity &who)
{
    const std::string hash = rpc::TokenTable::hash(token);
    const auto now = Clock::now();
    Known known;
    bool cached = false;
    {
        const std::lock_guard lock(m_mutex);
        const auto it = m_known.find(hash);
        if (it != m_known.end() && now - it->second.checked < kFresh) {
            known = it->second;
            cached = true;
        }
    }
    if (!cached) {
        const rpc::AuthVerdict v = lookUp(hash, known);
        if (v != rpc::AuthVerdict::Accepted) {
            if (v == rpc::AuthVerdict::Refused)
                forget(hash);
            return v;
        }
    }
    const QDateTime utcNow = QDateTime::currentDateTimeUtc();
    if (known.expires <= utcNow) {
        forget(hash);
        return rpc::AuthVerdict::Refused;
    }
    // The expiry moves on with use; written at most once a minute, and a database that takes
    // no writes (a standby) only keeps it from moving. This runs on the serving thread while
    // a request's head is read: it never waits for a lock a long write holds (a bulk call on
    // SQLite holds the database's), and a write that could not go is not tried again for a
    // minute. Hours of expiry are left: the next minute's try will do.
    const qint64 idle = qint64(m_idleHours) * 3600;
    if (!cached) {
        const std::lock_guard lock(m_mutex);
        if (const auto it = m_known.find(hash); it != m_known.end())
            known.moved = it->second.moved;
    }
    const bool movedLately = known.moved != Clock::time_point{} && now - known.moved < kMoveEvery;
    if (!cached && utcNow.secsTo(known.expires) < idle - 60 && !movedLately) {
        known.moved = now;
        known.expires = utcNow.addSecs(idle);
        try {
            rpc::CallDeadline brief = rpc::currentDeadline();
            brief.lockWait = kMoveLockWait;
            const rpc::DeadlineScope scope(brief);
            withSingleStatement(m_pool, [&](storage::Connection &c) {
                auto st = c.prepareCached("UPDATE SESSAO SET DTEXPIRA = $2 WHERE CDTOKENHASH = $1");
                st->bind(1, hash);
                st->bind(2, isoUtc(known.expires));
                st->execute();
            });
        } catch (const rpc::Fault &) {
        }
    }
    if (!cached) {
        const std::lock_guard lock(m_mutex);
        if (m_known.size() >= kMaxKnown) {
            for (auto it = m_known.begin(); it != m_known.end();)
                it = now - it->second.checked >= kFresh ? m_known.erase(it) : std::next(it);
        }
        if (m_known.size() < kMaxKnown)
            m_known[hash] = known;
    }
    who = known.who;
    return rpc::AuthVerdict::Accepted;
}

std::string unauthenticatedName(const std::string &declared)
{
    static const QString kMark = QStringLiteral(" (não autenticado)");
    const QString name = QString::fromUtf8(declared.data(), qsizetype(declared.size()))
                             .left(rpc::kMaxUserLength - kMark.size());
    return (name.isEmpty() ? kMark.mid(1) : name + kMark).toStdString();
}

rpc::Authenticator authenticator(const AuthSettings &settings, Sessions &sessions)
{
    return [&settings, &sessions](const rpc::Credentials &given, rpc::Identity &who) {
        if (given.bearer) {
            if (std::optional<rpc::Identity> owner = settings.tokens.find(*given.bearer)) {
                who = std::move(*owner);
                return rpc::AuthVerdict::Accepted;
            }
            if (!settings.sharedToken.empty() && sameSecret(*given.bearer, settings.sharedToken)) {
                who = {"token", roleName(Role::Operador), {}};
                return rpc::AuthVerdict::Accepted;
            }
            if (settings.mode != AuthSettings::Mode::None)
                return sessions.check(*given.bearer, who);
        }
        if (settings.mode == AuthSettings::Mode::None) {
            // Tokens configured are still required, as on a server without sign-in.
            if (!settings.sharedToken.empty() || !settings.tokens.empty())
                return rpc::AuthVerdict::Refused;
            // Without sign-in only this machine may call; a proxy here (nginx in front of a
            // loopback port) would hand the administrator's rights to every machine it serves.
            if (given.forwarded)
                return rpc::AuthVerdict::Refused;
            const std::optional<std::string> declared = rpc::decodeUserHeader(given.declaredUser);
            if (!declared)
                return rpc::AuthVerdict::BadName;
            who = {unauthenticatedName(declared.value_or(std::string())), roleName(Role::Administrador), {}};
            return rpc::AuthVerdict::Accepted;
        }
        // Only signing in needs no session; the object's other methods say so themselves.
        if (sameText(given.object, protocol::kSessao)) {
            who = {};
            return rpc::AuthVerdict::Accepted;
        }
        return rpc::AuthVerdict::Refused;
    };
}

} // namespace fiscal::appserver::access
