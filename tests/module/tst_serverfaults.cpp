// The server killed under the client while the main screen saves a row, loads its data or
// runs the automatic-registration dialog's call, and a server that stops answering: the user
// is told in a message, the unsaved change stays in the change log, nothing waits past the
// connection's time-out, and once a server is back at the same address the next save goes
// through in the same process, without reopening anything.

#include "modulefixture.h"

#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"
#include "Pkg_Ger10200/importacao/frmimportaplanilha.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "clientlib/netconnection.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/edit.h"

#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using dataset::TClientDataSet;
using ger10200::TfrmCadAutomatico;

class ServerFaultTest : public ModuleTest {
protected:
    // Kills the server once `started` holds (the call has gone out) and a moment has passed,
    // while the caller waits for the call inside the action that follows.
    void killDuring(std::function<bool()> started)
    {
        m_killer = std::make_unique<QTimer>();
        m_killer->setInterval(10);
        QObject::connect(m_killer.get(), &QTimer::timeout, [this, started, seen = 0]() mutable {
            if (seen == 0 && started())
                seen = 1;
            else if (seen > 0 && ++seen > 20) {
                m_killer->stop();
                server->kill();
            }
        });
        m_killer->start();
    }
    bool killed() const { return m_killer && !m_killer->isActive(); }

    // A server again at the address the host's settings name.
    void restartServer(int workers = 0)
    {
        ServerOptions options;
        options.port = server->port();
        options.workers = workers;
        server.reset();
        server = std::make_unique<ServerProcess>(db->url(), options);
    }

    // The save cannot commit while the test holds the database's write lock, so the server
    // is surely inside the call when it dies.
    std::unique_ptr<storage::Connection> holdWriteLock()
    {
        auto lock = db->connect();
        lock->begin();
        return lock;
    }

    QString value(TClientDataSet *cds, int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
    std::optional<std::string> supplierGroup(const QString &supplier) const
    {
        return db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier.toStdString()});
    }
    // Types a group other than the row's own into its cell and posts the row.
    QString changeGroup(ger10200::TfrmParamGrupFiscal *frm, int row)
    {
        const QString group = value(frm->cdsFornecedor, row, "CDGRUPOFISC") == QStringLiteral("004")
                                  ? QStringLiteral("005") : QStringLiteral("004");
        focusCell(frm->dbgPadrao, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(group);
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));
        return group;
    }
    // The one message the user saw names the server's address; nothing else was shown.
    void expectTheServerNamedInOneMessage() const
    {
        ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
        const QString address = QStringLiteral("127.0.0.1:%1").arg(server->port());
        EXPECT_TRUE(script->messages().first().contains(address)) << script->messages().first().toStdString();
        EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
    }

private:
    std::unique_ptr<QTimer> m_killer;
};

TEST_F(ServerFaultTest, KilledDuringASaveTheChangeStaysAndGoesWithTheNextSave)
{
    auto *frm = openScreen();
    ASSERT_TRUE(frm);
    TClientDataSet *cds = frm->cdsFornecedor;
    const QString a = value(cds, 0, "CDFORNECED");
    const QString b = value(cds, 2, "CDFORNECED");
    const auto before = supplierGroup(a);
    clearCalls();

    {
        auto lock = holdWriteLock();
        killDuring([&] { return !callsOf(QStringLiteral("SetFornecedor")).isEmpty(); });
        const QString typed = changeGroup(frm, 0);
        ASSERT_TRUE(killed());
        EXPECT_EQ(value(cds, 0, "CDGRUPOFISC"), typed);
    }
    expectTheServerNamedInOneMessage();
    EXPECT_EQ(cds->ChangeCount(), 1) << "the change log is kept";
    EXPECT_EQ(supplierGroup(a), before);

    restartServer();
    script->clear();
    clearCalls();
    const QString first = value(cds, 0, "CDGRUPOFISC");
    const QString second = changeGroup(frm, 2);
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    const auto saves = callsOf(QStringLiteral("SetFornecedor"));
    ASSERT_EQ(saves.size(), 1);
    EXPECT_EQ(saves.first().params.at(0).toMap().value(QStringLiteral("changes")).toArray().size(), 2)
        << "the row that failed goes with the new one";
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(supplierGroup(a), first.toStdString());
    EXPECT_EQ(supplierGroup(b), second.toStdString());
}

