#pragma once
// "Usuários" (administradores): the users of the server, a new one with a temporary
// password shown once, a password reset, a role changed, a user disabled or enabled again.
// Every change goes to the server at once and the list is read again.

#include "account.h"

#include <QDialog>
#include <QElapsedTimer>
#include <vector>

class QLabel;
class QPushButton;
class QTableWidget;

class UsersDialog : public QDialog {
    Q_OBJECT
public:
    explicit UsersDialog(QWidget *parent = nullptr);

    void reload();

private:
    const UserRow *selected() const;
    void updateButtons();
    void addUser();
    void resetSelected();
    void changeRole();
    void toggleActive();
    // False (and said why) when the user is no longer as the list shows it.
    bool unchangedElsewhere(const UserRow &shown);
    bool isOwn(const UserRow &user) const;
    // Shows a temporary password once, in a box whose text can be copied.
    void showTemporary(const QString &login, const QString &password);
    void fail(const QString &message);

    QTableWidget *m_table = nullptr;
    QPushButton *m_reset = nullptr;
    QPushButton *m_role = nullptr;
    QPushButton *m_active = nullptr;
    QElapsedTimer m_toggled;   // since the last "Desativar"/"Ativar" ended
    std::vector<UserRow> m_users;
};

// The roles as a person reads them, in the order they grow.
QStringList roleNames();
QString roleCaption(const QString &role);
