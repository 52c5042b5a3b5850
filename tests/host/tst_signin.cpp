// Signing in from the host against a real fiscal-server: the "Entrar" dialog, the forced
// password change, a session that ends in the middle of a save (signed in again over the
// screen, the save sent once), and what each role is offered.

#include "../appserver/writesupport.h"
#include "testsupport.h"

#include "account.h"
#include "signindialog.h"
#include "usersdialog.h"
#include "interaction/scriptedinteraction.h"

#include "appserver/access/accounts.h"
#include "appserver/access/passwords.h"
#include "clientlib/adoibquery.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "clientlib/usersession.h"
#include "protocol/lookups.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <thread>

using namespace fiscal;
using namespace fiscal::test;
using namespace fiscal::test::writes;
using clientlib::UserSession;

namespace {

struct Server {
    std::unique_ptr<TestDb> db = TestDb::create(Backend::Sqlite);
    std::unique_ptr<ServerProcess> process;

    Server()
    {
        // The remembered user goes to a test folder, not the person's settings.
        QStandardPaths::setTestModeEnabled(true);
        seed(*db);
        add("maria", appserver::access::Role::Operador, "senha-da-maria", false);
        add("novo", appserver::access::Role::Consulta, "temporaria-1", true);
        ServerOptions o;
        o.auth = "usuarios";
        process = std::make_unique<ServerProcess>(db->url(), o);
        auto &s = clientlib::Settings::instance();
        s.setServerUrl(QStringLiteral("http://127.0.0.1:%1").arg(process->port()));
        s.setToken({});
        UserSession::instance().clear();
    }
    ~Server()
    {
        clientlib::Settings::instance().setToken({});
        UserSession::instance().clear();
        UserSession::instance().renew = nullptr;
    }
    void add(const std::string &login, appserver::access::Role role, const std::string &password, bool temporary)
    {
        auto c = db->connect();
        appserver::access::User u;
        u.login = login;
        u.name = login;
        u.role = role;
        u.passwordHash = appserver::access::hashPassword(password);
        u.mustChangePassword = temporary;
        appserver::access::createUser(*c, u);
    }
};

template <class W>
W *child(QWidget *parent, const char *name)
{
    W *w = parent->findChild<W *>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Types the password into the dialog and presses Entrar.
void enter(QWidget *dialog, const QString &password)
{
    auto *edit = child<QLineEdit>(dialog, "edtSenha");
    edit->clear();
    QTest::keyClicks(edit, password);
    QTest::mouseClick(child<QPushButton>(dialog, "btnEntrar"), Qt::LeftButton);
}

// Selects the user's row in the list of "Usuários".
void selectUser(QWidget &dialog, QStringView login)
{
    auto *grid = child<QTableWidget>(&dialog, "grdUsuarios");
    for (int r = 0; r < grid->rowCount(); ++r)
        if (grid->item(r, 0)->text() == login)
            grid->selectRow(r);
}

// Runs `step` on the modal dialog named `name` once it is up.
void whenShown(const char *name, std::function<void(QWidget *)> step)
{
    auto *timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, name, step] {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || w->objectName() != QLatin1String(name))
            return;
        timer->stop();
        timer->deleteLater();
        step(w);
    });
    timer->start();
}

// When a session ends, the renewal dialog comes and is answered with `password`; `asked`
// counts how often.
void signInAgainWith(const QString &password, int &asked)
{
    UserSession::instance().renew = [password, &asked] {
        ++asked;
        SignInDialog again(nullptr, SignInDialog::Purpose::Renew);
        again.setLogin(UserSession::instance().login());
        whenShown("dlgEntrar", [password](QWidget *d) { enter(d, password); });
        return again.exec() == QDialog::Accepted;
    };
}

