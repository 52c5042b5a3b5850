// The interstate-operation tab: one box bound to the general parameter row. Typing starts
// the edit, the post stores the group (or none), a deletion is put back without a call.

#include "modulefixture.h"

#include "scriptedinteraction.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QSignalSpy>
#include <QTest>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using ger10200::TfrmParamGrupFiscal;

class OperInterTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clickTab(frm->pgcPadrao, frm->tshOperInter);
        ASSERT_EQ(QApplication::focusWidget(), frm->medGrFiscOpEs);
        clearCalls();
    }
    std::optional<std::string> stored() const
    {
        return db->scalar("SELECT DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    }
    void clearBox()
    {
        QTest::keyClick(frm->medGrFiscOpEs, Qt::Key_End);
        for (int i = 0; i < 3; ++i)
            pressKey(Qt::Key_Backspace);
    }

    TfrmParamGrupFiscal *frm = nullptr;
};

TEST_F(OperInterTest, TypingStartsTheEditAndThePostStoresTheBox)
{
    ASSERT_TRUE(stored().has_value()) << "the demo sets the interstate group";
    const std::string other = *stored() == "002" ? "004" : "002";
    struct Case {
        const char *name;
        QString typed;
        std::string expected;   // empty: no group
    };
    const Case cases[] = {
        {"a group typed short", QString::fromStdString(other.substr(2)), other},
        {"the box cleared", QString(), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clearCalls();
        frm->medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
        clearBox();
        typeKeys(c.typed);
        EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsEdit) << "the first change starts the edit";
        EXPECT_FALSE(frm->mnuFornecedor->isEnabled()) << "the other tabs wait for the post";
        QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));

        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse);
        ASSERT_EQ(callsOf(QStringLiteral("SetOperInter")).size(), 1);
        EXPECT_EQ(stored().value_or(""), c.expected);
        EXPECT_EQ(frm->cdsOperInter->FieldByName(QStringLiteral("DSPARGERFIS"))->AsString(),
                  QString::fromStdString(c.expected))
            << "the screen shows what was stored";
        EXPECT_EQ(frm->medGrFiscOpEs->Text(), QString::fromStdString(c.expected));
        const auto desc = c.expected.empty()
            ? std::optional<std::string>("")
            : db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {c.expected});
        EXPECT_EQ(frm->edtNmGrupFisc->text(), QString::fromStdString(desc.value_or("?")));
        ASSERT_EQ(cache.size(), 1);
        EXPECT_EQ(cache.at(0).at(0).toString(), QStringLiteral("PARAMGERAL"));
        EXPECT_TRUE(frm->mnuFornecedor->isEnabled());
    }
}

TEST_F(OperInterTest, AnUnknownGroupStopsThePostAndStoresNothing)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL WHERE CDGRUPOFISC = '997'"), 0);
    const auto before = stored();
    clearBox();
    typeKeys(QStringLiteral("997"));
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));

    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Grupo fiscal não cadastrado.")});
    EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsEdit);
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshOperInter);
    EXPECT_EQ(QApplication::focusWidget(), frm->medGrFiscOpEs);
    EXPECT_TRUE(callsOf(QStringLiteral("SetOperInter")).isEmpty());
    EXPECT_EQ(stored(), before);
}

// The navigator's ✕ takes no focus: the box shows the stored group again, not what was typed.
TEST_F(OperInterTest, ACancelShowsTheStoredGroupAgain)
{
    const std::string before = stored().value_or("");
    ASSERT_FALSE(before.empty()) << "the demo sets the interstate group";
    clearBox();
    typeKeys(before == "002" ? QStringLiteral("4") : QStringLiteral("2"));
    ASSERT_EQ(frm->cdsOperInter->State(), dataset::dsEdit);
    clickButton(frm->dbnPadrao->Button(vcl::nbCancel));

    EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse);
    EXPECT_EQ(frm->medGrFiscOpEs->Text(), QString::fromStdString(before));
    EXPECT_FALSE(frm->edtNmGrupFisc->text().isEmpty()) << "the group's description is shown again";
    EXPECT_TRUE(callsOf(QStringLiteral("SetOperInter")).isEmpty());
}

// Enter saves and Esc gives up, from the box: the only other ways are buttons without focus.
TEST_F(OperInterTest, EnterSavesAndEscapeGivesUpFromTheBox)
{
    const std::string before = stored().value_or("");
    const std::string other = before == "002" ? "004" : "002";
    struct Case {
        Qt::Key key;
        std::string expected;
        int calls;
    };
    for (const Case &c : {Case{Qt::Key_Escape, before, 0}, Case{Qt::Key_Return, other, 1}}) {
        SCOPED_TRACE(c.key);
        clearCalls();
        clearBox();
        typeKeys(QString::fromStdString(other));
        ASSERT_EQ(frm->cdsOperInter->State(), dataset::dsEdit);
        pressKey(c.key);
        EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse);
        EXPECT_EQ(frm->medGrFiscOpEs->Text(), QString::fromStdString(c.expected));
        EXPECT_EQ(callsOf(QStringLiteral("SetOperInter")).size(), c.calls);
        EXPECT_EQ(stored().value_or(""), c.expected);
        EXPECT_TRUE(frm->mnuFornecedor->isEnabled()) << "the other tabs are open again";
    }
}