// The first load is not tried again on the next activation: the refresh button reloads the
// active tab, and the screen opened again loads everything.
TEST_F(ServerFaultTest, KilledDuringTheFirstLoadTheScreenStaysAndLoadsOnceTheServerIsBack)
{
    ::kill(server->pid(), SIGSTOP);   // the load goes out and waits
    killDuring([&] { return !callsOf(QStringLiteral("GetDados")).isEmpty(); });
    IniProc();
    auto *frm = findScreen();
    ASSERT_TRUE(frm);
    frm->window()->activateWindow();
    ASSERT_TRUE(waitFor([&] { return killed() && !script->messages().isEmpty(); }));
    expectTheServerNamedInOneMessage();
    EXPECT_FALSE(frm->cdsFornecedor->Active());

    restartServer();
    script->clear();
    clickButton(frm->sbtVerificar);
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_TRUE(databaseShows(frm->cdsFornecedor, QStringLiteral("CDFORNECED"),
                              "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
    EXPECT_EQ(frm->dtsPadrao->DataSet(), frm->cdsFornecedor) << "the tab's buttons and navigator act on it";
    EXPECT_TRUE(frm->sbtAlterar->isEnabled());

    frm->close();
    flushDeletes();
    frm = openScreen();
    ASSERT_TRUE(frm);
    EXPECT_TRUE(frm->isLoaded());
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_TRUE(frm->sbtAlterar->isEnabled());
}

// An import whose answer is lost may have gone in: the dialog stays for another try, and
// the tab is read again when it closes, from the server once it is back.
TEST_F(ServerFaultTest, KilledDuringAnImportTheTabIsReadAgainWhenTheDialogCloses)
{
    auto *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const auto row = db->query("SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE WHERE CDGRUPOFISC IS NOT NULL "
                               "ORDER BY CDCLIENTE LIMIT 1");
    ASSERT_EQ(row.size(), 1u);
    const QString other = *row[0][1] == "001" ? QStringLiteral("002") : QStringLiteral("001");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clientes.csv"));
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("Código;Grupo Fiscal\r\n%1;%2\r\n").arg(QString::fromStdString(*row[0][0]), other).toUtf8());
    }
    clearCalls();
    script->push(Answer::open(path));
    bool stayed = false;
    script->push(Answer::dialog([&](QDialog &d) {
        auto *dlg = qobject_cast<ger10200::ImportDialog *>(&d);
        ASSERT_TRUE(dlg);
        ASSERT_TRUE(dlg->btnImportar->isEnabled());
        {
            auto lock = holdWriteLock();
            killDuring([&] { return !callsOf(QStringLiteral("ImportaGrupos")).isEmpty(); });
            clickButton(dlg->btnImportar);
            ASSERT_TRUE(killed());
        }
        expectTheServerNamedInOneMessage();
        stayed = d.isVisible();
        restartServer();
    }, false));   // then closed with "Fechar"
    clickButton(frm->sbtImportar);
    EXPECT_TRUE(stayed) << "the dialog stays for another try";
    const QStringList after = methods().mid(methods().indexOf(QStringLiteral("ImportaGrupos")) + 1);
    EXPECT_TRUE(after.contains(QStringLiteral("GetCliente"))) << after.join(',').toStdString();
    EXPECT_TRUE(databaseShows(frm->cdsCliente, QStringLiteral("CDCLIENTE"), "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE"));
}

TEST_F(ServerFaultTest, KilledDuringTheRegistrationDialogsCallTheDialogStaysForAnotherTry)
{
    auto *frm = openScreen();
    ASSERT_TRUE(frm);
    clearCalls();
    const auto unchanged = db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '003'");
    ASSERT_GT(unchanged, 0);

    script->push(Answer::dialog([&](QDialog &d) {
        auto *dlg = qobject_cast<TfrmCadAutomatico *>(&d);
        ASSERT_TRUE(dlg);
        QPointer<QDialog> alive(&d);
        QTest::mouseClick(dlg->rdbTodos, Qt::LeftButton, {}, QPoint(8, dlg->rdbTodos->height() / 2));
        dlg->edtGrupoFiscal->setFocus(Qt::OtherFocusReason);
        QTest::keyClicks(dlg->edtGrupoFiscal, QStringLiteral("3"));
        {
            auto lock = holdWriteLock();
            killDuring([&] { return !callsOf(QStringLiteral("CadastroAutomatico")).isEmpty(); });
            clickButton(dlg->sbtConfirma);
            ASSERT_TRUE(killed());
        }
        expectTheServerNamedInOneMessage();
        ASSERT_TRUE(alive && alive->isVisible()) << "the dialog stays open";
        EXPECT_EQ(db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '003'"),
                  unchanged);

        restartServer();
        script->clear();
        clickButton(dlg->sbtConfirma);
        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        EXPECT_FALSE(alive && alive->isVisible()) << "a registration that went through closes the dialog";
    }, false));
    clickButton(frm->sbtAutomatico);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDGRUPOFISC IS NULL OR CDGRUPOFISC <> '003'"), 0);
    EXPECT_TRUE(databaseShows(frm->cdsFornecedor, QStringLiteral("CDFORNECED"),
                              "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
}

// A server that does not answer in time holds the screen no longer than the connection's
// time-out; the call it finishes later finds its client gone and is not applied behind the
// user's back, so the change the user keeps saves without a conflict.
TEST_F(ServerFaultTest, AServerThatDoesNotAnswerInTimeHoldsTheScreenForTheTimeOutOnly)
{
    restartServer(1);   // one serving thread: a later call waits for the one given up on
    auto *frm = openScreen();
    ASSERT_TRUE(frm);
    frm->netParamGrupFiscal->connection()->setTimeoutMs(1500);
    TClientDataSet *cds = frm->cdsFornecedor;
    const QString a = value(cds, 0, "CDFORNECED");
    const auto before = supplierGroup(a);
    clearCalls();

    {
        auto lock = holdWriteLock();
        changeGroup(frm, 0);
        ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
        EXPECT_TRUE(script->messages().first().contains(QStringLiteral("não respondeu em 2 segundos")))
            << script->messages().first().toStdString();
        EXPECT_EQ(cds->ChangeCount(), 1);
    }
    // The lock is gone: the server's save goes on and meets a client that has left.
    EXPECT_TRUE(rpcCall(server->port(), kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("001")}).ok());
    EXPECT_EQ(supplierGroup(a), before) << "a call the client gave up on is rolled back";

    script->clear();
    clearCalls();
    const QString typed = value(cds, 0, "CDGRUPOFISC");
    changeGroup(frm, 2);
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(supplierGroup(a), typed.toStdString());
}

} // namespace
} // namespace fiscal::test
