#include "signindialog.h"

#include "clientlib/settings.h"
#include "clientlib/usersession.h"
#include "protocol/sessionpackets.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QLabel *messageLabel(QWidget *parent)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QStringLiteral("lblMensagem"));
    l->setWordWrap(true);
    l->setStyleSheet(QStringLiteral("color: #b00020;"));
    l->hide();
    return l;
}

QLineEdit *passwordEdit(QWidget *parent, const char *name)
{
    auto *e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setEchoMode(QLineEdit::Password);
    e->setMaxLength(fiscal::protocol::session::kMaxPasswordLength);
    return e;
}

// The login last signed in, kept apart from erp-host.ini: QSettings writes a file it changes
// anew, and the comments an administrator left in the settings would be lost.
QSettings remembered()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fiscal"), QStringLiteral("erp-host-entrada"));
}

QString rememberedLogin()
{
    const QString kKey = QStringLiteral("signin/user");
    const QVariant login = remembered().value(kKey);
    if (login.isValid())
        return login.toString();
    // Where earlier versions kept it.
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fiscal"), QStringLiteral("erp-host"))
        .value(kKey)
        .toString();
}

void rememberLogin(const QString &login)
{
    QSettings s = remembered();
    if (s.value(QStringLiteral("signin/user")).toString() != login)
        s.setValue(QStringLiteral("signin/user"), login);
}

} // namespace

std::optional<bool> capsLockFrom(const QString &text, bool shift)
{
    if (text.size() != 1 || !text.at(0).isLetter() || text.at(0).isUpper() == text.at(0).isLower())
        return std::nullopt;
    return text.at(0).isUpper() != shift;
}