TEST(SignIn, TheDialogSaysWhyItRefusesAndSignsInWithTheRightPassword)
{
    Server server;
    // The settings an administrator wrote, comments and all, are not written over.
    const QString settings =
        QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fiscal"), QStringLiteral("erp-host")).fileName();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(settings).path()));
    const QByteArray written = "; servidor da matriz\n[user]\nname=maria\n";
    {
        QFile f(settings);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(written);
    }
    SignInDialog d;
    d.setLogin(QStringLiteral("maria"));
    EXPECT_TRUE(child<QLabel>(&d, "lblServidor")->text().endsWith(QString::number(server.process->port())));
    enter(&d, QStringLiteral("senha-errada"));
    // A second Enter at once (a double click, a key held) is not a second failure.
    QTest::mouseClick(child<QPushButton>(&d, "btnEntrar"), Qt::LeftButton);
    EXPECT_EQ(server.db->count("SELECT QTFALHAS FROM USUARIO WHERE NMUSUARIO = 'maria'"), 1);
    EXPECT_EQ(d.result(), 0);
    auto *message = child<QLabel>(&d, "lblMensagem");
    EXPECT_EQ(message->text(), QStringLiteral("Usuário ou senha inválidos."));
    EXPECT_FALSE(message->isHidden());
    enter(&d, QStringLiteral("senha-da-maria"));
    EXPECT_EQ(d.result(), int(QDialog::Accepted));
    EXPECT_EQ(UserSession::instance().login(), QStringLiteral("maria"));
    EXPECT_EQ(UserSession::instance().role(), QStringLiteral("operador"));
    EXPECT_EQ(clientlib::Settings::instance().token().size(), 64);

    QFile f(settings);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), written);
    SignInDialog next;
    EXPECT_EQ(next.login(), QStringLiteral("maria")) << "the login signed in is offered next time";
    f.close();
    QFile::remove(settings);
}

TEST(SignIn, APasswordIsNeverSentOverPlainHttpToAnotherMachine)
{
    auto &s = clientlib::Settings::instance();
    const QString host = s.serverHost();
    const bool tls = s.serverTls();
    s.setServerHost(QStringLiteral("192.0.2.10"));   // a documentation address: never reached
    s.setServerTls(false);
    const SignIn in = signIn(QStringLiteral("maria"), QStringLiteral("senha-da-maria"));
    s.setServerHost(host);
    s.setServerTls(tls);
    EXPECT_FALSE(in.ok);
    EXPECT_TRUE(in.message.contains(QStringLiteral("https://"))) << in.message.toStdString();
}

TEST(SignIn, ATemporaryPasswordIsChangedBeforeTheDialogCloses)
{
    Server server;
    SignInDialog d;
    d.setLogin(QStringLiteral("novo"));
    whenShown("dlgTrocarSenha", [](QWidget *change) {
        QTest::keyClicks(child<QLineEdit>(change, "edtNovaSenha"), QStringLiteral("minha-senha-nova"));
        QTest::keyClicks(child<QLineEdit>(change, "edtRepitaSenha"), QStringLiteral("minha-senha-nova"));
        QTest::mouseClick(child<QPushButton>(change, "btnTrocar"), Qt::LeftButton);
    });
    enter(&d, QStringLiteral("temporaria-1"));
    EXPECT_EQ(d.result(), int(QDialog::Accepted));
    EXPECT_EQ(server.db->scalar("SELECT FLTROCARSENHA FROM USUARIO WHERE NMUSUARIO = 'novo'"), "N");
    EXPECT_TRUE(signIn(QStringLiteral("novo"), QStringLiteral("minha-senha-nova")).ok);
}

