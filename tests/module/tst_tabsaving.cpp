// Saving on the tabs with a context of their own: the billing types (a second call before
// each post) and the branches per tax (the tax copied into every posted row).

#include "modulefixture.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QCborMap>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using dataset::TClientDataSet;
using ger10200::TfrmParamGrupFiscal;

class TabSavingTest : public OpenScreenTest {
protected:
    static QString at(TClientDataSet *cds, int row, const char *field)
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
};

TEST_F(TabSavingTest, BillingTypeShowsItsNameAndSavesWithTheBranchesCopies)
{
    clickTab(frm->pgcPadrao, frm->tshTipoContrato);
    TClientDataSet *cds = frm->cdsTipoFatur;
    ASSERT_GT(cds->rowCount(), 0);
    const int row = 0;
    const QString code = at(cds, row, "CDTIPOFATUR");
    EXPECT_EQ(cds->textAt(row, cds->FieldByName(QStringLiteral("CDTIPOFATUR"))->Index()),
              code + QStringLiteral(" - ") + frm->msgPadrao->Msg(code));
    EXPECT_NE(frm->msgPadrao->Msg(code), code) << "every demo billing type has a name";

    // The group cell offers its button only while the row is being edited.
    vcl::TColumn *column = frm->dbgTipoFatur->Columns().FindField(QStringLiteral("CDGRUPOFISC"));
    EXPECT_NE(column->ButtonStyle(), vcl::cbsEllipsis);
    focusCell(frm->dbgTipoFatur, row, QStringLiteral("CDGRUPOFISC"));
    clickButton(frm->sbtAlterar);
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    EXPECT_EQ(column->ButtonStyle(), vcl::cbsEllipsis);

    const QString chosen = at(cds, row, "CDGRUPOFISC") == QStringLiteral("002") ? QStringLiteral("003")
                                                                                 : QStringLiteral("002");
    // A group chosen in the list, then the cell emptied: both check first, then save the
    // billing type together with every branch's copy of it.
    for (const QString &group : {chosen, QString()}) {
        SCOPED_TRACE(group.toStdString());
        clearCalls();
        if (group.isEmpty()) {
            focusCell(frm->dbgTipoFatur, row, QStringLiteral("CDGRUPOFISC"));
            typeKeys(QStringLiteral("1"));
            pressKey(Qt::Key_Backspace);
            pressKey(Qt::Key_Backspace);
        } else {
            script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), group));
            clickButton(frm->dbgTipoFatur->EditButton());
        }
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));

        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        const QStringList sets = methods().filter(QStringLiteral("Set"));
        EXPECT_EQ(sets, (QStringList{QStringLiteral("SetUpdateTipoFatur"), QStringLiteral("SetTipoFatur")}));
        const auto update = callsOf(QStringLiteral("SetUpdateTipoFatur"));
        ASSERT_EQ(update.size(), 1);
        EXPECT_EQ(update.first().params, (QCborArray{group, code}));
        EXPECT_EQ(QString::fromStdString(db->scalar("SELECT CDGRUPOFISC FROM TIPOFATUR WHERE CDTIPOFATUR = $1",
                                                    {code.toStdString()}).value_or("")),
                  group);
        EXPECT_EQ(db->count("SELECT COUNT(*) FROM PARAMFILIAL WHERE CDTIPOFATUR = $1 AND COALESCE(CDGRUPOFISC, '') <> $2",
                            {code.toStdString(), group.toStdString()}), 0);
        EXPECT_NE(column->ButtonStyle(), vcl::cbsEllipsis);
    }
}

TEST_F(TabSavingTest, BranchPerTaxLoadsOnEnteringTheGridAndCarriesTheTax)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
    EXPECT_FALSE(frm->cdsImpFili->Active());

    // Entering the grid with no tax: the message, back in the box, nothing loaded.
    frm->dbgImpFili->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Imposto deve ser informado.")});
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
    EXPECT_TRUE(callsOf(QStringLiteral("GetImpFili")).isEmpty());

    script->clear();
    QTest::keyClick(frm->medCdImposto, Qt::Key_Home);
    QTest::keyClicks(frm->medCdImposto, QStringLiteral("1"));
    frm->dbgImpFili->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_EQ(frm->medCdImposto->Text(), QStringLiteral("01"));
    EXPECT_EQ(frm->edtNmImposto->text(),
              QString::fromStdString(db->scalar("SELECT NMIMPOSTO FROM IMPOSTO WHERE CDIMPOSTO = '01'").value_or("")));
    const auto loads = callsOf(QStringLiteral("GetImpFili"));
    ASSERT_EQ(loads.size(), 1);
    EXPECT_EQ(loads.first().params.at(0).toString(), QStringLiteral("01"));
    TClientDataSet *cds = frm->cdsImpFili;
    EXPECT_EQ(cds->RecordCount(), db->count("SELECT COUNT(*) FROM FILIAL"));

    // Pick a group for the first branch and post it.
    const QString branch = at(cds, 0, "CDFILIAL");
    const QString chosen = at(cds, 0, "CDGRUPOFISC") == QStringLiteral("004") ? QStringLiteral("005")
                                                                              : QStringLiteral("004");
    QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));
    focusCell(frm->dbgImpFili, 0, QStringLiteral("CDGRUPOFISC"));
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), chosen));
    clickButton(frm->dbgImpFili->EditButton());
    EXPECT_FALSE(frm->medCdImposto->isEnabled()) << "the tax cannot change under an edit";
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));

    const auto saves = callsOf(QStringLiteral("SetImpFili"));
    ASSERT_EQ(saves.size(), 1);
    const QCborArray changes = saves.first().params.at(0).toMap().value(QStringLiteral("changes")).toArray();
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.at(0).toMap().value(QStringLiteral("new")).toArray().at(0).toString(), QStringLiteral("01"));
    ASSERT_EQ(cache.size(), 1);
    EXPECT_EQ(cache.at(0).at(0).toString(), QStringLiteral("FILIAL"));
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '01' AND CDFILIAL = $1",
                         {branch.toStdString()}),
              std::optional<std::string>(chosen.toStdString()));
    EXPECT_TRUE(frm->medCdImposto->isEnabled());

    // Going back into the tax box empties the grid; entering it again reloads.
    clearCalls();
    frm->medCdImposto->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_FALSE(cds->Active());
    frm->dbgImpFili->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetImpFili")});
}

} // namespace
} // namespace fiscal::test

