// The automatic-registration dialog, opened from the main screen as a user opens it,
// against a real server: the checks, the fiscal-group line, the entity each tab sends,
// the database read back, the reload after the dialog, Ctrl+A and the dialog's lifetime.

#include "modulefixture.h"

#include "protocol/objects.h"
#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"
#include "Pkg_Ger10200/modaldialog.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/cursor.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QLocale>
#include <QMap>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <stdexcept>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using dataset::TClientDataSet;
using ger10200::TfrmCadAutomatico;
using ger10200::TfrmParamGrupFiscal;

const QString kTitle = QStringLiteral("Cadastramento Automático");

class CadAutomaticoTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clearCalls();
    }

    // Opens the dialog (by default with the button, as a click does) and runs `drive` in it.
    bool withDialog(const std::function<void(TfrmCadAutomatico &)> &drive,
                    const std::function<void()> &open = {})
    {
        return runDialog<TfrmCadAutomatico>(drive, open ? open : [this] { clickButton(frm->sbtAutomatico); }, frm);
    }

    // The main screen active again, as when a dialog goes away.
    void backToScreen()
    {
        frm->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(frm));
    }

    QList<RecordedCall> dialogCalls() const
    {
        QList<RecordedCall> out;
        for (const RecordedCall &c : callsOf(QStringLiteral("GetGrupoFiscal")) + callsOf(QStringLiteral("CadastroAutomatico")))
            if (c.serverName == QLatin1String(protocol::kCadAutParGrpFis))
                out << c;
        return out;
    }

    QList<QStringList> registrations() const
    {
        QList<QStringList> out;
        for (const RecordedCall &c : callsOf(QStringLiteral("CadastroAutomatico")))
            out << texts(c.params);
        return out;
    }

    TfrmParamGrupFiscal *frm = nullptr;
};

