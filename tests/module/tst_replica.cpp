// The replication dialog, opened from the main screen's state-registration tab as a user
// opens it, against a real server: the code fields and what their changes clear, the lists,
// the checks of a confirmation, the origin read, the question, the Replica call with the
// database read back, and the reload after the dialog.

#include "modulefixture.h"

#include "Pkg_Ger10200/replica/frmreplica.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/shared/preview.h"
#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/dbgeral.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/controls.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMap>
#include <QRegularExpression>
#include <QTest>
#include <functional>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using ger10200::TfrmReplica;
using D = TfrmReplica;

const QString kTitle = QStringLiteral("Replicação de Parâmetros Grupo Fiscal Imposto/Inscrição Estadual");
const QString kAll = QStringLiteral(
    "Atenção! Ao realizar a replicação de parâmetros grupo fiscal imposto/inscrição estadual todo cadastro "
    "preexistente de acordo com os parâmetros de destino informados será apagado. Deseja confirmar a operação?");
const QString kSome = QStringLiteral(
    "Atenção! Ao realizar a replicação de parâmetros grupo fiscal imposto/inscrição estadual somente o cadastro de "
    "acordo com os parâmetros de destino informados será afetados. Deseja confirmar a operação?");
const QString kNoOrigin = QStringLiteral(
    "Não há parâmetro grupo fiscal Imposto/Inscrição Estadual cadastrada na origem para os parâmetros informados.");
const QString kNothingDone = QStringLiteral("Não foi possível concluir a replicação para os dados informados.");
const QString kDestMissing = QStringLiteral("Inscrição estadual de destino deve ser informada.");

QString quoted(const QStringList &keys)
{
    QStringList q;
    for (const QString &k : keys)
        q << QLatin1Char('\'') + k + QLatin1Char('\'');
    return q.join(QLatin1Char(','));
}

// Runs that end before Replica: nothing at the origin (tax 04 has no rows), or No.
struct StoppedRun {
    const char *name;
    const char *tax;
    bool asked;
};
constexpr StoppedRun kStoppedRuns[] = {
    {"origin without rows", "04", false},
    {"No to the question", "01", true},
};

class ReplicaTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
        ASSERT_TRUE(frm->sbtReplica->isEnabled());
        clearCalls();
    }

    // Opens the dialog (with the button unless `open` says otherwise) and runs `drive` in it;
    // a dialog still open afterwards is closed without confirming. Returns whether the
    // dialog was still open when `drive` ended.
    bool withDialog(const std::function<void(D &)> &drive, const std::function<void()> &open = {})
    {
        return runDialog<D>(drive, open ? open : [this] { clickButton(frm->sbtReplica); }, frm);
    }

    // Types into a box as a person does and, unless told otherwise, leaves it with Tab.
    void enter(QLineEdit *box, const QString &text, bool leave = true)
    {
        QTest::mouseClick(box, Qt::LeftButton);
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
        QApplication::processEvents();
        if (leave)
            pressKey(Qt::Key_Tab);
    }

    // A valid origin and destination, everything else as it stands.
    void fill(D &d, const QString &tax, const QString &company, const QString &registration, const QString &dest)
    {
        enter(d.medCdEmpresa, company);
        enter(d.medCdInscEsta, registration);
        enter(d.medCdImposto, tax);
        enter(d.medCdEmpDest, dest);
    }

    // The main screen's grid for that inner tab, loaded for the tax, company and registration.
    void showInner(vcl::TTabSheet *inner, const QString &tax, const QString &company, const QString &registration)
    {
        frm->medCdEmpresa->setText(company);
        frm->medInscEsta->setText(registration);
        frm->medImp->setText(tax);
        frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        if (inner == frm->tshCli)
            clickTab(frm->pgcCliente, frm->tshCli);
        ASSERT_EQ(frm->pgcCliente->ActivePage(), inner);
        clearCalls();
    }

    // Party -> group of the parameter rows of one tax and registration.
    QMap<QString, QString> rows(bool clients, const QString &tax, const QString &company,
                                const QString &registration) const
    {
        const std::string sql = clients
            ? "SELECT CDCLIENTE, CDGRUPOFISC FROM GRFISIMPIECLIE WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3"
            : "SELECT CDFORNECED, CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2 AND CDINSCESTA = $3";
        QMap<QString, QString> out;
        for (const TestDb::Row &r : db->query(sql, {tax.toStdString(), company.toStdString(), registration.toStdString()}))
            out.insert(QString::fromStdString(*r.at(0)), QString::fromStdString(*r.at(1)));
        return out;
    }

    QStringList registrationsOf(const QString &company) const
    {
        QStringList out;
        for (const TestDb::Row &r : db->query("SELECT CDINSCESTA FROM INSCRESTAD WHERE CDEMPRESA = $1 ORDER BY CDINSCESTA",
                                              {company.toStdString()}))
            out << QString::fromStdString(*r.at(0));
        return out;
    }

    // A registration of the company with supplier (or client) rows for the tax.
    QString originOf(bool clients, const QString &tax, const QString &company) const
    {
        return QString::fromStdString(
            db->scalar(std::string("SELECT MIN(CDINSCESTA) FROM ") + (clients ? "GRFISIMPIECLIE" : "GRFISIMPIEFORN")
                           + " WHERE CDIMPOSTO = $1 AND CDEMPRESA = $2",
                       {tax.toStdString(), company.toStdString()})
                .value_or(""));
    }

    std::int64_t parameterRows() const
    {
        return db->count("SELECT (SELECT COUNT(*) FROM GRFISIMPIEFORN) + (SELECT COUNT(*) FROM GRFISIMPIECLIE)");
    }

    QList<Shown> questions() const
    {
        QList<Shown> out;
        for (const Shown &s : script->shown())
            if (s.kind == Shown::Message && s.messageType == clientlib::mtConfirmation)
                out << s;
        return out;
    }

    ger10200::TfrmParamGrupFiscal *frm = nullptr;
};

