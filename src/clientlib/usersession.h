#pragma once
// Who is signed in to the application server, as the host set it after signing in, and
// what the screens may offer that user. The server enforces every role itself; the screens
// only mirror it, disabling what the role cannot use with a tooltip that says why.
//
//   UserSession &s = UserSession::instance();
//   action->setEnabled(s.mayWrite());
//   action->setToolTip(s.mayWrite() ? QString() : s.refusal(UserSession::Right::Write));
//
// A call refused because the session ended (HTTP 401, -32004) asks the host to sign in
// again (renew, a dialog over the current screen); once it has, the call is sent again,
// once, by the connection that made it (netconnection.h).

#include <QString>
#include <functional>

class QWidget;

namespace fiscal::clientlib {

class UserSession {
public:
    static UserSession &instance();

    enum class Right { Write, Undo, UndoOthers, Manage };

    // Empty login: nobody signed in (a server that asks for no sign-in): everything offered.
    void set(const QString &login, const QString &fullName, const QString &role);
    void clear();
    QString login() const { return m_login; }
    QString fullName() const { return m_fullName; }
    QString role() const { return m_role; }
    bool signedIn() const { return !m_login.isEmpty(); }

    // Whether the history's user of an operation is whoever works here: the signed-in login,
    // or, on a server that asks for no sign-in, the declared name the server marks as not
    // authenticated.
    bool isOwn(const QString &historyUser) const;

    bool may(Right right) const;
    bool mayWrite() const { return may(Right::Write); }
    // "Seu papel (consulta) não permite alterar grupos fiscais."
    QString refusal(Right right) const;

    // Set by the host: signs in again over the current screen; true once signed in (the
    // new token is in Settings).
    std::function<bool()> renew;

private:
    UserSession() = default;
    QString m_login;
    QString m_fullName;
    QString m_role;
};

// Enables `w` when `enabled` and the signed-in role allows `right`; while the role keeps it
// disabled its tooltip says why (its own tooltip comes back otherwise).
void enableFor(QWidget *w, UserSession::Right right, bool enabled);

} // namespace fiscal::clientlib