// Giving the change of a temporary password up ends that session and keeps the one before:
// every other connection would otherwise take it and answer only "Troque a sua senha".
TEST(SignIn, AChangeOfATemporaryPasswordGivenUpKeepsTheSessionBefore)
{
    Server server;
    const SignIn maria = signIn(QStringLiteral("maria"), QStringLiteral("senha-da-maria"));
    ASSERT_TRUE(maria.ok) << maria.message.toStdString();
    adopt(maria);
    {
        SignInDialog d;
        d.setLogin(QStringLiteral("novo"));
        whenShown("dlgTrocarSenha", [](QWidget *change) { static_cast<QDialog *>(change)->reject(); });
        enter(&d, QStringLiteral("temporaria-1"));
        EXPECT_NE(d.result(), int(QDialog::Accepted));
    }
    EXPECT_EQ(clientlib::Settings::instance().token(), maria.token);
    EXPECT_EQ(UserSession::instance().login(), QStringLiteral("maria"));
    EXPECT_EQ(server.db->count("SELECT COUNT(*) FROM SESSAO WHERE NMUSUARIO = 'novo' AND DTENCERRADA IS NULL"), 0)
        << "the temporary session ended";
}

TEST(SignIn, ASaveWhoseSessionEndedIsSentOnceAfterSigningInAgain)
{
    Server server;
    const SignIn in = signIn(QStringLiteral("maria"), QStringLiteral("senha-da-maria"));
    ASSERT_TRUE(in.ok) << in.message.toStdString();
    adopt(in);
    int asked = 0;
    signInAgainWith(QStringLiteral("senha-da-maria"), asked);
    clientlib::TNetConnection net;
    net.setServerName(QString::fromStdString(kParamGrupFiscal));
    net.BeforeConnect = [](clientlib::TNetConnection &c) {
        c.setHost(clientlib::WebURL());
        c.setPort(clientlib::WebPort());
        c.setToken(clientlib::Settings::instance().token());
    };
    ASSERT_TRUE(net.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("901")}).ok());
    // Another screen's connection, open with the same session.
    clientlib::TNetConnection other;
    other.setServerName(QString::fromStdString(kParamGrupFiscal));
    other.BeforeConnect = net.BeforeConnect;
    ASSERT_TRUE(other.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("901")}).ok());
    // Ended elsewhere (an administrador, another server); this server notices within a second.
    server.db->exec("UPDATE SESSAO SET DTENCERRADA = '2026-01-01T00:00:00.000Z'");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const QCborValue change = ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}},
                                                                    {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "902"}}).build();
    const rpc::Reply r = net.call(QStringLiteral("SetCliente"), {change});
    EXPECT_TRUE(r.ok()) << r.errorMessage().toStdString();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(server.db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "902");
    EXPECT_EQ(server.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), 1);
    EXPECT_EQ(server.db->scalar("SELECT NMUSUARIO FROM HISTOPERACAO"), "maria");
    // The other screen goes on with the new session, without asking again.
    EXPECT_TRUE(other.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("901")}).ok());
    EXPECT_EQ(asked, 1);
}

// "chefe", an administrador, added and signed in.
void signInTheAdministrator(Server &server)
{
    server.add("chefe", appserver::access::Role::Administrador, "senha-do-chefe", false);
    const SignIn in = signIn(QStringLiteral("chefe"), QStringLiteral("senha-do-chefe"));
    ASSERT_TRUE(in.ok) << in.message.toStdString();
    adopt(in);
}

// The administrator signed in, then the session ended on the server, past the second the
// server trusts what it read; a renewal answers with the right password, counted in `asked`.
void endTheAdministratorsSession(Server &server, int &asked)
{
    signInTheAdministrator(server);
    signInAgainWith(QStringLiteral("senha-do-chefe"), asked);
    server.db->exec("UPDATE SESSAO SET DTENCERRADA = '2026-01-01T00:00:00.000Z'");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
}

// The users' administration on a session that ended asks for a sign-in and goes on, as the
// screens' calls do, instead of an error over an empty list.
TEST(Users, TheListOnASessionThatEndedAsksForASignInAndComes)
{
    Server server;
    int asked = 0;
    endTheAdministratorsSession(server, asked);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    UsersDialog dialog;
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(shown.messages().isEmpty()) << shown.messages().join('\n').toStdString();
    EXPECT_EQ(child<QTableWidget>(&dialog, "grdUsuarios")->rowCount(),
              int(server.db->count("SELECT COUNT(*) FROM USUARIO")));
}