TEST_F(ReplicaTest, OpensWithTheTaxFocusedAllChosenAndNoConnectionOfItsOwn)
{
    QStringList path;
    const bool open = withDialog([&](D &d) {
        EXPECT_EQ(d.windowTitle(), kTitle);
        EXPECT_EQ(d.lblCodTela->Caption(), QStringLiteral("GER00508"));
        EXPECT_EQ(d.size(), QSize(487, 199));
        EXPECT_EQ(d.HelpContext(), 12400502);
        EXPECT_EQ(QApplication::focusWidget(), d.medCdImposto);
        EXPECT_TRUE(d.rbtTGrupoFisc->isChecked());
        EXPECT_TRUE(d.rbtTodasInsc->isChecked());
        EXPECT_FALSE(d.btpGrupoFisc->isEnabled());
        EXPECT_FALSE(d.btpInscrEstad->isEnabled());
        EXPECT_TRUE(d.ListaGrupoFiscal().isEmpty());
        EXPECT_TRUE(d.ListaInscEstaDest().isEmpty());
        EXPECT_TRUE(d.findChildren<clientlib::TNetConnection *>().isEmpty());
        // The registration box takes 16 characters in upper case.
        enter(d.medCdInscEsta, QStringLiteral("ab12345678901234567"), false);
        EXPECT_EQ(d.medCdInscEsta->Text(), QStringLiteral("AB12345678901234"));
        d.medCdInscEsta->clear();
        d.medCdEmpresa->setFocus(Qt::TabFocusReason);
        for (int i = 0; i < 7; ++i) {
            path << QApplication::focusWidget()->objectName();
            pressKey(Qt::Key_Tab);
        }
        // Within a radio pair the arrows move, and choose as a click does.
        d.rbtTGrupoFisc->setFocus(Qt::TabFocusReason);
        pressKey(Qt::Key_Right);
        EXPECT_TRUE(d.rbtLGrupoFisc->isChecked());
        EXPECT_TRUE(d.btpGrupoFisc->isEnabled());
    });
    EXPECT_TRUE(open);
    // Name boxes and buttons are skipped; a radio pair is one stop, at its checked button.
    EXPECT_EQ(path, (QStringList{QStringLiteral("medCdEmpresa"), QStringLiteral("medCdInscEsta"),
                                 QStringLiteral("medCdImposto"), QStringLiteral("rbtTGrupoFisc"),
                                 QStringLiteral("medCdEmpDest"), QStringLiteral("rbtTodasInsc"),
                                 QStringLiteral("medCdEmpresa")}));
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
}