TEST_F(CadAutomaticoTest, OpensWithNoModeAndTheFocusOnTodos)
{
    const bool open = withDialog([&](TfrmCadAutomatico &d) {
        EXPECT_EQ(d.windowTitle(), kTitle);
        EXPECT_EQ(d.lblCodTela->Caption(), QStringLiteral("GER10201"));
        EXPECT_EQ(d.size(), QSize(365, 131));
        EXPECT_FALSE(d.rdbTodos->isChecked() || d.rdbVazios->isChecked() || d.rdbLimpar->isChecked());
        EXPECT_EQ(QApplication::focusWidget(), d.rdbTodos);
        EXPECT_TRUE(d.edtGrupoFiscal->isEnabled());
        // Tab leaves the mode buttons for the code box, never the description.
        QStringList path;
        for (int i = 0; i < 4; ++i) {
            pressKey(Qt::Key_Tab);
            path << QApplication::focusWidget()->objectName();
        }
        EXPECT_TRUE(path.contains(QStringLiteral("edtGrupoFiscal"))) << path.join(',').toStdString();
        EXPECT_FALSE(path.contains(QStringLiteral("edtNMGrupoFiscal")));
        EXPECT_EQ(path.indexOf(QStringLiteral("edtGrupoFiscal")), path.lastIndexOf(QStringLiteral("rdbLimpar")) + 1)
            << path.join(',').toStdString();
        // The connection of its own, to the automatic-registration object.
        EXPECT_TRUE(d.netCadAutParGrpFis->Connected());
    });
    EXPECT_TRUE(open);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// Each failed check shows its message, puts the focus on what to mend, keeps what the
// user chose and typed, and calls nothing.
TEST_F(CadAutomaticoTest, AFailedCheckKeepsTheDialogAsItWasAndCallsNothing)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL WHERE CDGRUPOFISC = '999'"), 0);
    using D = TfrmCadAutomatico;
    struct Case {
        const char *name;
        std::function<QAbstractButton *(D &)> mode;   // empty: none chosen
        const char *typed;
        const char *message;
        std::function<QWidget *(D &)> focus;
    };
    const Case cases[] = {
        {"no mode", {}, "", "Tipo de cadastramento deve ser informado.", [](D &d) { return d.rdbTodos; }},
        {"Todos without a group", [](D &d) { return d.rdbTodos; }, "", "Grupo fiscal deve ser informado.",
         [](D &d) { return d.edtGrupoFiscal; }},
        {"Vazios with an unknown group", [](D &d) { return d.rdbVazios; }, "999", "Grupo fiscal não cadastrado.",
         [](D &d) { return d.edtGrupoFiscal; }},
        // The box has no mask: a '_' in it is typed, not an empty place.
        {"Todos with \"_\"", [](D &d) { return d.rdbTodos; }, "_", "Grupo fiscal não cadastrado.",
         [](D &d) { return d.edtGrupoFiscal; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script->clear();
        clearCalls();
        const bool open = withDialog([&](D &d) {
            if (c.mode)
                choose(c.mode(d));
            if (*c.typed)
                typeInto(d.edtGrupoFiscal, QString::fromUtf8(c.typed));
            clickButton(d.sbtConfirma);
            EXPECT_EQ(script->messages(), QStringList{QString::fromUtf8(c.message)});
            EXPECT_EQ(QApplication::focusWidget(), c.focus(d));
            EXPECT_EQ(d.edtGrupoFiscal->text(), QString::fromUtf8(c.typed));
            if (c.mode) {
                EXPECT_TRUE(c.mode(d)->isChecked());
            }
        });
        EXPECT_TRUE(open);
        EXPECT_TRUE(registrations().isEmpty());
        // Of the dialog's object only the lookup of a typed code was asked for.
        QStringList asked;
        for (const RecordedCall &call : dialogCalls())
            asked << call.method + QLatin1Char(' ') + texts(call.params).join(',');
        EXPECT_EQ(asked, *c.typed ? QStringList{QStringLiteral("GetGrupoFiscal ") + QString::fromUtf8(c.typed)}
                                  : QStringList());
    }
}

TEST_F(CadAutomaticoTest, LimparDisablesTheGroupLineKeepsTheCodeAndSendsNoGroup)
{
    ASSERT_GT(db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDGRUPOFISC IS NOT NULL"), 0);
    const QString description = QString::fromStdString(
        db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '003'").value_or(""));
    const bool open = withDialog([&](TfrmCadAutomatico &d) {
        typeInto(d.edtGrupoFiscal, QStringLiteral("3"));
        choose(d.rdbLimpar);   // leaving the box looks the code up
        EXPECT_EQ(d.edtGrupoFiscal->text(), QStringLiteral("003"));
        EXPECT_EQ(d.edtNMGrupoFiscal->text(), description);
        for (QWidget *w : {static_cast<QWidget *>(d.lblGrupo), static_cast<QWidget *>(d.edtGrupoFiscal),
                           static_cast<QWidget *>(d.btpGrupoFiscal)})
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();

        choose(d.rdbTodos);
        EXPECT_TRUE(d.edtGrupoFiscal->isEnabled());
        EXPECT_TRUE(d.btpGrupoFiscal->isEnabled());
        EXPECT_EQ(d.edtGrupoFiscal->text(), QStringLiteral("003"));

        choose(d.rdbLimpar);
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open) << "a registration that succeeded closes the dialog";
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    ASSERT_EQ(registrations().size(), 1);
    EXPECT_EQ(registrations().first(), (QStringList{QStringLiteral("FORNECEDOR"), QString(), QString(),
                                                    QStringLiteral("L"), QString(), QString(), QString()}));
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDGRUPOFISC IS NOT NULL"), 0);
    EXPECT_TRUE(databaseShows(frm->cdsFornecedor, QStringLiteral("CDFORNECED"),
                              "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
}

TEST_F(CadAutomaticoTest, TheCodeBoxTakesDigitsUpToThreeAndDropsSignsAndLetters)
{
    const struct {
        const char *typed;
        const char *box;
    } cases[] = {
        {"a-", ""}, {"Z+*./", ""}, {"1a-2b3", "123"}, {"12345", "123"}, {",", ","},
    };
    withDialog([&](TfrmCadAutomatico &d) {
        for (const auto &c : cases) {
            d.edtGrupoFiscal->clear();
            d.edtGrupoFiscal->setFocus(Qt::OtherFocusReason);
            QTest::keyClicks(d.edtGrupoFiscal, QString::fromUtf8(c.typed));
            EXPECT_EQ(d.edtGrupoFiscal->text(), QString::fromUtf8(c.box)) << c.typed;
        }
    });
}

TEST_F(CadAutomaticoTest, ThePickedGroupFillsCodeAndDescription)
{
    withDialog([&](TfrmCadAutomatico &d) {
        script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("004")));
        clickButton(d.btpGrupoFiscal);
        EXPECT_EQ(d.edtGrupoFiscal->text(), QStringLiteral("004"));
        EXPECT_EQ(d.edtNMGrupoFiscal->text(),
                  QString::fromStdString(
                      db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '004'").value_or("")));
        const auto asked = callsOf(QStringLiteral("GetGrupoFiscal"));
        ASSERT_EQ(asked.size(), 1);
        EXPECT_EQ(texts(asked.first().params), QStringList{QString()}) << "the list offers every group";
    });
    ASSERT_FALSE(script->shown().isEmpty());
    EXPECT_EQ(script->shown().at(1).title, QStringLiteral("Grupo Fiscal"));
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// With the keyboard alone: Ctrl+Enter in the code box opens the group list, Alt+M and Alt+C
// work the column's buttons, whose checks then see the box as typed.
TEST_F(CadAutomaticoTest, TheKeyboardAloneReachesTheListAndTheButtons)
{
    withDialog([&](TfrmCadAutomatico &d) {
        choose(d.rdbTodos);
        d.edtGrupoFiscal->setFocus(Qt::TabFocusReason);
        script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("004")));
        QTest::keyClick(d.edtGrupoFiscal, Qt::Key_Return, Qt::ControlModifier);
        EXPECT_EQ(d.edtGrupoFiscal->text(), QStringLiteral("004"));
        EXPECT_EQ(QApplication::focusWidget(), d.edtGrupoFiscal);

        d.edtGrupoFiscal->selectAll();
        QTest::keyClicks(d.edtGrupoFiscal, QStringLiteral("999"));
        for (const char letter : {'M', 'C'}) {
            SCOPED_TRACE(letter);
            script->clear();
            QTest::keyClick(&d, Qt::Key(letter), Qt::AltModifier);
            waitFor([&] { return !script->messages().isEmpty(); }, 2000);
            EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Grupo fiscal não cadastrado.")});
        }
    });
    EXPECT_TRUE(registrations().isEmpty());
}

// Every entity the screen can reach: the tab decides what is sent; the database ends as
// the mode says, and the reloaded grid shows exactly the database.
TEST_F(CadAutomaticoTest, EachTabRegistersItsEntityAndTheGridShowsTheDatabase)
{
    struct Case {
        vcl::TTabSheet *tab;
        TClientDataSet *cds;
        const char *key;
        std::string sql;
        const char *entity;
        const char *mode;
        const char *tax;
        const char *reload;
        const char *cacheKey;   // the key a save of the tab drops, empty: none
    };
    const std::string branchesFor01 =
        "SELECT F.CDFILIAL, P.CDGRUPOFISC FROM FILIAL F LEFT JOIN GRFISCIMPOSFILI P"
        " ON P.CDFILIAL = F.CDFILIAL AND P.CDIMPOSTO = '01'";
    const Case cases[] = {
        {frm->tshPadrao, frm->cdsFornecedor, "CDFORNECED", "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR",
         "FORNECEDOR", "T", "", "GetFornecedor", "FORNECEDOR"},
        {frm->tshCliente, frm->cdsCliente, "CDCLIENTE", "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE",
         "CLIENTE", "V", "", "GetCliente", "CLIENTE"},
        {frm->tshFilial, frm->cdsFilial, "CDFILIAL", "SELECT CDFILIAL, CDGRUPOFISC FROM FILIAL",
         "FILIAL", "L", "", "GetFilial", "FILIAL"},
        {frm->tshTipoOperac, frm->cdsTipoOperac, "CDTIPOOPER", "SELECT CDTIPOOPER, CDGRUPOFISC FROM TIPOOPERAC",
         "TIPOOPERAC", "V", "", "GetTipoOperac", "TIPOOPERAC"},
        {frm->tshTipoGest, frm->cdsTipoGest, "CDTPFATURFIS", "SELECT CDTPFATURFIS, CDGRUPOFISC FROM TPFATURFIS",
         "TPFATURFIS", "T", "", "GetTipoGest", ""},
        {frm->tshTipoContrato, frm->cdsTipoFatur, "CDTIPOFATUR", "SELECT CDTIPOFATUR, CDGRUPOFISC FROM TIPOFATUR",
         "PARAMFILIAL", "T", "", "GetTipoFatur", "PARAMFILIAL"},
        {frm->tshImpFili, frm->cdsImpFili, "CDFILIAL", branchesFor01, "GRFISCIMPOSFILI", "V", "01", "GetImpFili",
         "FILIAL"},
    };
    const QString group = QStringLiteral("007");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entity);
        clickTab(frm->pgcPadrao, c.tab);
        if (*c.tax) {
            typeInto(frm->medCdImposto, QString::fromLatin1(c.tax));
            frm->dbgImpFili->setFocus(Qt::TabFocusReason);
            QApplication::processEvents();
        }
        ASSERT_TRUE(frm->sbtAutomatico->isEnabled());
        const QString mode = QString::fromLatin1(c.mode);
        QMap<QString, QString> expected = stored(c.sql);
        ASSERT_FALSE(expected.isEmpty());
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            if (mode == QLatin1String("L"))
                it.value().clear();
            else if (mode == QLatin1String("T") || it.value().isEmpty())
                it.value() = group;
        }
        clearCalls();
        script->clear();
        QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));

        const bool open = withDialog([&](TfrmCadAutomatico &d) {
            choose(mode == QLatin1String("T") ? d.rdbTodos : mode == QLatin1String("V") ? d.rdbVazios : d.rdbLimpar);
            if (mode != QLatin1String("L"))
                typeInto(d.edtGrupoFiscal, QStringLiteral("7"));
            clickButton(d.sbtConfirma);
        });

        EXPECT_FALSE(open);
        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        const auto calls = callsOf(QStringLiteral("CadastroAutomatico"));
        ASSERT_EQ(calls.size(), 1);
        EXPECT_EQ(texts(calls.first().params),
                  (QStringList{QString::fromLatin1(c.entity), mode == QLatin1String("L") ? QString() : group,
                               QString(), mode, QString::fromLatin1(c.tax), QString(), QString()}));
        EXPECT_EQ(calls.first().serverName, QString::fromLatin1(protocol::kCadAutParGrpFis));
        EXPECT_EQ(calls.first().waitKind, 6);
        EXPECT_EQ(calls.first().waitWindow.data(), frm->window()) << "the animation covers the main screen";
        EXPECT_EQ(calls.first().waitText, QStringLiteral("Recebendo dados..."));
        const QStringList after = methods().mid(methods().indexOf(QStringLiteral("CadastroAutomatico")) + 1);
        EXPECT_TRUE(after.contains(QString::fromLatin1(c.reload))) << after.join(',').toStdString();
        EXPECT_EQ(stored(c.sql), expected);
        EXPECT_TRUE(databaseShows(c.cds, QString::fromLatin1(c.key), c.sql));
        QStringList dropped;
        for (const QList<QVariant> &signal : cache)
            dropped << signal.at(0).toString();
        EXPECT_EQ(dropped, *c.cacheKey ? QStringList{QString::fromLatin1(c.cacheKey)} : QStringList{})
            << "the host's cached copy of the table goes";
    }
}

// The tax of the branch tab goes as it stands, empty too; the server's refusal leaves the
// dialog open as the user left it, and the database untouched.
TEST_F(CadAutomaticoTest, ARefusedRegistrationKeepsTheDialogOpenAndChangesNothing)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    ASSERT_TRUE(frm->medCdImposto->IsEmpty());
    const std::string all = "SELECT CDIMPOSTO || CDFILIAL, CDGRUPOFISC FROM GRFISCIMPOSFILI";
    const QMap<QString, QString> before = stored(all);
    const QString description = QString::fromStdString(
        db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = '002'").value_or(""));

    const bool open = withDialog(
        [&](TfrmCadAutomatico &d) {
            choose(d.rdbTodos);
            typeInto(d.edtGrupoFiscal, QStringLiteral("2"));
            clickButton(d.sbtConfirma);
            EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto deve ser informado.")});
            EXPECT_TRUE(d.rdbTodos->isChecked());
            EXPECT_EQ(d.edtGrupoFiscal->text(), QStringLiteral("002"));
            EXPECT_EQ(d.edtNMGrupoFiscal->text(), description);
        },
        [] { ger10200::Cria_CadAutomatico(); });

    EXPECT_TRUE(open);
    ASSERT_EQ(registrations().size(), 1);
    EXPECT_EQ(registrations().first(), (QStringList{QStringLiteral("GRFISCIMPOSFILI"), QStringLiteral("002"),
                                                    QString(), QStringLiteral("T"), QString(), QString(), QString()}));
    EXPECT_EQ(stored(all), before);
    EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
}

// "Simular" runs the checks of confirming first, then tells what confirming would change
// with the same arguments, leaving the database and the dialog as they were; confirming
// afterwards changes exactly that.
TEST_F(CadAutomaticoTest, SimularTellsWhatConfirmingWouldChangeAndChangesNothing)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const std::string sql = "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE";
    const QMap<QString, QString> before = stored(sql);
    clearCalls();
    QStringList preview;
    const bool open = withDialog([&](TfrmCadAutomatico &d) {
        clickButton(d.sbtSimular);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Tipo de cadastramento deve ser informado.")});
        script->clear();
        choose(d.rdbVazios);
        typeInto(d.edtGrupoFiscal, QStringLiteral("7"));
        clickButton(d.sbtSimular);
        preview = script->messages();
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(stored(sql), before);
        EXPECT_TRUE(registrations().isEmpty());
        script->clear();
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open);
    const auto simulated = callsOf(QStringLiteral("SimulaCadastroAutomatico"));
    ASSERT_EQ(simulated.size(), 1);
    ASSERT_EQ(registrations().size(), 1);
    EXPECT_EQ(texts(simulated.first().params), registrations().first());
    EXPECT_EQ(simulated.first().serverName, QString::fromLatin1(protocol::kCadAutParGrpFis));

    const QMap<QString, QString> after = stored(sql);
    qint64 changed = 0;
    for (auto it = before.begin(); it != before.end(); ++it)
        changed += after.value(it.key()) != it.value();
    ASSERT_GT(changed, 1);
    EXPECT_EQ(preview, QStringList{QStringLiteral("Serão alterados %1 clientes.\n\nNada foi gravado: isto é só uma "
                                                  "simulação.").arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(changed))});
}

