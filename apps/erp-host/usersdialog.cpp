#include "usersdialog.h"

#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/usersession.h"
#include "vcl/dialogkeys.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

using namespace fiscal::clientlib;

QStringList roleNames()
{
    return {QStringLiteral("consulta"), QStringLiteral("operador"), QStringLiteral("administrador")};
}

QString roleCaption(const QString &role)
{
    if (role == QLatin1String("consulta"))
        return QStringLiteral("Consulta");
    if (role == QLatin1String("operador"))
        return QStringLiteral("Operador");
    if (role == QLatin1String("administrador"))
        return QStringLiteral("Administrador");
    return role;
}

namespace {

QStringList roleCaptions()
{
    QStringList c;
    for (const QString &r : roleNames())
        c << roleCaption(r);
    return c;
}

// The new user's login, name and role.
class NewUserDialog : public QDialog {
public:
    explicit NewUserDialog(QWidget *parent) : QDialog(parent)
    {
        setObjectName(QStringLiteral("dlgNovoUsuario"));
        setWindowTitle(QStringLiteral("Novo usuário"));
        auto *layout = new QVBoxLayout(this);
        auto *form = new QFormLayout;
        login = new QLineEdit(this);
        login->setObjectName(QStringLiteral("edtUsuario"));
        login->setMaxLength(64);
        form->addRow(QStringLiteral("&Usuário:"), login);
        name = new QLineEdit(this);
        name->setObjectName(QStringLiteral("edtNome"));
        name->setMaxLength(80);
        form->addRow(QStringLiteral("&Nome completo:"), name);
        role = new QComboBox(this);
        role->setObjectName(QStringLiteral("cmbPapel"));
        role->addItems(roleCaptions());
        role->setCurrentIndex(1);
        form->addRow(QStringLiteral("&Papel:"), role);
        layout->addLayout(form);
        auto *buttons = new QDialogButtonBox(this);
        QPushButton *create = buttons->addButton(QStringLiteral("Criar"), QDialogButtonBox::AcceptRole);
        create->setDefault(true);
        // Nothing edits a name later: Enter after the login alone must not create the user.
        const auto complete = [this, create] {
            create->setEnabled(!login->text().trimmed().isEmpty() && !name->text().trimmed().isEmpty());
        };
        connect(login, &QLineEdit::textChanged, this, complete);
        connect(name, &QLineEdit::textChanged, this, complete);
        complete();
        buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        layout->addWidget(buttons);
        setMinimumWidth(380);
    }
    QLineEdit *login;
    QLineEdit *name;
    QComboBox *role;
};

} // namespace

UsersDialog::UsersDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("dlgUsuarios"));
    setWindowTitle(QStringLiteral("Usuários"));
    auto *layout = new QVBoxLayout(this);
    m_table = new QTableWidget(0, 5, this);
    m_table->setObjectName(QStringLiteral("grdUsuarios"));
    m_table->setHorizontalHeaderLabels({QStringLiteral("Usuário"), QStringLiteral("Nome"), QStringLiteral("Papel"),
                                        QStringLiteral("Situação"), QStringLiteral("Última entrada")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);   // Tab goes on to the buttons
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_table);
    auto *row = new QHBoxLayout;
    auto *add = new QPushButton(QStringLiteral("&Novo..."), this);
    add->setObjectName(QStringLiteral("btnNovo"));
    m_reset = new QPushButton(QStringLiteral("&Redefinir senha"), this);
    m_reset->setObjectName(QStringLiteral("btnRedefinir"));
    m_role = new QPushButton(QStringLiteral("&Papel..."), this);
    m_role->setObjectName(QStringLiteral("btnPapel"));
    m_active = new QPushButton(QStringLiteral("&Desativar"), this);
    m_active->setObjectName(QStringLiteral("btnAtivo"));
    auto *close = new QPushButton(QStringLiteral("&Fechar"), this);
    for (QPushButton *b : {add, m_reset, m_role, m_active})
        row->addWidget(b);
    row->addStretch();
    row->addWidget(close);
    layout->addLayout(row);
    connect(add, &QPushButton::clicked, this, &UsersDialog::addUser);
    connect(m_reset, &QPushButton::clicked, this, &UsersDialog::resetSelected);
    connect(m_role, &QPushButton::clicked, this, &UsersDialog::changeRole);
    connect(m_active, &QPushButton::clicked, this, &UsersDialog::toggleActive);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &UsersDialog::updateButtons);
    resize(720, 380);
    fiscal::vcl::enterClicksOnlyTheFocusedButton(this);
    reload();
}