// The button, the menu entry and Ctrl+R open the dialog; the inner tab's grid is reloaded
// after it closes, whether it replicated or not.
TEST_F(ReplicaTest, EveryWayOfOpeningItReloadsTheInnerGridAfterwards)
{
    const QString company = QStringLiteral("01");
    const QString registration = originOf(false, QStringLiteral("01"), company);
    showInner(frm->tshFornecedor, QStringLiteral("01"), company, registration);
    const struct {
        const char *name;
        std::function<void()> open;
    } ways[] = {
        {"button", [&] { clickButton(frm->sbtReplica); }},
        {"menu", [&] { triggerMenu(frm->mnuReplica); }},
        {"Ctrl+R", [&] {
             frm->medCdEmpresa->setFocus(Qt::OtherFocusReason);
             pressKey(Qt::Key_R, Qt::ControlModifier);
         }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        clearCalls();
        script->clear();
        bool opened = false;
        withDialog([&](D &d) { opened = true; clickButton(d.sbtFechar); }, way.open);
        EXPECT_TRUE(opened);
        EXPECT_EQ(methods(), QStringList{QStringLiteral("GetFornInsc")});
        EXPECT_EQ(callsOf(QStringLiteral("GetFornInsc")).value(0).params,
                  (QCborArray{QStringLiteral("01"), company, registration}));
    }
    EXPECT_TRUE(ger10200::frmReplica.isNull()) << "each closed dialog is released";
}

// The replication's button stays on while a row of the inner grid is edited, and the inner
// tabs stay open to a click: either would leave the edit unseen for the reload after them to
// drop, so the edit is saved first.
TEST_F(ReplicaTest, AnEditInTheInnerGridIsSavedBeforeItIsLeftUnseen)
{
    const QString tax = QStringLiteral("01"), company = QStringLiteral("01");
    const QString registration = originOf(false, tax, company);
    const struct {
        const char *name;
        std::function<void()> leave;
        const char *digit;
    } ways[] = {
        {"the replication", [&] { withDialog([this](D &d) { clickButton(d.sbtFechar); }); }, "2"},
        {"the inner tab Cliente", [&] { clickTab(frm->pgcCliente, frm->tshCli); }, "3"},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        clickTab(frm->pgcCliente, frm->tshFornecedor);
        frm->medCdEmpresa->setFocus(Qt::TabFocusReason);   // so that entering the grid reads it
        showInner(frm->tshFornecedor, tax, company, registration);
        dataset::TClientDataSet *cds = frm->cdsFornInsc;
        ASSERT_GT(cds->rowCount(), 0);
        const QString supplier =
            cds->valueAt(0, cds->FieldByName(QStringLiteral("CDFORNECED"))->Index()).value_or(QString());
        focusCell(frm->dbgFornInsc, 0, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QString::fromLatin1(way.digit));
        ASSERT_EQ(cds->State(), dataset::dsEdit);
        way.leave();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_EQ(rows(false, tax, company, registration).value(supplier), QStringLiteral("00") + way.digit);
        script->clear();
    }
}

// Each failed check shows its message, puts the focus where to mend it, keeps the dialog as
// the user left it and calls nothing.
TEST_F(ReplicaTest, EachCheckOfAConfirmationStopsWithItsMessageAndTheFocusOnTheField)
{
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    struct Case {
        const char *name;
        std::function<void(D &)> setup;
        const char *message;
        std::function<QWidget *(D &)> focus;
    };
    const Case cases[] = {
        {"nothing given", [](D &) {}, "Imposto de origem deve ser informado.", [](D &d) { return d.medCdImposto; }},
        {"no origin company", [&](D &d) { enter(d.medCdImposto, QStringLiteral("1")); },
         "Empresa de origem deve ser informada.", [](D &d) { return d.medCdEmpresa; }},
        {"no origin registration", [&](D &d) {
             enter(d.medCdImposto, QStringLiteral("1"));
             enter(d.medCdEmpresa, QStringLiteral("1"));
         }, "Incrição estadual de origem deve ser informada.", [](D &d) { return d.medCdInscEsta; }},
        {"unknown tax typed, focus still in its box", [&](D &d) {
             fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, QStringLiteral("01"));
             enter(d.medCdImposto, QStringLiteral("55"), false);
         }, "Imposto não cadastrado.", [](D &d) { return d.medCdImposto; }},
        {"group list with nothing chosen", [&](D &d) {
             fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, QStringLiteral("02"));
             choose(d.rbtLGrupoFisc);
         }, "Grupo fiscal deve ser informado.", [](D &d) { return d.rbtLGrupoFisc; }},
        {"no destination company", [&](D &d) {
             fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, QString());
         }, "Empresa de destino deve ser informada.", [](D &d) { return d.medCdEmpDest; }},
        {"destination list with nothing chosen", [&](D &d) {
             fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, QStringLiteral("02"));
             choose(d.rbtListInscEsta);
         }, "Inscrição estadual de destino deve ser informada.", [](D &d) { return d.rbtListInscEsta; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        script->clear();
        clearCalls();
        QStringList before;
        const bool open = withDialog([&](D &d) {
            c.setup(d);
            before = {d.medCdImposto->Text(), d.medCdEmpresa->Text(), d.medCdInscEsta->Text(), d.medCdEmpDest->Text()};
            script->clear();
            clickButton(d.sbtConfirma);
            EXPECT_EQ(script->messages(), QStringList{QString::fromUtf8(c.message)});
            EXPECT_EQ(QApplication::focusWidget(), c.focus(d));
            EXPECT_EQ((QStringList{d.medCdImposto->Text(), d.medCdEmpresa->Text(), d.medCdInscEsta->Text(),
                                   d.medCdEmpDest->Text()}),
                      before);
        });
        EXPECT_TRUE(open);
        EXPECT_TRUE(callsOf(QStringLiteral("GetFornInscGrup")).isEmpty());
        EXPECT_TRUE(callsOf(QStringLiteral("Replica")).isEmpty());
    }
}

// A code accepted when the focus left its box is not looked up again on confirming: a tax
// removed meanwhile goes on to the server, which finds nothing at the origin.
TEST_F(ReplicaTest, ACodeAcceptedOnLeavingItsBoxIsNotLookedUpAgain)
{
    db->exec("INSERT INTO IMPOSTO (CDIMPOSTO, NMIMPOSTO) VALUES ('09', 'Imposto provisório')");
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    withDialog([&](D &d) {
        fill(d, QStringLiteral("9"), QStringLiteral("1"), reg, QStringLiteral("1"));
        EXPECT_EQ(d.medCdImposto->Text(), QStringLiteral("09"));
        EXPECT_EQ(d.edtNmImposto->text(), QStringLiteral("Imposto provisório"));
        EXPECT_EQ(d.medCdEmpDest->Text(), QStringLiteral("01"));
        db->exec("DELETE FROM IMPOSTO WHERE CDIMPOSTO = '09'");
        clickButton(d.sbtConfirma);
    });
    EXPECT_EQ(callsOf(QStringLiteral("GetFornInscGrup")).size(), 1);
    EXPECT_FALSE(script->messages().contains(QStringLiteral("Imposto não cadastrado.")));
    EXPECT_TRUE(callsOf(QStringLiteral("Replica")).isEmpty());
}