// The box shows the row put back, not what was typed nor blank: printing takes the group
// from it.
TEST_F(OperInterTest, DeletingTheParameterRowPutsItBackWithoutACall)
{
    const auto before = stored();
    ASSERT_TRUE(before.has_value()) << "the demo sets the interstate group";
    const QString stored = QString::fromStdString(*before);
    const QString description = QString::fromStdString(
        db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {*before}).value_or("?"));
    for (const bool typed : {false, true}) {
        SCOPED_TRACE(typed ? "another group typed" : "browsing");
        clearCalls();
        if (typed) {
            clearBox();
            typeKeys(*before == "002" ? QStringLiteral("4") : QStringLiteral("2"));
        }
        ASSERT_EQ(frm->cdsOperInter->RecordCount(), 1);
        script->push(Answer::yes());
        clickButton(frm->dbnPadrao->Button(vcl::nbDelete));

        EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();
        EXPECT_EQ(frm->cdsOperInter->RecordCount(), 1);
        EXPECT_EQ(frm->cdsOperInter->ChangeCount(), 0);
        EXPECT_EQ(frm->cdsOperInter->FieldByName(QStringLiteral("DSPARGERFIS"))->AsString(), stored);
        EXPECT_EQ(frm->medGrFiscOpEs->Text(), stored);
        EXPECT_EQ(frm->edtNmGrupFisc->text(), description) << "the group's description is shown";
        EXPECT_EQ(this->stored(), before);
    }
}

// The navigator's + starts no second parameter row: the server refused it as a change by
// another user, and so every later post of the tab.
TEST_F(OperInterTest, TheNavigatorStartsNoSecondParameterRow)
{
    ASSERT_EQ(frm->cdsOperInter->RecordCount(), 1);
    ASSERT_TRUE(frm->dbnPadrao->Button(vcl::nbInsert)->isEnabled());
    clickButton(frm->dbnPadrao->Button(vcl::nbInsert));
    EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse);
    EXPECT_EQ(frm->cdsOperInter->RecordCount(), 1);
    EXPECT_TRUE(frm->mnuFornecedor->isEnabled());
}

// A row being started whose group went away meanwhile, refused as the screen closes from
// another tab: its tab comes back with the navigator and the menu, so that a deletion there
// cannot reach the row of the tab left.
TEST_F(ModuleTest, ARefusedInterstateRowOnClosingBringsItsTabWithItsCommands)
{
    db->exec("DELETE FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('996', 'Some antes da gravação')");
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    typeKeys(QStringLiteral("996"));
    ASSERT_EQ(frm->cdsOperInter->State(), dataset::dsInsert);
    clickTab(frm->pgcPadrao, frm->tshCliente);
    ASSERT_EQ(frm->dtsPadrao->DataSet(), frm->cdsCliente);
    db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = '996'");

    script->push(Answer::choose(QStringLiteral("Gravar")));
    frm->SubWindow() ? frm->SubWindow()->close() : frm->close();
    QApplication::processEvents();

    EXPECT_TRUE(script->messages().contains(QStringLiteral("Grupo fiscal não cadastrado.")))
        << script->messages().join('\n').toStdString();
    EXPECT_TRUE(findScreen() && findScreen()->isVisible());
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshOperInter);
    EXPECT_EQ(frm->dtsPadrao->DataSet(), frm->cdsOperInter);
    EXPECT_TRUE(frm->mnuOperInter->isChecked());
    EXPECT_FALSE(frm->mnuCliente->isChecked());
    frm->cdsOperInter->Cancel();
}

// A database without the parameter row: typing starts the row, and the code typed stays in
// the box through a visit to another tab until the row is posted.
TEST_F(ModuleTest, TheInterstateRowBeingStartedKeepsItsCodeAcrossTabs)
{
    db->exec("DELETE FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    ASSERT_EQ(QApplication::focusWidget(), frm->medGrFiscOpEs);
    typeKeys(QStringLiteral("2"));
    ASSERT_EQ(frm->cdsOperInter->State(), dataset::dsInsert);

    clickTab(frm->pgcPadrao, frm->tshCliente);
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    EXPECT_EQ(frm->medGrFiscOpEs->Text(), QStringLiteral("002"));
    EXPECT_FALSE(frm->edtNmGrupFisc->text().isEmpty());

    clearCalls();
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_EQ(callsOf(QStringLiteral("SetOperInter")).size(), 1);
    EXPECT_EQ(db->scalar("SELECT DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'").value_or(""), "002");
}

} // namespace
} // namespace fiscal::test