void UsersDialog::reload()
{
    const QString keep = selected() ? selected()->login : QString();
    QString error;
    m_users = listUsers(error);
    if (!error.isEmpty())
        fail(error);
    m_table->setRowCount(int(m_users.size()));
    for (int i = 0; i < int(m_users.size()); ++i) {
        const UserRow &u = m_users[std::size_t(i)];
        // A login locked after failed sign-ins shows so: the clerk who calls about it is
        // let in again by "Redefinir senha", or by waiting.
        const bool locked = u.lockedUntil.isValid() && u.lockedUntil > QDateTime::currentDateTimeUtc();
        // Up to the next whole minute, as the sign-in's own "Tente de novo em" counts: never a
        // time at which the login is still refused.
        const qint64 end = (u.lockedUntil.toMSecsSinceEpoch() + 59999) / 60000 * 60000;
        const QString situation = !u.active ? QStringLiteral("Desativado")
                                  : locked ? QStringLiteral("Bloqueado até %1")
                                                 .arg(QLocale().toString(QDateTime::fromMSecsSinceEpoch(end).toLocalTime(),
                                                                         QStringLiteral("dd/MM/yyyy HH:mm")))
                                           : QStringLiteral("Ativo");
        const QStringList cells{u.login, u.name, roleCaption(u.role), situation, u.lastSignIn};
        for (int c = 0; c < cells.size(); ++c)
            m_table->setItem(i, c, new QTableWidgetItem(cells.at(c)));
        if (u.login == keep)
            m_table->selectRow(i);
    }
    m_table->resizeColumnsToContents();
    updateButtons();
}

const UserRow *UsersDialog::selected() const
{
    const int row = m_table->currentRow();
    if (row < 0 || row >= int(m_users.size()) || m_table->selectedItems().isEmpty())
        return nullptr;
    return &m_users[std::size_t(row)];
}

void UsersDialog::updateButtons()
{
    const UserRow *u = selected();
    for (QPushButton *b : {m_reset, m_role, m_active})
        b->setEnabled(u != nullptr);
    m_active->setText(u && !u->active ? QStringLiteral("&Ativar") : QStringLiteral("&Desativar"));
}

void UsersDialog::fail(const QString &message)
{
    interaction().message(mtError, messageTitle(mtError), message, mbOK, this);
}

void UsersDialog::showTemporary(const QString &login, const QString &password)
{
    QInputDialog box(this);
    box.setObjectName(QStringLiteral("dlgSenhaTemporaria"));
    box.setWindowTitle(QStringLiteral("Senha temporária"));
    box.setLabelText(QStringLiteral("Senha temporária de %1. Anote-a e entregue-a à pessoa: ela não será mostrada"
                                    " de novo, e deverá ser trocada na primeira entrada.")
                         .arg(login));
    box.setTextValue(password);
    box.setOkButtonText(QStringLiteral("Fechar"));
    box.setOption(QInputDialog::NoButtons, false);
    box.exec();
}

void UsersDialog::addUser()
{
    NewUserDialog d(this);
    if (d.exec() != QDialog::Accepted)
        return;
    const QString login = d.login->text().trimmed();
    // Saving changes a user that exists: a new one typed with an old login would switch that
    // user back on with another role. The list is read again, as it is now on the server.
    QString error;
    const std::vector<UserRow> users = listUsers(error);
    if (!error.isEmpty())
        return fail(error);
    if (std::any_of(users.begin(), users.end(), [&](const UserRow &u) { return u.login == login; })) {
        reload();
        return fail(QStringLiteral("O usuário %1 já existe. Para mudar o papel ou a situação dele, selecione-o na lista.")
                        .arg(login));
    }
    QString temporary;
    bool created = false;
    error = saveUser(login, d.name->text().trimmed(), roleNames().at(d.role->currentIndex()), true, temporary, created);
    if (!error.isEmpty())
        return fail(error);
    reload();
    if (created && temporary.isEmpty()) {
        interaction().message(mtInformation, messageTitle(mtInformation),
                              QStringLiteral("O usuário %1 foi criado. Ele entra com a senha que tem no sistema.").arg(login),
                              mbOK, this);
        return;
    }
    // Not created here: the login was created elsewhere between the check and the save, and
    // the save changed that user. Said so, never shown as an empty new password.
    if (!created)
        return fail(QStringLiteral("O usuário %1 acabou de ser criado em outro lugar e foi alterado com o papel escolhido;"
                                   " nenhuma senha temporária foi criada. Confira-o na lista.").arg(login));
    showTemporary(login, temporary);
}

void UsersDialog::resetSelected()
{
    const UserRow *u = selected();
    if (!u)
        return;
    const QString login = u->login;
    const QString question =
        isOwn(*u) ? QStringLiteral("Redefinir a sua própria senha? Esta sessão e as outras suas terminam, e você entrará"
                                   " de novo com uma senha temporária.")
                  : QStringLiteral("Redefinir a senha de %1? As sessões dele terminam e ele entrará com uma senha temporária.")
                        .arg(login);
    const int answer = interaction().ask(mtConfirmation, QStringLiteral("Redefinir senha"), question,
                                         {QStringLiteral("Redefinir senha"), QStringLiteral("Cancelar")}, this);
    if (answer != 0)
        return;
    QString temporary;
    const QString error = resetPassword(login, temporary);
    if (!error.isEmpty())
        return fail(error);
    // Shown before the list is read again: one's own reset ended this session, and the list
    // asks for a sign-in that needs the new password.
    if (temporary.isEmpty())
        fail(QStringLiteral("A senha de %1 foi redefinida, mas o servidor não devolveu a senha temporária;"
                            " redefina-a de novo.").arg(login));
    else
        showTemporary(login, temporary);
    reload();
}