namespace fiscal::test {
namespace {

TEST_F(TabSavingTest, StateRegistrationGridLoadsInOrderAndAFailedSaveKeepsTheChange)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    const QString company = QString::fromStdString(*reg.front()[0]);
    const QString registration = QString::fromStdString(*reg.front()[1]);

    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    // Entering the grids with the boxes empty stops at the first one.
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Empresa deve ser informada.")});
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdEmpresa);
    script->clear();

    frm->medCdEmpresa->setText(company);
    frm->medInscEsta->setText(registration);
    frm->medImp->setText(QStringLiteral("01"));
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    const auto loads = callsOf(QStringLiteral("GetFornInsc"));
    ASSERT_EQ(loads.size(), 1);
    EXPECT_EQ(loads.first().params, (QCborArray{QStringLiteral("01"), company, registration}));
    TClientDataSet *cds = frm->cdsFornInsc;
    ASSERT_GT(cds->rowCount(), 0);
    EXPECT_EQ(frm->dtsPadrao->DataSet(), cds);
    EXPECT_EQ(frm->pgcCliente->ActivePage(), frm->tshFornecedor);

    // Another user sets this supplier's parameter after the grid was loaded.
    const std::string supplier = at(cds, 0, "CDFORNECED").toStdString();
    const bool had = !at(cds, 0, "CDGRUPOFISC").isEmpty();
    if (had) {
        db->exec("UPDATE GRFISIMPIEFORN SET CDGRUPOFISC = CASE WHEN CDGRUPOFISC = '001' THEN '002' ELSE '001' END "
                 "WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 AND CDINSCESTA = $2 AND CDFORNECED = $3",
                 {company.toStdString(), registration.toStdString(), supplier});
    } else {
        db->exec("INSERT INTO GRFISIMPIEFORN (CDIMPOSTO, CDEMPRESA, CDINSCESTA, CDFORNECED, CDGRUPOFISC) "
                 "VALUES ('01', $1, $2, $3, '001')",
                 {company.toStdString(), registration.toStdString(), supplier});
    }
    const auto underneath = db->scalar(
        "SELECT CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 AND CDINSCESTA = $2 "
        "AND CDFORNECED = $3", {company.toStdString(), registration.toStdString(), supplier});

    focusCell(frm->dbgFornInsc, 0, QStringLiteral("CDGRUPOFISC"));
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("003")));
    clickButton(frm->dbgFornInsc->EditButton());
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));

    ASSERT_EQ(callsOf(QStringLiteral("SetFornInsc")).size(), 1);
    ASSERT_EQ(script->messages().size(), 1) << "the server's refusal is shown";
    // Kept for the next post or a reload, like every other tab: a value the server refused
    // is never shown as saved.
    EXPECT_EQ(cds->ChangeCount(), 1);
    const QCborArray sent = callsOf(QStringLiteral("SetFornInsc")).first().params.at(0).toMap()
                                .value(QStringLiteral("changes")).toArray();
    ASSERT_EQ(sent.size(), 1);
    const QCborArray newRow = sent.at(0).toMap().value(QStringLiteral("new")).toArray();
    EXPECT_EQ(newRow.at(6).toString(), QStringLiteral("01"));
    EXPECT_EQ(newRow.at(7).toString(), company);
    EXPECT_EQ(newRow.at(8).toString(), registration);
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 "
                         "AND CDINSCESTA = $2 AND CDFORNECED = $3",
                         {company.toStdString(), registration.toStdString(), supplier}),
              underneath);

    // The refresh reloads the inner tab with the same three values and drops the change.
    clearCalls();
    clickButton(frm->sbtVerificar);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetFornInsc")});
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(at(cds, 0, "CDGRUPOFISC"), QString::fromStdString(underneath.value_or("")));
}

} // namespace
} // namespace fiscal::test