// Changing a company clears what belongs to it; the fiscal-group radios drop the chosen
// list, the destination radios keep theirs.
TEST_F(ReplicaTest, ChangesClearWhatBelongsToThemAndTheRadiosKeepOrDropTheirList)
{
    const QStringList dest02 = registrationsOf(QStringLiteral("02"));
    ASSERT_GE(dest02.size(), 2);
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    withDialog([&](D &d) {
        fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, QStringLiteral("02"));
        EXPECT_FALSE(d.edtNmEmpresa->text().isEmpty());
        enter(d.medCdEmpresa, QStringLiteral("03"));
        EXPECT_TRUE(d.medCdInscEsta->Text().isEmpty()) << "the origin registration belonged to the old company";
        EXPECT_EQ(d.edtNmEmpresa->text(),
                  QString::fromStdString(*db->scalar("SELECT NMRAZSOCEMPR FROM EMPRESA WHERE CDEMPRESA = '03'")));

        choose(d.rbtLGrupoFisc);
        script->push(Answer::pickKeys({QStringLiteral("001"), QStringLiteral("002")}));
        clickButton(d.btpGrupoFisc);
        EXPECT_EQ(d.ListaGrupoFiscal(), QStringLiteral("'001','002'"));
        choose(d.rbtTGrupoFisc);
        EXPECT_TRUE(d.ListaGrupoFiscal().isEmpty());
        EXPECT_FALSE(d.btpGrupoFisc->isEnabled());
        choose(d.rbtLGrupoFisc);
        EXPECT_TRUE(d.ListaGrupoFiscal().isEmpty());

        choose(d.rbtListInscEsta);
        script->push(Answer::pickKeys({dest02.first()}));
        clickButton(d.btpInscrEstad);
        EXPECT_EQ(d.ListaInscEstaDest(), quoted({dest02.first()}));
        choose(d.rbtTodasInsc);
        EXPECT_FALSE(d.btpInscrEstad->isEnabled());
        choose(d.rbtListInscEsta);
        EXPECT_EQ(d.ListaInscEstaDest(), quoted({dest02.first()})) << "the destination list is kept";

        // A list chosen for company 02 is never sent for company 01.
        enter(d.medCdEmpDest, QStringLiteral("01"));
        EXPECT_TRUE(d.ListaInscEstaDest().isEmpty());
        EXPECT_TRUE(d.rbtListInscEsta->isChecked());
        script->clear();
        enter(d.medCdEmpresa, QStringLiteral("01"));
        enter(d.medCdInscEsta, reg);
        script->push(Answer::pickKeys({QStringLiteral("001")}));
        choose(d.rbtLGrupoFisc);
        clickButton(d.btpGrupoFisc);
        clickButton(d.sbtConfirma);
        EXPECT_EQ(script->messages(), QStringList{kDestMissing});
        EXPECT_EQ(QApplication::focusWidget(), d.rbtListInscEsta);
    });
    EXPECT_TRUE(callsOf(QStringLiteral("GetFornInscGrup")).isEmpty());
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// The registration search and check work under the origin company only; the origin list
// shows numbers through their person type's mask, the destination list as stored.
TEST_F(ReplicaTest, RegistrationsBelongToTheirCompanyAndTheListsShowTheirNumbers)
{
    db->exec("INSERT INTO INSCRESTAD (CDEMPRESA, CDINSCESTA, NRINSJURIEST, NMREPRINSEST, SGESTADO, IDTPIJURIEST) "
             "VALUES ('01', 'SEMTIPO', '12345678000199', 'Sem Tipo', 'SP', NULL)");
    const QString reg01 = registrationsOf(QStringLiteral("01")).first();
    const std::string number01 =
        *db->scalar("SELECT NRINSJURIEST FROM INSCRESTAD WHERE CDEMPRESA = '01' AND CDINSCESTA = $1", {reg01.toStdString()});
    auto cell = [](const Shown &list, const QString &code) {
        const int key = list.table.column(QStringLiteral("CDINSCESTA"));
        const int number = list.table.column(QStringLiteral("NRINSJURIEST"));
        for (const QStringList &row : list.table.rows)
            if (row.value(key) == code)
                return row.value(number);
        return QStringLiteral("<absent>");
    };
    withDialog([&](D &d) {
        // No company: the search stops before any list, in the company box.
        clickButton(d.btpInscEsta);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Empresa de origem deve ser informada.")});
        EXPECT_EQ(QApplication::focusWidget(), d.medCdEmpresa);

        enter(d.medCdEmpresa, QStringLiteral("02"));
        script->clear();
        enter(d.medCdInscEsta, reg01);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Inscrição estadual não cadastrada.")});
        EXPECT_EQ(QApplication::focusWidget(), d.medCdInscEsta);

        enter(d.medCdEmpresa, QStringLiteral("01"));
        script->clear();
        script->push(Answer::pickRow(QStringLiteral("CDINSCESTA"), QStringLiteral("SEMTIPO")));
        clickButton(d.btpInscEsta);
        EXPECT_EQ(d.medCdInscEsta->Text(), QStringLiteral("SEMTIPO"));
        ASSERT_EQ(script->shown().size(), 1);
        const Shown origin = script->shown().first();
        EXPECT_EQ(origin.title, QStringLiteral("Inscrição Estadual"));
        EXPECT_EQ(origin.table.rows.size(), 4);
        EXPECT_TRUE(cell(origin, QStringLiteral("SEMTIPO")).isEmpty()) << "no person type, no number";
        const QString formatted = cell(origin, reg01);
        EXPECT_NE(formatted, QString::fromStdString(number01));
        EXPECT_EQ(QString(formatted).remove(QRegularExpression(QStringLiteral("\\D"))), QString::fromStdString(number01));

        enter(d.medCdEmpDest, QStringLiteral("01"));
        choose(d.rbtListInscEsta);
        script->clear();
        script->push(Answer::pickKeys({reg01}));
        clickButton(d.btpInscrEstad);
        ASSERT_EQ(script->shown().size(), 1);
        const Shown dest = script->shown().first();
        EXPECT_EQ(dest.title, QStringLiteral("Inscrição Estadual"));
        EXPECT_EQ(cell(dest, reg01), QString::fromStdString(number01));
        EXPECT_EQ(cell(dest, QStringLiteral("SEMTIPO")), QStringLiteral("12345678000199"));

        // A destination company without registrations says so instead of an empty list.
        db->exec("INSERT INTO EMPRESA (CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR) VALUES ('04', 'Nova', 'Nova Ltda.')");
        enter(d.medCdEmpDest, QStringLiteral("04"));
        script->clear();
        clickButton(d.btpInscrEstad);
        EXPECT_EQ(script->messages(),
                  QStringList{QStringLiteral("Não há inscrição estadual cadastrada para a empresa informada.")});
        EXPECT_TRUE(d.ListaInscEstaDest().isEmpty());
    });
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

// An origin without rows is told before any question; No keeps every field and selection
// and the database; neither leaves an animation on screen.
TEST_F(ReplicaTest, AnEmptyOriginOrANoChangesNothing)
{
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    ASSERT_TRUE(rows(false, QStringLiteral("04"), QStringLiteral("01"), reg).isEmpty());
    const QString dest = registrationsOf(QStringLiteral("02")).first();
    const std::int64_t before = parameterRows();
    for (const StoppedRun &c : kStoppedRuns) {
        SCOPED_TRACE(c.name);
        const QString tax = QString::fromLatin1(c.tax);
        script->clear();
        clearCalls();
        const bool open = withDialog([&](D &d) {
            fill(d, tax, QStringLiteral("01"), reg, QStringLiteral("02"));
            choose(d.rbtListInscEsta);
            script->push(Answer::pickKeys({dest}));
            clickButton(d.btpInscrEstad);
            script->clear();
            if (c.asked)
                script->push(Answer::no());
            clickButton(d.sbtConfirma);
            EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
            EXPECT_EQ(d.medCdImposto->Text(), tax);
            EXPECT_EQ(d.medCdEmpresa->Text(), QStringLiteral("01"));
            EXPECT_EQ(d.medCdInscEsta->Text(), reg);
            EXPECT_EQ(d.medCdEmpDest->Text(), QStringLiteral("02"));
            EXPECT_EQ(d.ListaGrupoFiscal(), QStringLiteral("T"));
            EXPECT_EQ(d.ListaInscEstaDest(), quoted({dest}));
            const auto reads = callsOf(QStringLiteral("GetFornInscGrup"));
            ASSERT_EQ(reads.size(), 1);
            EXPECT_EQ(texts(reads.first().params),
                      (QStringList{tax, QStringLiteral("01"), reg, QStringLiteral("T")}));
            EXPECT_EQ(reads.first().serverName, QStringLiteral("Ger10200.rdmParamGrupFiscal"));
            EXPECT_EQ(reads.first().waitKind, 6);
            EXPECT_EQ(reads.first().waitWindow.data(), &d);
        });
        EXPECT_TRUE(open);
        EXPECT_EQ(questions().size(), c.asked ? 1 : 0);
        EXPECT_EQ(script->messages(), c.asked ? QStringList{kAll} : QStringList{kNoOrigin});
        EXPECT_TRUE(callsOf(QStringLiteral("Replica")).isEmpty());
        EXPECT_EQ(parameterRows(), before);
    }
}

// A "Lista" of destination registrations left holding the "T" of an earlier "Todas" run is
// refused like an empty one: sent, it would replace the parameters of every registration
// of the destination company.
TEST_F(ReplicaTest, ADestinationListLeftAtTIsRefusedAndNothingIsSent)
{
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    const std::int64_t before = parameterRows();
    for (const StoppedRun &c : kStoppedRuns) {
        SCOPED_TRACE(c.name);
        const QString tax = QString::fromLatin1(c.tax);
        script->clear();
        clearCalls();
        withDialog([&](D &d) {
            fill(d, tax, QStringLiteral("01"), reg, QStringLiteral("02"));
            if (c.asked)
                script->push(Answer::no());
            clickButton(d.sbtConfirma);
            ASSERT_EQ(d.ListaInscEstaDest(), QStringLiteral("T"));
            choose(d.rbtListInscEsta);
            EXPECT_EQ(d.ListaInscEstaDest(), QStringLiteral("T"));
            script->clear();
            clickButton(d.sbtConfirma);
            EXPECT_EQ(script->messages(), QStringList{kDestMissing});
            EXPECT_EQ(QApplication::focusWidget(), d.rbtListInscEsta);
        });
        EXPECT_EQ(callsOf(QStringLiteral("GetFornInscGrup")).size(), 1) << "only the first run read the origin";
        EXPECT_TRUE(callsOf(QStringLiteral("Replica")).isEmpty());
    }
    EXPECT_EQ(parameterRows(), before);
}

// Nothing replicated, or refused by the server: the box says so and the dialog stays open as
// the user left it, with nothing changed and no animation left.
TEST_F(ReplicaTest, AReplicationOfNothingOrARefusedOneKeepsTheDialogOpenAsItWas)
{
    db->exec("INSERT INTO EMPRESA (CDEMPRESA, NMEMPRESA, NMRAZSOCEMPR) VALUES ('04', 'Nova', 'Nova Ltda.')");
    db->exec("INSERT INTO INSCRESTAD (CDEMPRESA, CDINSCESTA) VALUES ('02', 'SAIU')");
    const QString reg = originOf(false, QStringLiteral("01"), QStringLiteral("01"));
    const std::int64_t before = parameterRows();
    const struct {
        const char *name;
        const char *dest;
        const char *chosen;   // destination list, or nullptr for "Todas"
        QString says;
    } cases[] = {
        {"a company without registrations", "04", nullptr, kNothingDone},
        // Another user removes the chosen registration meanwhile.
        {"a registration removed meanwhile", "02", "SAIU",
         QStringLiteral("Inscrição estadual SAIU não cadastrada para a empresa 02.")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        script->clear();
        clearCalls();
        const QString dest = QString::fromLatin1(c.dest);
        const bool open = withDialog([&](D &d) {
            fill(d, QStringLiteral("01"), QStringLiteral("01"), reg, dest);
            if (c.chosen) {
                choose(d.rbtListInscEsta);
                script->push(Answer::pickKeys({QString::fromLatin1(c.chosen)}));
                clickButton(d.btpInscrEstad);
                db->exec("DELETE FROM INSCRESTAD WHERE CDINSCESTA = 'SAIU'");
            }
            script->push(Answer::yes());
            clickButton(d.sbtConfirma);
            EXPECT_EQ(d.medCdEmpDest->Text(), dest);
            EXPECT_EQ(d.medCdInscEsta->Text(), reg);
            EXPECT_EQ(d.ListaInscEstaDest(), c.chosen ? quoted({QString::fromLatin1(c.chosen)}) : QStringLiteral("T"));
            EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
        });
        EXPECT_TRUE(open);
        ASSERT_FALSE(script->shown().isEmpty());
        const Shown &result = script->shown().last();
        EXPECT_EQ(result.text, c.says);
        EXPECT_EQ(result.messageType, clientlib::mtError);
        EXPECT_EQ(result.buttons, clientlib::mbOK);
        ASSERT_EQ(callsOf(QStringLiteral("Replica")).size(), 1);
        EXPECT_EQ(texts(callsOf(QStringLiteral("Replica")).first().params),
                  (QStringList{QStringLiteral("01"), QStringLiteral("01"), reg, QStringLiteral("T"), dest,
                               c.chosen ? quoted({QString::fromLatin1(c.chosen)}) : QStringLiteral("T"),
                               QStringLiteral("true"), QStringLiteral("false")}));
        EXPECT_EQ(parameterRows(), before);
    }
}

// A replication that succeeds closes the dialog; the destination holds exactly the origin's
// rows (all of them, or those of the chosen groups), the parameters outside the destination
// are untouched, and the main screen's grid shows the database.
TEST_F(ReplicaTest, AReplicationCopiesTheOriginAsTheQuestionAnnouncedAndTheGridShowsIt)
{
    const QString tax = QStringLiteral("01");
    struct Case {
        const char *name;
        bool clients;
        QString destCompany;
        bool someGroups;
        bool someRegistrations;
    };
    const Case cases[] = {
        {"suppliers, every group, every registration of the same company", false, QStringLiteral("01"), false, false},
        {"clients, chosen groups, one registration of another company", true, QStringLiteral("02"), true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString origin = originOf(c.clients, tax, QStringLiteral("01"));
        const QMap<QString, QString> source = rows(c.clients, tax, QStringLiteral("01"), origin);
        ASSERT_GT(source.size(), 2);
        const QStringList groups = c.someGroups ? QStringList{source.first(), source.last()} : QStringList();
        const QStringList all = registrationsOf(c.destCompany);
        const QStringList targets = c.someRegistrations ? QStringList{all.first()} : all;
        // What each destination registration holds afterwards, and what nothing may touch.
        QMap<QString, QMap<QString, QString>> expected;
        for (const QString &target : all) {
            QMap<QString, QString> now = rows(c.clients, tax, c.destCompany, target);
            if (targets.contains(target)) {
                if (groups.isEmpty()) {
                    now = source;
                } else {
                    now.removeIf([&](auto it) { return groups.contains(it.value()); });
                    for (auto it = source.begin(); it != source.end(); ++it)
                        if (groups.contains(it.value()))
                            now.insert(it.key(), it.value());
                }
            }
            expected.insert(target, now);
        }
        const std::int64_t otherTaxes = db->count(
            std::string("SELECT COUNT(*) FROM ") + (c.clients ? "GRFISIMPIECLIE" : "GRFISIMPIEFORN")
            + " WHERE CDIMPOSTO <> '01'");

        showInner(c.clients ? frm->tshCli : frm->tshFornecedor, tax, c.destCompany, targets.first());
        script->clear();
        const bool open = withDialog([&](D &d) {
            fill(d, tax, QStringLiteral("01"), origin, c.destCompany);
            if (c.someGroups) {
                choose(d.rbtLGrupoFisc);
                script->push(Answer::pickKeys(groups));
                clickButton(d.btpGrupoFisc);
            }
            if (c.someRegistrations) {
                choose(d.rbtListInscEsta);
                script->push(Answer::pickKeys(targets));
                clickButton(d.btpInscrEstad);
            }
            script->push(Answer::yes());
            clickButton(d.sbtConfirma);
        });
        EXPECT_FALSE(open);
        const QString groupSel = c.someGroups ? quoted(groups) : QStringLiteral("T");
        const QString regSel = c.someRegistrations ? quoted(targets) : QStringLiteral("T");
        const QString read = c.clients ? QStringLiteral("GetCliInscGrup") : QStringLiteral("GetFornInscGrup");
        const QString reload = c.clients ? QStringLiteral("GetCliInsc") : QStringLiteral("GetFornInsc");
        EXPECT_EQ(methods(), (QStringList{read, QStringLiteral("Replica"), reload}));
        EXPECT_EQ(texts(callsOf(read).value(0).params), (QStringList{tax, QStringLiteral("01"), origin, groupSel}));
        const auto replica = callsOf(QStringLiteral("Replica"));
        ASSERT_EQ(replica.size(), 1);
        EXPECT_EQ(texts(replica.first().params),
                  (QStringList{tax, QStringLiteral("01"), origin, groupSel, c.destCompany, regSel,
                               QString::fromLatin1(c.clients ? "false" : "true"),
                               QString::fromLatin1(c.clients ? "true" : "false")}));
        EXPECT_EQ(replica.first().waitKind, 1);
        EXPECT_EQ(callsOf(read).value(0).waitKind, 6);
        EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);

        const QList<Shown> asked = questions();
        ASSERT_EQ(asked.size(), 1);
        EXPECT_EQ(asked.first().text, c.someGroups ? kSome : kAll);
        EXPECT_EQ(asked.first().buttons, clientlib::mbYesNo);
        ASSERT_FALSE(script->shown().isEmpty());
        EXPECT_EQ(script->shown().last().text, QStringLiteral("A Replicação foi realizada com sucesso."));
        EXPECT_EQ(script->shown().last().messageType, clientlib::mtInformation);

        for (const QString &target : all)
            EXPECT_EQ(rows(c.clients, tax, c.destCompany, target), expected.value(target)) << target.toStdString();
        EXPECT_EQ(db->count(std::string("SELECT COUNT(*) FROM ") + (c.clients ? "GRFISIMPIECLIE" : "GRFISIMPIEFORN")
                            + " WHERE CDIMPOSTO <> '01'"),
                  otherTaxes);
        // Every party, with its group for the registration on screen or none.
        const std::string shown = c.clients
            ? "SELECT C.CDCLIENTE, P.CDGRUPOFISC FROM CLIENTE C LEFT JOIN GRFISIMPIECLIE P ON P.CDCLIENTE = C.CDCLIENTE"
              " AND P.CDIMPOSTO = $1 AND P.CDEMPRESA = $2 AND P.CDINSCESTA = $3"
            : "SELECT F.CDFORNECED, P.CDGRUPOFISC FROM FORNECEDOR F LEFT JOIN GRFISIMPIEFORN P ON P.CDFORNECED = F.CDFORNECED"
              " AND P.CDIMPOSTO = $1 AND P.CDEMPRESA = $2 AND P.CDINSCESTA = $3";
        EXPECT_TRUE(databaseShows(c.clients ? frm->cdsCliInsc : frm->cdsFornInsc,
                                  QString::fromLatin1(c.clients ? "CDCLIENTE" : "CDFORNECED"), shown,
                                  {tax.toStdString(), c.destCompany.toStdString(), targets.first().toStdString()}));
    }
}

// The dialog's own lookups, on each database the suite runs against (PostgreSQL too when
// its test cluster is up): the tax check's null-default column differs between databases.
class ReplicaQueries : public ::testing::TestWithParam<Backend> {};

TEST_P(ReplicaQueries, TheLookupsRunOnTheDatabase)
{
    auto db = TestDb::create(GetParam());
    db->exec("UPDATE IMPOSTO SET IDORGARRECAD = NULL WHERE CDIMPOSTO = '02'");
    ServerProcess server(db->url());
    pointClientAt(*db, server);
    {
        TfrmReplica d;
        const struct {
            clientlib::TADOIBQuery *query;
            QList<std::pair<const char *, const char *>> params;
            const char *column;
            std::optional<std::string> expected;   // nullopt: no row
        } cases[] = {
            {d.qryValidImposto, {{"P_CDIMPOSTO", "01"}}, "NMIMPOSTO",
             db->scalar("SELECT NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO = '01'")},
            {d.qryValidImposto, {{"P_CDIMPOSTO", "01"}}, "IDORGARRECAD",
             db->scalar("SELECT IDORGARRECAD FROM IMPOSTO WHERE CDIMPOSTO = '01'")},
            {d.qryValidImposto, {{"P_CDIMPOSTO", "02"}}, "IDORGARRECAD", std::string("F")},
            {d.qryValidImposto, {{"P_CDIMPOSTO", "99"}}, "CDIMPOSTO", std::nullopt},
            {d.qryValidEmpresa, {{"P_CDEMPRESA", "02"}}, "NMRAZSOCEMPR",
             db->scalar("SELECT NMRAZSOCEMPR FROM EMPRESA WHERE CDEMPRESA = '02'")},
            {d.qryValidInscEstad, {{"P_CDEMPRESA", "01"}, {"P_CDINSCESTA", "nenhuma"}}, "CDINSCESTA", std::nullopt},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(c.query->objectName().toStdString() + " " + c.column);
            c.query->Close();
            for (const auto &[name, value] : c.params)
                c.query->ParamByName(QString::fromLatin1(name)).setAsString(QString::fromLatin1(value));
            ASSERT_NO_THROW(c.query->Open());
            ASSERT_EQ(c.query->IsEmpty(), !c.expected.has_value());
            if (c.expected) {
                EXPECT_EQ(c.query->FieldByName(QString::fromLatin1(c.column))->AsString().toStdString(), *c.expected);
            }
        }
        for (clientlib::TADOIBQuery *list : {d.qryEmpresa, d.qryImposto, d.qryGrupoFiscal}) {
            list->Close();
            ASSERT_NO_THROW(list->Open()) << list->objectName().toStdString();
            EXPECT_FALSE(list->IsEmpty());
        }
    }
    clientlib::dtmDBGeral().close();
}

INSTANTIATE_TEST_SUITE_P(Backends, ReplicaQueries, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

// "Simular" runs the checks of confirming first, then tells what the replication would
// change without asking, copying or closing; the replication confirmed afterwards changes
// exactly that.
TEST_F(ReplicaTest, SimularTellsWhatTheReplicationWouldDoAndChangesNothing)
{
    const QString tax = QStringLiteral("01");
    const QString company = QStringLiteral("01");
    const QString origin = originOf(false, tax, company);
    const QString dest = QStringLiteral("02");
    showInner(frm->tshFornecedor, tax, dest, registrationsOf(dest).first());
    const auto dump = [this] {
        QMap<QString, QString> out;
        for (const TestDb::Row &r : db->query("SELECT CDIMPOSTO || '/' || CDEMPRESA || '/' || CDINSCESTA || '/' || "
                                              "CDFORNECED, CDGRUPOFISC FROM GRFISIMPIEFORN"))
            out.insert(QString::fromStdString(*r.at(0)), QString::fromStdString(r.at(1).value_or("")));
        return out;
    };
    const QMap<QString, QString> before = dump();
    script->clear();
    QStringList preview;
    const bool open = withDialog([&](D &d) {
        clickButton(d.sbtSimular);
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto de origem deve ser informado.")});
        script->clear();
        fill(d, tax, company, origin, dest);
        clickButton(d.sbtSimular);
        preview = script->messages();
        EXPECT_TRUE(questions().isEmpty());
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(dump(), before);
        EXPECT_TRUE(callsOf(QStringLiteral("Replica")).isEmpty());
        script->clear();
        script->push(Answer::yes());
        clickButton(d.sbtConfirma);
    });
    EXPECT_FALSE(open);
    const auto simulated = callsOf(QStringLiteral("SimulaReplica"));
    ASSERT_EQ(simulated.size(), 1);
    ASSERT_EQ(callsOf(QStringLiteral("Replica")).size(), 1);
    EXPECT_EQ(texts(simulated.first().params), texts(callsOf(QStringLiteral("Replica")).first().params));

    const QMap<QString, QString> after = dump();
    qint64 changed = 0, inserted = 0, deleted = 0;
    for (auto it = after.begin(); it != after.end(); ++it) {
        if (!before.contains(it.key()))
            ++inserted;
        else if (before.value(it.key()) != it.value())
            ++changed;
    }
    for (auto it = before.begin(); it != before.end(); ++it)
        deleted += !after.contains(it.key());
    ASSERT_GT(changed + inserted + deleted, 0);
    dataset::DataPacket counts;
    for (const char *f : {"NMTABELA", "QTALTERADOS", "QTINCLUIDOS", "QTEXCLUIDOS"})
        counts.fields.push_back({QString::fromLatin1(f), 20});
    counts.rows.append(dataset::Row{QStringLiteral("GRFISIMPIEFORN"), QString::number(changed), QString::number(inserted),
                                    QString::number(deleted)});
    EXPECT_EQ(preview, QStringList{ger10200::previewText(counts)
                                   + QStringLiteral("\n\nNada foi gravado: isto é só uma simulação.")});
}

} // namespace
} // namespace fiscal::test
