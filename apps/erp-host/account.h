#pragma once
// The host's calls to Ger10206.rdmSessao, on a connection of their own (the server address,
// TLS and token of clientlib::Settings).
//
//   const SignIn in = signIn("maria", password);   // in.ok, else in.message for the user
//   adopt(in);                                     // Settings' token, UserSession

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <vector>

struct SignIn {
    bool ok = false;
    QString message;        // why not, for the user
    QString token;
    QString login;
    QString fullName;
    QString role;
    bool mustChangePassword = false;
};

// Whether the server asks for a sign-in: it answers -32004 to a session call without one.
// Unknown when it cannot be reached now (or a proxy answers for it); `why` then says why.
enum class SignInNeed { No, Yes, Unknown };
SignInNeed serverWantsSignIn(QString *why = nullptr);

SignIn signIn(const QString &login, const QString &password);
// Makes `in` the session of every connection opened from now on.
void adopt(const SignIn &in);

// An empty string on success, else the message for the user. `renewable`: on a session that
// ended, ask for a sign-in and go again (the menu's change; not the one inside signing in).
QString changePassword(const QString &current, const QString &fresh, bool renewable = false);
void signOut();

// Administradores: the users, and changes to them.
struct UserRow {
    QString login;
    QString name;
    QString role;
    bool active = true;
    QString lastSignIn;     // local time, for showing
    QDateTime lockedUntil;  // refused until then after failed sign-ins; invalid if never
};
// Empty error on success.
std::vector<UserRow> listUsers(QString &error);
// Creates or changes a user. `created`: the save created it, with the temporary password in
// `temporary` (empty on a server whose passwords are the system's).
QString saveUser(const QString &login, const QString &name, const QString &role, bool active, QString &temporary,
                 bool &created);
QString resetPassword(const QString &login, QString &temporary);
