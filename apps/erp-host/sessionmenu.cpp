#include "sessionmenu.h"

#include "account.h"
#include "signindialog.h"
#include "usersdialog.h"

#include "clientlib/usersession.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>

using fiscal::clientlib::UserSession;

namespace {

QString statusText()
{
    const UserSession &s = UserSession::instance();
    const QString who = s.fullName().isEmpty() || s.fullName() == s.login()
                            ? s.login()
                            : QStringLiteral("%1 (%2)").arg(s.fullName(), s.login());
    return QStringLiteral("Usuário: %1 — %2").arg(who, roleCaption(s.role()));
}

QWidget *dialogParent(QMainWindow &window)
{
    QWidget *active = QApplication::activeModalWidget();
    return active ? active : &window;
}

} // namespace

void installSessionMenu(QMainWindow &window)
{
    UserSession &session = UserSession::instance();
    if (!session.signedIn())
        return;
    auto *user = new QLabel(statusText(), &window);
    user->setObjectName(QStringLiteral("lblUsuario"));
    window.statusBar()->addPermanentWidget(user);

    auto *menu = new QMenu(QStringLiteral("&Usuário"), &window);
    menu->setObjectName(QStringLiteral("mnuUsuario"));
    const QList<QAction *> menus = window.menuBar()->actions();
    window.menuBar()->insertMenu(menus.size() > 1 ? menus.at(1) : nullptr, menu);

    QAction *change = menu->addAction(QStringLiteral("&Trocar senha..."));
    change->setObjectName(QStringLiteral("actTrocarSenha"));
    QObject::connect(change, &QAction::triggered, &window, [&window] {
        PasswordDialog d(&window);
        d.exec();
    });
    QAction *users = menu->addAction(QStringLiteral("&Usuários..."));
    users->setObjectName(QStringLiteral("actUsuarios"));
    users->setEnabled(session.may(UserSession::Right::Manage));
    users->setToolTip(users->isEnabled() ? QString() : session.refusal(UserSession::Right::Manage));
    menu->setToolTipsVisible(true);
    QObject::connect(users, &QAction::triggered, &window, [&window, user, users] {
        UsersDialog d(&window);
        d.exec();
        // The administrator may have given up the role there.
        UserSession &s = UserSession::instance();
        user->setText(statusText());
        users->setEnabled(s.may(UserSession::Right::Manage));
        users->setToolTip(users->isEnabled() ? QString() : s.refusal(UserSession::Right::Manage));
    });
    menu->addSeparator();
    QAction *out = menu->addAction(QStringLiteral("&Sair"));
    out->setObjectName(QStringLiteral("actSairSessao"));
    out->setStatusTip(QStringLiteral("Encerra a sessão; o programa fecha."));
    QObject::connect(out, &QAction::triggered, &window, [&window] {
        // Closing first lets each screen ask about changes not saved; then the session ends.
        if (window.close())
            signOut();
    });

    // A session that ends during work: signed in again over whatever is on the screen.
    session.renew = [&window, user] {
        SignInDialog d(dialogParent(window), SignInDialog::Purpose::Renew);
        d.setLogin(UserSession::instance().login());
        if (d.exec() != QDialog::Accepted)
            return false;
        user->setText(statusText());
        return true;
    };
}