TEST(SignIn, APasswordChangeOnASessionThatEndedAsksForASignInAndGoes)
{
    Server server;
    int asked = 0;
    endTheAdministratorsSession(server, asked);
    const auto hash = [&] { return server.db->scalar("SELECT DSSENHA FROM USUARIO WHERE NMUSUARIO = 'chefe'"); };
    const auto before = hash();
    PasswordDialog dialog;
    child<QLineEdit>(&dialog, "edtSenhaAtual")->setText(QStringLiteral("senha-do-chefe"));
    child<QLineEdit>(&dialog, "edtNovaSenha")->setText(QStringLiteral("nova-senha-do-chefe"));
    child<QLineEdit>(&dialog, "edtRepitaSenha")->setText(QStringLiteral("nova-senha-do-chefe"));
    child<QPushButton>(&dialog, "btnTrocar")->click();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_NE(hash(), before) << "the new password was stored";
}

// Lookups keep their connection between calls; after signing out and in as someone else
// they must go with the new session, not with the one that ended (which the server refuses,
// and which would ask the new user to sign in again).
TEST(SignIn, LookupsGoWithTheSessionOfWhoeverIsSignedInNow)
{
    Server server;
    server.add("joao", appserver::access::Role::Consulta, "senha-do-joao", false);
    const auto groupFound = [] {
        const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kGrupoFiscal);
        clientlib::TADOIBQuery q;
        q.setSQL(QString::fromUtf8(l.sql));
        q.setConsulta(QString::fromUtf8(l.name));
        q.ParamByName(QStringLiteral("P_CDGRUPOFISC")).setAsString(QStringLiteral("901"));
        q.Open();
        return q.RecordCount();
    };
    int asked = 0;
    UserSession::instance().renew = [&asked] {
        ++asked;
        return false;
    };
    for (const auto &[login, password] : {std::pair{"maria", "senha-da-maria"}, std::pair{"joao", "senha-do-joao"}}) {
        SCOPED_TRACE(login);
        const SignIn in = signIn(QString::fromLatin1(login), QString::fromLatin1(password));
        ASSERT_TRUE(in.ok) << in.message.toStdString();
        adopt(in);
        EXPECT_EQ(groupFound(), 1);
        EXPECT_EQ(groupFound(), 1);
        signOut();
    }
    EXPECT_EQ(asked, 0);
}