bool UsersDialog::unchangedElsewhere(const UserRow &shown)
{
    // A save sends the name, the role and the situation whole: what another administrator
    // changed since the list was read would be put back. The user is read again first.
    QString error;
    const std::vector<UserRow> users = listUsers(error);
    if (!error.isEmpty()) {
        fail(error);
        return false;
    }
    const auto now = std::find_if(users.begin(), users.end(), [&](const UserRow &u) { return u.login == shown.login; });
    if (now != users.end() && now->name == shown.name && now->role == shown.role && now->active == shown.active)
        return true;
    reload();
    fail(now == users.end() ? QStringLiteral("O usuário %1 foi excluído por outra sessão.").arg(shown.login)
                            : QStringLiteral("O usuário %1 foi alterado por outra sessão. Confira-o na lista e tente de novo.")
                                  .arg(shown.login));
    return false;
}

void UsersDialog::changeRole()
{
    const UserRow *u = selected();
    if (!u)
        return;
    const UserRow user = *u;
    QInputDialog picker(this);
    picker.setObjectName(QStringLiteral("dlgPapel"));
    picker.setWindowTitle(QStringLiteral("Papel"));
    picker.setLabelText(QStringLiteral("Papel de %1:").arg(user.login));
    picker.setComboBoxItems(roleCaptions());
    picker.setComboBoxEditable(false);
    picker.setTextValue(roleCaptions().value(int(roleNames().indexOf(user.role))));
    picker.setOkButtonText(QStringLiteral("OK"));
    picker.setCancelButtonText(QStringLiteral("Cancelar"));
    // Read again once the choice is made: the picker may have stayed open for long.
    if (interaction().runModal(picker) != QDialog::Accepted || !unchangedElsewhere(user))
        return;
    const QString role = roleNames().value(int(roleCaptions().indexOf(picker.textValue())));
    if (role.isEmpty())
        return;
    if (isOwn(user) && user.role == QLatin1String("administrador") && role != user.role
        && interaction().ask(mtConfirmation, QStringLiteral("Papel"),
                             QStringLiteral("Deixar de ser administrador? Você não poderá mais cuidar dos usuários,"
                                            " e só outro administrador poderá lhe devolver o papel."),
                             {QStringLiteral("Mudar o papel"), QStringLiteral("Cancelar")}, this)
               != 0)
        return;
    QString temporary;
    bool created = false;
    const QString error = saveUser(user.login, user.name, role, user.active, temporary, created);
    if (!error.isEmpty()) {
        fail(error);
    } else if (isOwn(user) && role != user.role) {
        // The server serves this session with the new role from now on, and the list is an
        // administrator's: reading it again would only be refused.
        UserSession &session = UserSession::instance();
        session.set(session.login(), session.fullName(), role);
        interaction().message(mtInformation, messageTitle(mtInformation),
                              QStringLiteral("Seu papel agora é %1. A janela Usuários fecha: só um administrador cuida"
                                             " dos usuários.").arg(roleCaption(role)),
                              mbOK, this);
        accept();
        return;
    }
    reload();
}

bool UsersDialog::isOwn(const UserRow &user) const
{
    return user.login == UserSession::instance().login();
}

void UsersDialog::toggleActive()
{
    // The second click of a double click (or a repeated Enter) comes once the first one's
    // calls are over, to the same button now saying the opposite: it would undo what was
    // just asked for.
    if (m_toggled.isValid() && m_toggled.elapsed() < QApplication::doubleClickInterval())
        return;
    const UserRow *u = selected();
    if (!u)
        return;
    const UserRow user = *u;
    if (!unchangedElsewhere(user))
        return;
    // Switching oneself off ends one's own sessions, with whatever the screens hold unsaved.
    if (isOwn(user) && user.active
        && interaction().ask(mtConfirmation, QStringLiteral("Desativar"),
                             QStringLiteral("Desativar o seu próprio usuário? A sua sessão termina agora, o que não foi"
                                            " salvo nas telas se perde, e só outro administrador poderá ativá-lo de novo."),
                             {QStringLiteral("Desativar"), QStringLiteral("Cancelar")}, this)
               != 0)
        return;
    QString temporary;
    bool created = false;
    const QString error = saveUser(user.login, user.name, user.role, !user.active, temporary, created);
    if (!error.isEmpty())
        fail(error);
    reload();
    m_toggled.start();
}