SignInDialog::SignInDialog(QWidget *parent, Purpose purpose) : QDialog(parent), m_purpose(purpose)
{
    setObjectName(QStringLiteral("dlgEntrar"));
    setWindowTitle(QStringLiteral("Entrar"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(purpose == Purpose::Renew
                                 ? QStringLiteral("Sua sessão terminou. Entre novamente para continuar o que"
                                                  " estava sendo feito; se cancelar, a operação em andamento"
                                                  " não é concluída.")
                                 : QStringLiteral("Entre com o seu usuário e a sua senha."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto *form = new QFormLayout;
    auto *server = new QLabel(fiscal::clientlib::Settings::instance().serverAddress(), this);
    server->setObjectName(QStringLiteral("lblServidor"));
    form->addRow(QStringLiteral("Servidor:"), server);
    m_user = new QLineEdit(this);
    m_user->setObjectName(QStringLiteral("edtUsuario"));
    m_user->setMaxLength(64);
    form->addRow(QStringLiteral("&Usuário:"), m_user);
    m_password = passwordEdit(this, "edtSenha");
    m_password->installEventFilter(this);
    form->addRow(QStringLiteral("&Senha:"), m_password);
    layout->addLayout(form);
    m_capsLock = new QLabel(QStringLiteral("Caps Lock está ativado."), this);
    m_capsLock->setObjectName(QStringLiteral("lblCapsLock"));
    m_capsLock->hide();
    layout->addWidget(m_capsLock);
    m_message = messageLabel(this);
    layout->addWidget(m_message);
    auto *buttons = new QDialogButtonBox(this);
    m_enter = buttons->addButton(QStringLiteral("Entrar"), QDialogButtonBox::AcceptRole);
    m_enter->setObjectName(QStringLiteral("btnEntrar"));
    m_enter->setDefault(true);
    auto *cancel = buttons->addButton(purpose == Purpose::Renew ? QStringLiteral("Cancelar") : QStringLiteral("Fechar"),
                                      QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("btnCancelar"));
    layout->addWidget(buttons);
    connect(m_enter, &QPushButton::clicked, this, &SignInDialog::tryToSignIn);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setMinimumWidth(380);

    setLogin(rememberedLogin());
}

QString SignInDialog::login() const
{
    return m_user->text();
}

void SignInDialog::setLogin(const QString &login)
{
    m_user->setText(login);
    // Signing in again goes on with the same user's unsaved work: that user only.
    m_user->setReadOnly(m_purpose == Purpose::Renew && !login.isEmpty());
    (login.isEmpty() ? m_user : m_password)->setFocus();
}

void SignInDialog::done(int result)
{
    QDialog::done(result);
    // Closed right after the temporary password's change, the window manager may still be
    // handing the activation back to this dialog as it goes, and then to nothing: the window
    // below asks for it again, so that the keys go there without a click (unless a box or
    // dialog shown meanwhile took it).
    QWidget *below = parentWidget() ? parentWidget()->window() : nullptr;
    if (below)
        QTimer::singleShot(0, below, [below, self = QPointer<QWidget>(this)] {
            QWidget *active = QApplication::activeWindow();
            if (below->isVisible() && !QApplication::activeModalWidget() && (!active || active == self))
                below->activateWindow();
        });
}

bool SignInDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_password && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (const std::optional<bool> on = capsLockFrom(key->text(), key->modifiers() & Qt::ShiftModifier))
            m_capsLock->setVisible(*on);
    }
    return QDialog::eventFilter(watched, event);
}

void SignInDialog::showMessage(const QString &text)
{
    m_message->setText(text);
    m_message->setVisible(!text.isEmpty());
}

void SignInDialog::tryToSignIn()
{
    const QString login = m_user->text().trimmed();
    if (login.isEmpty()) {
        showMessage(QStringLiteral("Informe o usuário."));
        m_user->setFocus();
        return;
    }
    if (m_password->text().isEmpty()) {
        showMessage(QStringLiteral("Informe a senha."));
        m_password->setFocus();
        return;
    }
    // A second Enter (a double click, a key held) comes once the refusal is in, with the same
    // password: sent again, it would count twice towards the lock.
    const QString typing = login + QLatin1Char('\n') + m_password->text();
    if (m_refused.isValid() && m_refused.elapsed() < QApplication::doubleClickInterval() && typing == m_refusedTyping)
        return;
    showMessage({});
    m_enter->setEnabled(false);
    SignIn in = signIn(login, m_password->text());
    m_enter->setEnabled(true);
    if (!in.ok) {
        showMessage(in.message);
        m_password->selectAll();
        m_password->setFocus();
        m_refused.start();
        m_refusedTyping = typing;
        return;
    }
    // The change of a temporary password goes with its session; given up, that session ends
    // and the one before stays: every other connection would take the temporary session and
    // answer only "Troque a sua senha".
    using fiscal::clientlib::Settings;
    using fiscal::clientlib::UserSession;
    const QString tokenBefore = Settings::instance().token();
    const UserSession &session = UserSession::instance();
    const QStringList userBefore{session.login(), session.fullName(), session.role()};
    adopt(in);
    if (in.mustChangePassword) {
        PasswordDialog change(this, m_password->text());
        if (change.exec() != QDialog::Accepted) {
            signOut();
            Settings::instance().setToken(tokenBefore);
            if (!userBefore.at(0).isEmpty())
                UserSession::instance().set(userBefore.at(0), userBefore.at(1), userBefore.at(2));
            showMessage(QStringLiteral("Troque a senha temporária para continuar."));
            return;
        }
        in.mustChangePassword = false;
    }
    rememberLogin(in.login);
    m_in = in;
    accept();
}

PasswordDialog::PasswordDialog(QWidget *parent, const QString &current) : QDialog(parent), m_given(current)
{
    setObjectName(QStringLiteral("dlgTrocarSenha"));
    setWindowTitle(QStringLiteral("Trocar senha"));
    auto *layout = new QVBoxLayout(this);
    auto *intro = new QLabel(current.isEmpty()
                                 ? QStringLiteral("A nova senha deve ter ao menos %1 caracteres e ser diferente do usuário.")
                                 : QStringLiteral("Sua senha é temporária. Escolha uma senha sua, de ao menos %1"
                                                  " caracteres e diferente do usuário."),
                             this);
    intro->setText(intro->text().arg(fiscal::protocol::session::kMinPasswordLength));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto *form = new QFormLayout;
    m_current = passwordEdit(this, "edtSenhaAtual");
    if (current.isEmpty())
        form->addRow(QStringLiteral("Senha &atual:"), m_current);
    else
        m_current->hide();
    m_fresh = passwordEdit(this, "edtNovaSenha");
    form->addRow(QStringLiteral("&Nova senha:"), m_fresh);
    m_again = passwordEdit(this, "edtRepitaSenha");
    form->addRow(QStringLiteral("&Repita a nova senha:"), m_again);
    layout->addLayout(form);
    m_message = messageLabel(this);
    layout->addWidget(m_message);
    auto *buttons = new QDialogButtonBox(this);
    auto *ok = buttons->addButton(QStringLiteral("Trocar senha"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("btnTrocar"));
    ok->setDefault(true);
    auto *cancel = buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
    layout->addWidget(buttons);
    connect(ok, &QPushButton::clicked, this, &PasswordDialog::change);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    setMinimumWidth(380);
    (current.isEmpty() ? m_current : m_fresh)->setFocus();
}

void PasswordDialog::change()
{
    const auto say = [this](const QString &text, QLineEdit *focus) {
        m_message->setText(text);
        m_message->setVisible(true);
        focus->selectAll();
        focus->setFocus();
    };
    if (m_fresh->text() != m_again->text())
        return say(QStringLiteral("As duas novas senhas não conferem."), m_again);
    // Asked from the menu the session may have ended meanwhile; inside signing in it is new.
    const QString error = m_given.isEmpty() ? changePassword(m_current->text(), m_fresh->text(), true)
                                            : changePassword(m_given, m_fresh->text());
    if (!error.isEmpty())
        return say(error, m_fresh);
    accept();
}
