#pragma once
// Signing in (Ger10206.rdmSessao.Entrar).
//
// An unknown user and a wrong password get the same answer, after the same work. After
// kMaxFailures failed sign-ins for one login, or from one address, within kFailureWindow of
// each other, both are refused for a while that doubles with every further failure (from one
// minute to 64), and the answer says for how long; a failure that comes within the window
// after a lock has run out goes on doubling it. Every sign-in, failure and refusal is recorded
// (accounts.h).

#include "appserver/access/accounts.h"
#include "appserver/access/sessions.h"

#include <chrono>
#include <string>

namespace fiscal::appserver::access {

inline constexpr int kMaxFailures = 5;
inline constexpr auto kFailureWindow = std::chrono::minutes(15);

// Seconds a login or address with `failures` failures in the window, the last at
// `sinceLast` seconds ago, is still refused; 0 when it is not.
std::int64_t lockSeconds(std::int64_t failures, std::int64_t sinceLast);

struct SignedIn {
    Sessions::Opened session;
    User user;
};

// Throws rpc::Fault -32006 with the reason, having recorded it.
SignedIn signIn(ConnectionPool &pool, const AuthSettings &settings, Sessions &sessions, const std::string &login,
                const std::string &password, const std::string &address);

// The current password typed again to change it. It is counted and locked like a sign-in of
// `login` from `address`, so that a session left open cannot be used to guess it: throws
// rpc::Fault -32006 while they are locked out; else whether `password` matches `hash`.
bool checkCurrentPassword(ConnectionPool &pool, const std::string &login, const std::string &hash,
                          const std::string &password, const std::string &address);

} // namespace fiscal::appserver::access