// Where the keys go, typed as a user types them: into whatever has the focus. On a real X
// server with a window manager (host_signin_display) this is also the activation: the
// dialog over the screen takes it, and gives it back to the screen when it closes (the
// offscreen platform gives nothing back, so that part is checked on the display only).
TEST(SignIn, TheKeysGoWhereTheUserTypesNext)
{
    Server server;
    const bool display = QGuiApplication::platformName() != QLatin1String("offscreen");
    // The window manager's answer arrives with the event loop running.
    const auto focusComesTo = [](QWidget *w) {
        return QTest::qWaitFor([w] { return QApplication::focusWidget() == w; }, 10000);
    };
    const auto type = [](const QString &text, Qt::Key then) {
        QWidget *focus = QApplication::focusWidget();
        ASSERT_NE(focus, nullptr);
        QTest::keyClicks(focus, text);
        QTest::keyClick(focus, then);
    };
    // A failure closes the dialog, so that the test ends instead of waiting on it.
    const auto giveUp = [](QWidget *dialog, const char *why) {
        ADD_FAILURE() << why;
        static_cast<QDialog *>(dialog)->reject();
    };
    QWidget screen;
    screen.resize(640, 480);
    screen.show();
    // A window manager on a loaded machine may take seconds to activate a window again: the
    // bound is for a window that never comes back, not a measure.
    constexpr int kActivation = 30000;
    ASSERT_TRUE(QTest::qWaitForWindowActive(&screen, kActivation));

    bool renewed = false;
    SignInDialog again(&screen, SignInDialog::Purpose::Renew);
    again.setLogin(QStringLiteral("maria"));
    whenShown("dlgEntrar", [&](QWidget *d) {
        auto *password = child<QLineEdit>(d, "edtSenha");
        if (!focusComesTo(password))
            return giveUp(d, "the password never had the focus");
        type(QStringLiteral("senha-errada"), Qt::Key_Return);
        // Refused: the password stays selected, so the next try replaces it.
        EXPECT_TRUE(focusComesTo(password));
        EXPECT_EQ(password->selectedText(), QStringLiteral("senha-errada"));
        type(QStringLiteral("senha-da-maria"), Qt::Key_Return);
        renewed = true;
    });
    EXPECT_EQ(again.exec(), int(QDialog::Accepted));
    EXPECT_TRUE(renewed);
    if (display) {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&screen, kActivation));
    }

    // A temporary password: the change opens over the sign-in with the new password's field
    // ready, and Tab leads to the repetition.
    bool changed = false;
    SignInDialog first(&screen);
    first.setLogin(QStringLiteral("novo"));
    whenShown("dlgEntrar", [&](QWidget *d) {
        if (!focusComesTo(child<QLineEdit>(d, "edtSenha")))
            return giveUp(d, "the password never had the focus");
        whenShown("dlgTrocarSenha", [&](QWidget *change) {
            if (!focusComesTo(child<QLineEdit>(change, "edtNovaSenha")))
                return giveUp(change, "the new password never had the focus");
            type(QStringLiteral("minha-senha-nova"), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), child<QLineEdit>(change, "edtRepitaSenha"));
            type(QStringLiteral("minha-senha-nova"), Qt::Key_Return);
            changed = true;
        });
        type(QStringLiteral("temporaria-1"), Qt::Key_Return);
    });
    EXPECT_EQ(first.exec(), int(QDialog::Accepted));
    EXPECT_TRUE(changed);
    if (display) {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&screen, kActivation));
    }
}

TEST(SignIn, EachRoleIsOfferedWhatItMayDoAndToldWhyNot)
{
    struct Case {
        const char *role;
        bool write, undo, undoOthers, manage;
    };
    using R = UserSession::Right;
    for (const Case &c : {Case{"consulta", false, false, false, false}, Case{"operador", true, true, false, false},
                          Case{"administrador", true, true, true, true}, Case{"", true, true, true, true}}) {
        SCOPED_TRACE(c.role);
        UserSession::instance().set(*c.role ? QStringLiteral("alguem") : QString(), {}, QLatin1String(c.role));
        QToolButton button;
        button.setToolTip(QStringLiteral("Alterar"));
        clientlib::enableFor(&button, R::Write, true);
        EXPECT_EQ(button.isEnabled(), c.write);
        EXPECT_EQ(button.toolTip(), c.write ? QStringLiteral("Alterar")
                                            : QStringLiteral("Seu papel (consulta) não permite alterar grupos fiscais."));
        EXPECT_EQ(UserSession::instance().may(R::Undo), c.undo);
        EXPECT_EQ(UserSession::instance().may(R::UndoOthers), c.undoOthers);
        EXPECT_EQ(UserSession::instance().may(R::Manage), c.manage);
        // A state that keeps it disabled wins over the role.
        clientlib::enableFor(&button, R::Write, false);
        EXPECT_FALSE(button.isEnabled());
    }
    UserSession::instance().clear();
}

