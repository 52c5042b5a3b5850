#pragma once
// Sessions, and who a request is from.
//
// A session lives in the database (only the SHA-256 of its token), so every server behind a
// load balancer accepts it. A server remembers a session it has checked for kFresh and asks
// the database again after that: a sign-out, a password change or a disabled user is refused
// by every server within kFresh of its commit, and a call pays a look-up in memory only.
// A session expires after `idleHours` without a call; using it moves the expiry on (written
// at most once a minute per session).
//
//   Sessions sessions(pool, 8);
//   HttpServer http(dispatcher, {.authenticate = authenticator(settings, sessions)});

#include "appserver/access/roles.h"
#include "appserver/common/connectionpool.h"
#include "rpc/caller.h"
#include "rpc/serverhooks.h"

#include <QDateTime>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace fiscal::appserver::access {

inline constexpr auto kFresh = std::chrono::milliseconds(1000);
// A user's sessions over (expired or ended) for this long are removed at its next sign-in.
inline constexpr int kSessionsKeptDays = 30;

class Sessions {
public:
    Sessions(ConnectionPool &pool, int idleHours);

    struct Opened {
        std::string token;
        QDateTime expires;
    };
    // A new session, inside the caller's transaction; the user's sessions over for
    // kSessionsKeptDays go.
    Opened open(storage::Connection &c, const std::string &user, Role role, bool mustChangePassword,
                const std::string &address);
    // Ends one session (by its token's hash), inside the caller's transaction; this server
    // forgets it at once.
    void close(storage::Connection &c, const std::string &hash);
    // The session's owner; Refused for an unknown, expired or ended one.
    rpc::AuthVerdict check(std::string_view token, rpc::Identity &who);
    // This server's memory of the session goes (after its user changed the password).
    void forget(const std::string &hash);
    int idleHours() const { return m_idleHours; }
    // Where roles come from outside the database (the system's groups under PAM): each
    // look-up of a session asks again, given the role the session has, so a user moved to
    // another group works with the new role within kFresh, and one left in none of the
    // groups is refused.
    using RoleSource = std::function<std::optional<Role>(const std::string &user, Role current)>;
    void followRoles(RoleSource source) { m_roleSource = std::move(source); }

private:
    struct Known {
        rpc::Identity who;
        QDateTime expires;
        std::chrono::steady_clock::time_point checked;
        std::chrono::steady_clock::time_point moved;   // when the expiry was last written
    };
    rpc::AuthVerdict lookUp(const std::string &hash, Known &known);

    ConnectionPool &m_pool;
    int m_idleHours;
    RoleSource m_roleSource;
    std::mutex m_mutex;
    std::unordered_map<std::string, Known> m_known;   // token hash -> session
};

// How the server knows its callers (fiscal-server --auth).
struct AuthSettings {
    enum class Mode { Users, Pam, None };
    Mode mode = Mode::Users;
    std::string pamService = "fiscal-server";
    std::string sharedToken;   // --token: calls with it are recorded as "token"
    rpc::TokenTable tokens;    // --tokens: each token's owner and role
};

// The name a caller gets in mode None: the one it declares, marked as not checked.
std::string unauthenticatedName(const std::string &declared);

// The rpc server's authenticator for these settings: a token of the file, the shared token,
// a session; in mode None, whoever the client says it is. Without any of these only the
// sign-in object answers (its Entrar needs no session).
rpc::Authenticator authenticator(const AuthSettings &settings, Sessions &sessions);

} // namespace fiscal::appserver::access
