#pragma once
// "Entrar": the sign-in over the host (at start) or over the screen in use (a session that
// ended during work). The user is remembered between runs; Caps Lock is warned of while the
// password is typed; a refusal is shown in the dialog, which stays open. A first sign-in
// with a temporary password goes on to "Trocar senha" before the dialog is accepted.
//
//   SignInDialog d(parent);
//   if (d.exec() == QDialog::Accepted) ... d.result() is the session, already adopted

#include "account.h"

#include <QDialog>
#include <QElapsedTimer>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

class SignInDialog : public QDialog {
    Q_OBJECT
public:
    enum class Purpose { Start, Renew };
    explicit SignInDialog(QWidget *parent = nullptr, Purpose purpose = Purpose::Start);

    const SignIn &signedIn() const { return m_in; }
    // The login the dialog offers (the last one used, else empty).
    void setLogin(const QString &login);
    QString login() const;

    void done(int result) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void tryToSignIn();
    void showMessage(const QString &text);

    Purpose m_purpose;
    QLineEdit *m_user = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_capsLock = nullptr;
    QLabel *m_message = nullptr;
    QPushButton *m_enter = nullptr;
    SignIn m_in;
    // The last refusal: when, and of what (the login and the password as typed).
    QElapsedTimer m_refused;
    QString m_refusedTyping;
};

// "Trocar senha": the current password (unless given, as after a temporary one) and the new
// one twice. Accepted once the server took it.
class PasswordDialog : public QDialog {
    Q_OBJECT
public:
    // `current` empty: asked for; otherwise the temporary password just used, not asked again.
    explicit PasswordDialog(QWidget *parent = nullptr, const QString &current = {});

private:
    void change();

    QString m_given;
    QLineEdit *m_current = nullptr;
    QLineEdit *m_fresh = nullptr;
    QLineEdit *m_again = nullptr;
    QLabel *m_message = nullptr;
};

// The Caps Lock state a key press shows: a letter whose case is not what Shift asks for.
// Nothing when the key says nothing about it.
std::optional<bool> capsLockFrom(const QString &text, bool shift);
