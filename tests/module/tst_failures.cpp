// What the main screen leaves behind when a check refuses a code or the server fails: the
// message, where the focus is, which data set stays closed or in edit state, what is undone.

#include "modulefixture.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

namespace fiscal::test {
namespace {

using dataset::TClientDataSet;

class FailureTest : public OpenScreenTest {
protected:
    QString valueAt(TClientDataSet *cds, int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
};

TEST_F(FailureTest, AnUnknownTaxIsRefusedOnLeavingTheBoxAndAgainOnEnteringTheGrid)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM IMPOSTO WHERE CDIMPOSTO = '99'"), 0);
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    typeKeys(QStringLiteral("99"));
    pressKey(Qt::Key_Tab);
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto não cadastrado.")});
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
    EXPECT_TRUE(frm->edtNmImposto->text().isEmpty());

    script->clear();
    frm->dbgImpFili->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto não cadastrado.")})
        << script->messages().join('\n').toStdString();
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
    EXPECT_TRUE(callsOf(QStringLiteral("GetImpFili")).isEmpty());
    EXPECT_FALSE(frm->cdsImpFili->Active());
}

// The registration box takes the code as typed: neither cut at a length nor upper-cased,
// so a longer code is never taken for another registration.
TEST_F(FailureTest, TheRegistrationBoxChecksTheCodeAsTyped)
{
    db->exec("INSERT INTO INSCRESTAD (CDEMPRESA, CDINSCESTA, SGESTADO) VALUES ('03', 'ABCDEFGHIJKLMNOP', 'SP'), "
             "('03', 'ie-minuscula', 'SP')");
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    frm->medCdEmpresa->setText(QStringLiteral("03"));
    const struct {
        const char *typed;
        QStringList messages;
    } cases[] = {
        {"ABCDEFGHIJKLMNOPQ", {QStringLiteral("Inscrição Estadual não cadastrada.")}},
        {"ie-minuscula", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        script->clear();
        frm->medInscEsta->setFocus(Qt::TabFocusReason);
        frm->medInscEsta->selectAll();
        typeKeys(QString::fromUtf8(c.typed));
        pressKey(Qt::Key_Tab);
        EXPECT_EQ(frm->medInscEsta->Text(), QString::fromUtf8(c.typed));
        EXPECT_EQ(script->messages(), c.messages);
    }
}

// A code the box refuses keeps the user on its tab, whichever way the switch was asked
// for: one message, the focus back in the box, the tab and its menu check unchanged.
TEST_F(FailureTest, ARefusedCodeKeepsTheTab)
{
    enum Way { Click, Menu, CtrlTab };
    for (const Way way : {Click, Menu, CtrlTab}) {
        SCOPED_TRACE(way);
        clickTab(frm->pgcPadrao, frm->tshImpFili);
        frm->medCdImposto->setFocus(Qt::TabFocusReason);
        frm->medCdImposto->selectAll();
        typeKeys(QStringLiteral("99"));
        script->clear();
        switch (way) {
        case Click: clickTab(frm->pgcPadrao, frm->tshCliente); break;
        case Menu: triggerMenu(frm->mnuCliente); break;
        case CtrlTab: pressKey(Qt::Key_Tab, Qt::ControlModifier); break;
        }
        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto não cadastrado.")});
        EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshImpFili);
        EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
        EXPECT_FALSE(frm->mnuCliente->isChecked());
        // What is typed next replaces the code, and nothing is asked again on leaving.
        script->clear();
        typeKeys(QStringLiteral("01"));
        pressKey(Qt::Key_Tab);
        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        frm->medCdImposto->setText(QString());
        clickTab(frm->pgcPadrao, frm->tshPadrao);
    }
}

TEST_F(FailureTest, AFailingLoadOfTheBranchesPerTaxLeavesTheGridClosed)
{
    db->exec("ALTER TABLE GRFISCIMPOSFILI RENAME TO GRFISCIMPOSFILI_FORA");
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    typeKeys(QStringLiteral("01"));
    frm->dbgImpFili->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(callsOf(QStringLiteral("GetImpFili")).size(), 1);
    ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
    EXPECT_FALSE(frm->cdsImpFili->Active());
    EXPECT_FALSE(frm->sbtAlterar->isEnabled());
    EXPECT_TRUE(frm->medCdImposto->isEnabled());
}

// Another user changed the management type underneath: every pending change of the tab is
// undone and the tab is not reloaded.
TEST_F(FailureTest, AFailingSaveOfTheManagementTypesUndoesTheirChanges)
{
    clickTab(frm->pgcPadrao, frm->tshTipoGest);
    TClientDataSet *cds = frm->cdsTipoGest;
    ASSERT_GE(cds->rowCount(), 2);
    const QString type = valueAt(cds, 0, "CDTPFATURFIS");
    const QString loaded = valueAt(cds, 0, "CDGRUPOFISC");
    db->exec("UPDATE TPFATURFIS SET CDGRUPOFISC = CASE WHEN CDGRUPOFISC = '009' THEN '010' ELSE '009' END "
             "WHERE CDTPFATURFIS = $1", {type.toStdString()});
    const auto underneath = db->scalar("SELECT CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS = $1", {type.toStdString()});

    focusCell(frm->dbgTipoGest, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(loaded == QStringLiteral("003") ? QStringLiteral("4") : QStringLiteral("3"));
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));

    EXPECT_EQ(methods(), QStringList{QStringLiteral("setTipoGest")});
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_TRUE(script->messages().first().contains(QStringLiteral("alterado por outro usuário")))
        << script->messages().first().toStdString();
    EXPECT_EQ(cds->State(), dataset::dsBrowse);
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(valueAt(cds, 0, "CDGRUPOFISC"), loaded) << "back to the value of the last load";
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS = $1", {type.toStdString()}),
              underneath);
    EXPECT_TRUE(frm->tshPadrao->Enabled());
}

TEST_F(FailureTest, AServerErrorWhileCheckingAGroupCellKeepsTheRowInEditState)
{
    TClientDataSet *cds = frm->cdsFornecedor;
    const QString before = valueAt(cds, 0, "CDGRUPOFISC");
    db->exec("ALTER TABLE GRUPOFISCAL RENAME TO GRUPOFISCAL_FORA");
    focusCell(frm->dbgPadrao, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("2"));
    pressKey(Qt::Key_Tab);

    EXPECT_EQ(callsOf(QStringLiteral("GetGrupoFiscal")).size(), 1);
    ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
    EXPECT_NE(script->messages().first(), QStringLiteral("Grupo fiscal não cadastrado."));
    EXPECT_EQ(cds->State(), dataset::dsEdit);
    EXPECT_EQ(frm->dbgPadrao->SelectedField(), cds->FieldByName(QStringLiteral("CDGRUPOFISC")));
    EXPECT_TRUE(callsOf(QStringLiteral("SetFornecedor")).isEmpty());
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1",
                         {valueAt(cds, 0, "CDFORNECED").toStdString()}).value_or(""),
              before.toStdString());
}

} // namespace
} // namespace fiscal::test