TEST_F(CadAutomaticoTest, AfterACancelledDialogTheBranchesAndTheInnerTabAreReloaded)
{
    clickTab(frm->pgcPadrao, frm->tshFilial);
    clearCalls();
    const bool open = withDialog([&](TfrmCadAutomatico &d) { clickButton(d.sbtFechar); });
    EXPECT_FALSE(open);
    EXPECT_TRUE(registrations().isEmpty());
    EXPECT_EQ(methods(), (QStringList{QStringLiteral("GetFilial"), QStringLiteral("GetFornInsc")}));
}

// Ctrl+A runs the command from anywhere on the main screen while the command is enabled,
// boxes and grid editors included; while it is disabled the box selects its text.
TEST_F(CadAutomaticoTest, CtrlARunsTheCommandWhileItIsEnabledAndSelectsTextOtherwise)
{
    struct Case {
        const char *name;
        std::function<QWidget *()> focus;   // brings the screen there, returns what has the focus
        bool enabled;
    };
    const Case cases[] = {
        {"supplier grid", [&] {
             clickTab(frm->pgcPadrao, frm->tshPadrao);
             focusCell(frm->dbgPadrao, 0, QStringLiteral("NOME"));
             return QApplication::focusWidget();
         }, true},
        {"branch grid of a tax", [&] {
             clickTab(frm->pgcPadrao, frm->tshImpFili);
             typeInto(frm->medCdImposto, QStringLiteral("01"));
             frm->dbgImpFili->setFocus(Qt::TabFocusReason);
             QApplication::processEvents();
             return QApplication::focusWidget();
         }, true},
        {"tax box of the branch tab", [&] {
             clickTab(frm->pgcPadrao, frm->tshImpFili);
             typeInto(frm->medCdImposto, QStringLiteral("01"));
             return QApplication::focusWidget();
         }, false},
        {"interstate box", [&] {
             clickTab(frm->pgcPadrao, frm->tshOperInter);
             frm->medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
             QApplication::processEvents();
             return QApplication::focusWidget();
         }, false},
        {"cell editor while editing", [&] {
             clickTab(frm->pgcPadrao, frm->tshPadrao);
             focusCell(frm->dbgPadrao, 0, QStringLiteral("CDGRUPOFISC"));
             typeKeys(QStringLiteral("5"));
             return QApplication::focusWidget();
         }, false},
        {"cell editor after the post", [&] {
             clickButton(frm->dbnPadrao->Button(vcl::nbPost));   // the editor stays open
             return QApplication::focusWidget();
         }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script->clear();
        QWidget *focused = c.focus();
        ASSERT_TRUE(focused);
        ASSERT_EQ(frm->sbtAutomatico->isEnabled(), c.enabled);
        const std::string kind = focused->metaObject()->className();
        QPointer<QLineEdit> box = qobject_cast<QLineEdit *>(focused);   // the reload may take an editor away
        if (c.enabled)
            script->push(Answer::dialog([](QDialog &) {}, false));
        pressKey(Qt::Key_A, Qt::ControlModifier);
        backToScreen();
        if (c.enabled) {
            ASSERT_EQ(script->shown().size(), 1) << kind;
            EXPECT_EQ(script->shown().first().kind, Shown::Dialog);
            EXPECT_EQ(script->shown().first().title, kTitle);
        } else {
            EXPECT_TRUE(script->shown().isEmpty());
            ASSERT_TRUE(box) << kind;
            EXPECT_FALSE(box->selectedText().isEmpty());
            EXPECT_EQ(box->selectedText(), box->displayText());
        }
    }
    // On the state-registration tab the command opens that tab's own dialog instead.
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    ASSERT_EQ(QApplication::focusWidget(), frm->medCdEmpresa);
    ASSERT_TRUE(frm->sbtAutomatico->isEnabled());
    script->clear();
    script->push(Answer::dialog([](QDialog &) {}, false));
    pressKey(Qt::Key_A, Qt::ControlModifier);
    backToScreen();
    ASSERT_EQ(script->shown().size(), 1);
    EXPECT_EQ(script->shown().first().kind, Shown::Dialog);
    EXPECT_EQ(script->shown().first().title, QStringLiteral("Cadastramento Automático Imposto/Inscrição Estadual"));
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
    EXPECT_TRUE(frm->medCdEmpresa->selectedText().isEmpty());
}

TEST_F(CadAutomaticoTest, AHundredOpeningsLeaveNoDialogBehind)
{
    flushDeletes();
    const qsizetype widgetsBefore = QApplication::allWidgets().count();
    for (int i = 0; i < 100; ++i) {
        script->push(Answer::dialog([](QDialog &) {}, false));
        if (i % 2)
            triggerMenu(frm->mnuCadAutomatico);
        else
            clickButton(frm->sbtAutomatico);
    }
    flushDeletes();
    EXPECT_EQ(script->pending(), 0);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
    EXPECT_EQ(callsOf(QStringLiteral("GetFornecedor")).size(), 100) << "reloaded after every dialog";
    EXPECT_TRUE(ger10200::frmCadAutomatico.isNull());
    int left = 0;
    for (QWidget *w : QApplication::allWidgets())
        left += qobject_cast<TfrmCadAutomatico *>(w) ? 1 : 0;
    EXPECT_EQ(left, 0);
    EXPECT_EQ(QApplication::allWidgets().count(), widgetsBefore);
}

// A dialog whose creation fails: the error goes on to the caller, the half-made dialog
// is released, nothing points at it and the cursor is back to normal.
TEST_F(CadAutomaticoTest, AFailedCreationReachesTheCallerAndLeavesNothingBehind)
{
    struct TfrmQuebrado : clientlib::TfrmRotiGeral {
        using clientlib::TfrmRotiGeral::TfrmRotiGeral;
        void FormCreate() override { throw std::runtime_error("falha ao criar"); }
    };
    QPointer<TfrmQuebrado> variable;
    flushDeletes();
    const qsizetype widgetsBefore = QApplication::allWidgets().count();
    EXPECT_THROW(ger10200::RunModalDialog(variable), std::runtime_error);
    flushDeletes();
    EXPECT_TRUE(variable.isNull());
    EXPECT_EQ(vcl::screenCursor(), vcl::crDefault);
    EXPECT_EQ(QApplication::allWidgets().count(), widgetsBefore);
    EXPECT_TRUE(script->shown().isEmpty()) << "never shown";

    // The main screen goes on working: the command opens the real dialog.
    withDialog([](TfrmCadAutomatico &) {});
    EXPECT_EQ(script->shown().size(), 1);
}

} // namespace
} // namespace fiscal::test