// "Novo..." with the login of a user that exists, active or not: refused, the user unchanged
// (saving it would have switched a disabled user back on with the role picked).
TEST(Users, ANewUserWithAnOldLoginIsRefusedAndTheOldOneStaysAsItWas)
{
    Server server;
    server.add("antigo", appserver::access::Role::Operador, "senha-do-antigo", false);
    server.db->exec("UPDATE USUARIO SET FLATIVO = 'N' WHERE NMUSUARIO = 'antigo'");
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    const auto users = [&] {
        std::string all;
        for (const auto &row : server.db->query("SELECT NMUSUARIO, DSPAPEL, FLATIVO FROM USUARIO ORDER BY NMUSUARIO"))
            all += str(row[0]) + " " + str(row[1]) + " " + str(row[2]) + "; ";
        return all;
    };
    const std::string before = users();
    for (const char *login : {"maria", "antigo"}) {
        SCOPED_TRACE(login);
        shown.clear();
        UsersDialog dialog;
        whenShown("dlgNovoUsuario", [login](QWidget *d) {
            QTest::keyClicks(child<QLineEdit>(d, "edtUsuario"), QString::fromLatin1(login));
            child<QComboBox>(d, "cmbPapel")->setCurrentIndex(2);
            static_cast<QDialog *>(d)->accept();
        });
        QTest::mouseClick(child<QPushButton>(&dialog, "btnNovo"), Qt::LeftButton);
        EXPECT_EQ(shown.messages(),
                  QStringList{QStringLiteral("O usuário %1 já existe. Para mudar o papel ou a situação dele, selecione-o"
                                             " na lista.").arg(QString::fromLatin1(login))});
        EXPECT_EQ(users(), before);
    }
}

// Enter, as a clerk presses it to go on: in the list it opens nothing (Qt would click
// "Novo..."), and in "Novo usuário" it creates nobody before the name is typed too.
TEST(Users, EnterOpensNothingFromTheListAndCreatesNobodyWithoutAName)
{
    Server server;
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    UsersDialog dialog;
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    auto *grid = child<QTableWidget>(&dialog, "grdUsuarios");
    grid->setFocus();
    grid->selectRow(0);
    QString opened;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget()); d && d != &dialog) {
            opened = d->objectName();
            d->reject();
        }
    });
    closer.start(20);
    QTest::keyClick(grid, Qt::Key_Return);
    QTest::qWait(60);
    closer.stop();
    EXPECT_EQ(opened, QString());

    bool stayedWithoutName = false;
    whenShown("dlgNovoUsuario", [&](QWidget *d) {
        auto *login = child<QLineEdit>(d, "edtUsuario");
        QTest::keyClicks(login, QStringLiteral("beatriz"));
        QTest::keyClick(login, Qt::Key_Return);
        stayedWithoutName = d->isVisible();
        auto *name = child<QLineEdit>(d, "edtNome");
        QTest::keyClicks(name, QStringLiteral("Beatriz Souza"));
        QTest::keyClick(name, Qt::Key_Return);
    });
    whenShown("dlgSenhaTemporaria", [](QWidget *d) { static_cast<QDialog *>(d)->accept(); });
    QTest::mouseClick(child<QPushButton>(&dialog, "btnNovo"), Qt::LeftButton);
    EXPECT_TRUE(stayedWithoutName);
    const auto rows = server.db->query("SELECT NMCOMPLETO FROM USUARIO WHERE NMUSUARIO = 'beatriz'");
    ASSERT_EQ(rows.size(), 1u) << shown.messages().join('|').toStdString();
    EXPECT_EQ(str(rows[0][0]), "Beatriz Souza");
}

