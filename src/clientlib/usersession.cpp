#include "clientlib/usersession.h"

#include "clientlib/settings.h"

#include <QVariant>
#include <QWidget>

namespace fiscal::clientlib {

UserSession &UserSession::instance()
{
    static UserSession s;
    return s;
}

void UserSession::set(const QString &login, const QString &fullName, const QString &role)
{
    m_login = login;
    m_fullName = fullName;
    m_role = role;
}

void UserSession::clear()
{
    set({}, {}, {});
}

bool UserSession::isOwn(const QString &historyUser) const
{
    if (signedIn())
        return historyUser == m_login;
    const QString declared = Settings::instance().user();
    return historyUser == declared || historyUser == declared + QStringLiteral(" (não autenticado)");
}

bool UserSession::may(Right right) const
{
    if (!signedIn())
        return true;
    switch (right) {
    case Right::Write:
    case Right::Undo:
        return m_role != QLatin1String("consulta");
    case Right::UndoOthers:
    case Right::Manage:
        break;
    }
    return m_role == QLatin1String("administrador");
}

QString UserSession::refusal(Right right) const
{
    const char *what = "alterar grupos fiscais";
    switch (right) {
    case Right::Write:
        break;
    case Right::Undo:
        what = "desfazer operações";
        break;
    case Right::UndoOthers:
        what = "desfazer operações de outros usuários";
        break;
    case Right::Manage:
        what = "gerenciar usuários";
        break;
    }
    return QStringLiteral("Seu papel (%1) não permite %2.").arg(m_role, QString::fromUtf8(what));
}

void enableFor(QWidget *w, UserSession::Right right, bool enabled)
{
    static const char kOwnTip[] = "fiscalOwnToolTip";
    const UserSession &s = UserSession::instance();
    const bool allowed = s.may(right);
    if (!w->property(kOwnTip).isValid())
        w->setProperty(kOwnTip, w->toolTip());
    w->setToolTip(allowed ? w->property(kOwnTip).toString() : s.refusal(right));
    w->setEnabled(enabled && allowed);
}

} // namespace fiscal::clientlib
