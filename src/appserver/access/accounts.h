#pragma once
// Users in the database, their sessions and the record of what happened to them. Every
// function works inside the caller's transaction. A change that takes rights away (a new
// password, a disabled user) ends the user's sessions in the same transaction, so every
// server refuses them at its next look at the database.

#include "appserver/access/roles.h"
#include "storage/database.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fiscal::appserver::access {

struct User {
    std::string login;
    std::string name;
    Role role = Role::Operador;
    bool active = true;
    std::string passwordHash;     // empty: none (PAM users, or not set yet)
    std::string created;
    std::string lastSignIn;
    std::int64_t failures = 0;
    std::string lockedUntil;
    bool mustChangePassword = false;
};

// ISO 8601 UTC with milliseconds, as every time of these tables is kept (they compare as text).
std::string isoUtc(const QDateTime &t);
QDateTime fromIsoUtc(const std::string &text);

// Why a login cannot be used ("O usuário deve ter de 1 a 64 caracteres..."), or nothing.
std::optional<QString> loginProblem(const std::string &login);

std::optional<User> findUser(storage::Connection &c, const std::string &login);
// Called first in a transaction that reads users and writes them back. On PostgreSQL such
// transactions then take turns, as SQLite's writers always do, so that none writes back a
// user another changed meanwhile (a user disabled, or given a new password, while signing in).
void lockUsers(storage::Connection &c);
std::vector<User> listUsers(storage::Connection &c);
std::int64_t userCount(storage::Connection &c);
std::int64_t activeAdministrators(storage::Connection &c);

// Throws rpc::Fault -32602 when the login is taken or unusable.
void createUser(storage::Connection &c, const User &u);
// Writes name, role, active, password hash and must-change of an existing user; ends its
// sessions (but `keep`, a token hash) when it was disabled or given a new password, and gives
// its sessions the new role.
void updateUser(storage::Connection &c, const User &before, const User &after, const std::string &keep = {});

// Ends every session of `login` but `keep` (a token hash; empty: none kept).
void endSessions(storage::Connection &c, const std::string &login, const std::string &keep = {});

// One line of the record of sign-ins and user changes.
struct Event {
    std::string account;   // the user concerned (for a sign-in, the login as typed)
    std::string author;    // who did it
    std::string address;
    const char *kind;      // entrada, falha, bloqueio, saida, senha, usuario
    std::string detail;
};
std::int64_t record(storage::Connection &c, const Event &e);   // the event's IDEVENTO

} // namespace fiscal::appserver::access