// An administrator who takes the role from themselves is told so and the window closes: the
// list is an administrator's, and reading it again was refused as if the change had failed.
TEST(Users, AnAdministratorWhoGivesUpTheRoleIsToldSoAndTheWindowCloses)
{
    Server server;
    server.add("outra", appserver::access::Role::Administrador, "senha-da-outra", false);   // not the last one
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    UsersDialog dialog;
    selectUser(dialog, u"chefe");
    shown.push(clientlib::Answer::dialog([](QDialog &picker) {
        static_cast<QInputDialog &>(picker).setTextValue(QStringLiteral("Operador"));
    }));
    shown.push(clientlib::Answer::choose(QStringLiteral("Mudar o papel")));
    shown.push(clientlib::Answer::ok());
    QTest::mouseClick(child<QPushButton>(&dialog, "btnPapel"), Qt::LeftButton);
    EXPECT_TRUE(shown.problems().isEmpty()) << shown.problems().join('|').toStdString();
    EXPECT_EQ(shown.messages().value(shown.messages().size() - 1),
              QStringLiteral("Seu papel agora é Operador. A janela Usuários fecha: só um administrador cuida dos usuários."));
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(clientlib::UserSession::instance().role(), QStringLiteral("operador"));
    const auto rows = server.db->query("SELECT DSPAPEL FROM USUARIO WHERE NMUSUARIO = 'chefe'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(str(rows[0][0]), "operador");
    clientlib::UserSession::instance().clear();
}

// "Desativar" and "Papel..." on a user another administrator changed since the list was
// read: refused and said, the other change kept (the save sends the role and the situation
// whole, and would have put back what the list showed).
TEST(Users, AChangeOfAUserChangedElsewhereSinceTheListIsRefused)
{
    Server server;
    server.add("joana", appserver::access::Role::Operador, "senha-da-joana", false);
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    const auto joana = [&] {
        const auto rows = server.db->query("SELECT DSPAPEL, FLATIVO FROM USUARIO WHERE NMUSUARIO = 'joana'");
        return rows.empty() ? std::string() : str(rows[0][0]) + " " + str(rows[0][1]);
    };
    const struct {
        const char *what;
        const char *elsewhere;   // what the other administrator did
        const char *button;
    } cases[] = {
        {"switched off, then a role", "UPDATE USUARIO SET FLATIVO = 'N' WHERE NMUSUARIO = 'joana'", "btnPapel"},
        {"a new role, then switched off", "UPDATE USUARIO SET DSPAPEL = 'consulta' WHERE NMUSUARIO = 'joana'", "btnAtivo"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        server.db->exec("UPDATE USUARIO SET DSPAPEL = 'operador', FLATIVO = 'S' WHERE NMUSUARIO = 'joana'");
        shown.clear();
        UsersDialog dialog;
        selectUser(dialog, u"joana");
        std::string after;
        const auto changeElsewhere = [&] {
            server.db->exec(c.elsewhere);
            after = joana();
        };
        // The role's picker may stay open for long: the change comes while it is up.
        if (std::string_view(c.button) == "btnPapel") {
            shown.push(clientlib::Answer::dialog([&](QDialog &picker) {
                changeElsewhere();
                static_cast<QInputDialog &>(picker).setTextValue(QStringLiteral("Consulta"));
            }));
        } else {
            changeElsewhere();
        }
        QTest::mouseClick(child<QPushButton>(&dialog, c.button), Qt::LeftButton);
        EXPECT_EQ(shown.messages(), QStringList{QStringLiteral("O usuário joana foi alterado por outra sessão. Confira-o na "
                                                               "lista e tente de novo.")});
        EXPECT_EQ(joana(), after);
    }
}

// A double click on "Desativar" switches the user off: its second click comes once the
// first is over, to the same button now saying "Ativar".
TEST(Users, ADoubleClickOnDesativarSwitchesOffOnce)
{
    Server server;
    server.add("joana", appserver::access::Role::Operador, "senha-da-joana", false);
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    UsersDialog dialog;
    selectUser(dialog, u"joana");
    // A double click's second press is handled as a press: two clicks, the second at once.
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(child<QPushButton>(&dialog, "btnAtivo"), Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_TRUE(shown.messages().isEmpty()) << shown.messages().join(u'\n').toStdString();
    EXPECT_EQ(str(server.db->query("SELECT FLATIVO FROM USUARIO WHERE NMUSUARIO = 'joana'").at(0)[0]), "N");
}

// A login locked after failed sign-ins shows so in the list; one whose lock has run out, or
// that is switched off, shows as before.
TEST(Users, ALockedLoginShowsUntilWhen)
{
    Server server;
    signInTheAdministrator(server);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // A lock that ends 45.3 s into a minute shows the next minute: at the one it started in,
    // the login is still refused.
    const QDateTime minute = QDateTime::fromSecsSinceEpoch(now.addSecs(600).toSecsSinceEpoch() / 60 * 60, Qt::UTC);
    const struct {
        const char *login;
        QDateTime until;
        const char *active;
        QString shown;
    } cases[] = {
        {"maria", minute.addMSecs(45300), "S",
         QStringLiteral("Bloqueado até ") + QLocale().toString(minute.addSecs(60).toLocalTime(), QStringLiteral("dd/MM/yyyy HH:mm"))},
        {"novo", now.addSecs(-60), "S", QStringLiteral("Ativo")},
        {"antigo", now.addSecs(600), "N", QStringLiteral("Desativado")},
    };
    server.add("antigo", appserver::access::Role::Operador, "senha-do-antigo", false);
    for (const auto &c : cases)
        server.db->exec("UPDATE USUARIO SET DTBLOQUEIO = '" + c.until.toString(Qt::ISODateWithMs).toStdString()
                        + "', FLATIVO = '" + c.active + "' WHERE NMUSUARIO = '" + c.login + "'");
    UsersDialog dialog;
    auto *grid = child<QTableWidget>(&dialog, "grdUsuarios");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.login);
        QString shown;
        for (int r = 0; r < grid->rowCount(); ++r)
            if (grid->item(r, 0)->text() == QLatin1String(c.login))
                shown = grid->item(r, 3)->text();
        EXPECT_EQ(shown, c.shown);
    }
}

// Switching oneself off, or giving up one's own administration, is asked first: the
// session ends with whatever the screens hold unsaved. Given up, nothing changes.
TEST(Users, OnesOwnUserIsSwitchedOffOrDemotedOnlyWhenConfirmed)
{
    Server server;
    server.add("outra", appserver::access::Role::Administrador, "senha-da-outra", false);
    signInTheAdministrator(server);
    auto script = std::make_unique<clientlib::ScriptedInteraction>();
    clientlib::ScriptedInteraction &shown = *script;
    clientlib::InteractionScope scope(std::move(script));
    const auto chefe = [&] { return str(server.db->query("SELECT DSPAPEL || FLATIVO FROM USUARIO WHERE NMUSUARIO = 'chefe'")[0][0]); };
    for (const char *button : {"btnAtivo", "btnPapel"}) {
        SCOPED_TRACE(button);
        shown.clear();
        UsersDialog dialog;
        selectUser(dialog, u"chefe");
        if (std::string_view(button) == "btnPapel")
            shown.push(clientlib::Answer::dialog(
                [](QDialog &picker) { static_cast<QInputDialog &>(picker).setTextValue(QStringLiteral("Operador")); }));
        shown.push(clientlib::Answer::choose(QStringLiteral("Cancelar")));
        QTest::mouseClick(child<QPushButton>(&dialog, button), Qt::LeftButton);
        EXPECT_EQ(chefe(), "administradorS");
        EXPECT_TRUE(shown.problems().isEmpty()) << shown.problems().join('\n').toStdString();
        EXPECT_EQ(shown.pending(), 0) << "the question was asked";
    }
}

TEST(SignIn, CapsLockIsToldFromTheCaseOfALetter)
{
    struct Case {
        const char *text;
        bool shift;
        std::optional<bool> on;
    };
    for (const Case &c : {Case{"a", false, false}, Case{"A", false, true}, Case{"A", true, false}, Case{"a", true, true},
                          Case{"1", false, std::nullopt}, Case{"ç", false, false}, Case{"", false, std::nullopt}}) {
        SCOPED_TRACE(std::string(c.text) + (c.shift ? " with Shift" : ""));
        EXPECT_EQ(capsLockFrom(QString::fromUtf8(c.text), c.shift), c.on);
    }
}

} // namespace
