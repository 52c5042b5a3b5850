// Tab switching and edit mode, driven through the tabs, the tool buttons and the menus.

#include "modulefixture.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/usersession.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAbstractButton>
#include <QAction>
#include <QMap>
#include <QMenu>
#include <QApplication>
#include <QLineEdit>
#include <QTabBar>
#include <QTest>
#include <QToolButton>

#include <functional>
#include <map>

namespace fiscal::test {
namespace {

using ger10200::TfrmParamGrupFiscal;

struct Snapshot {
    vcl::TTabSheet *active = nullptr;
    dataset::TClientDataSet *bound = nullptr;
    bool edit = false, automatic = false, replica = false;
    QList<bool> checked;
    QStringList calls;
    bool operator==(const Snapshot &) const = default;
};

class TabsTest : public ModuleTest {
protected:
    // Tax 01 and the first company's first registration in the filters of the tax tabs.
    void fillFilters(TfrmParamGrupFiscal *f)
    {
        const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
        ASSERT_FALSE(reg.empty());
        f->medCdImposto->setText(QStringLiteral("01"));
        f->medCdEmpresa->setText(QString::fromStdString(*reg.front()[0]));
        f->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
        f->medImp->setText(QStringLiteral("01"));
    }
    QList<QAction *> tabMenus(TfrmParamGrupFiscal *f)
    {
        return {f->mnuFornecedor, f->mnuCliente, f->mnuFilial, f->mnuTipoOperac, f->mnuTipoContrato,
                f->mnuOperInter, f->mnuImpFili, f->mnuImpInscEsta};
    }
    QList<vcl::TTabSheet *> menuTabs(TfrmParamGrupFiscal *f)
    {
        return {f->tshPadrao, f->tshCliente, f->tshFilial, f->tshTipoOperac, f->tshTipoContrato,
                f->tshOperInter, f->tshImpFili, f->tshImpInscEsta};
    }
    Snapshot snapshot(TfrmParamGrupFiscal *f)
    {
        Snapshot s;
        s.active = f->pgcPadrao->ActivePage();
        s.bound = f->dtsPadrao->DataSet();
        s.edit = f->sbtAlterar->isEnabled();
        s.automatic = f->sbtAutomatico->isEnabled();
        s.replica = f->sbtReplica->isEnabled();
        for (QAction *a : tabMenus(f))
            s.checked << a->isChecked();
        s.calls = methods();
        return s;
    }
};

TEST_F(TabsTest, TabCaptionsInOrder)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    QStringList captions;
    for (int i = 0; i < frm->pgcPadrao->PageCount(); ++i)
        captions << frm->pgcPadrao->Pages(i)->Caption();
    EXPECT_EQ(captions, (QStringList{"Fornecedor", "Cliente", "Filial", "Tipo de Operação",
                                     "Tipo de Contrato (Faturamento)", "Operações Interestaduais",
                                     "Tipo de Gestão Fiscal", "Imposto/Filial",
                                     "Imposto/Inscrição Estadual"}));
    const QStringList menuCaptions = [&] {
        QStringList c;
        for (QAction *a : tabMenus(frm))
            c << a->text();
        return c;
    }();
    EXPECT_EQ(menuCaptions, (QStringList{"&Fornecedor", "C&liente", "F&ilial", "&Tipo de Operação",
                                         "Tipo de Contrato (Faturamento)", "Operações Interestaduais",
                                         "Imposto/Filial", "Imposto/Inscrição Estadual"}));
    EXPECT_TRUE(frm->mnuFornecedor->isChecked());
    EXPECT_FALSE(frm->lblNome->isVisible());
}

// A screen reader reads a name for every button that shows a picture or a glyph, for every
// code box and grid: the tool bar's by their hints, the navigator's by what they do, the
// search buttons and their boxes by what they search, the grids by their tabs.
TEST_F(TabsTest, ButtonsAndCodeBoxesHaveNamesToBeReadAloud)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    for (QToolButton *b : frm->findChildren<QToolButton *>()) {
        // Qt's own (a tab bar's scroll arrows, the menu bar's overflow) are named by Qt.
        if (!b->objectName().startsWith(QLatin1String("qt_")) && !b->parent()->inherits("QTabBar")) {
            EXPECT_FALSE(b->accessibleName().isEmpty()) << b->objectName().toStdString() << " " << b->text().toStdString();
        }
    }
    const struct {
        QWidget *w;
        const char *name;
    } named[] = {
        {frm->sbtVerificar, "Atualizar"},
        {frm->dbnPadrao->Button(vcl::nbPost), "Gravar"},
        {frm->btpEmpresa, "Pesquisar Empresa"},
        {frm->medCdEmpresa, "Empresa"},
        {frm->medImp, "Imposto"},
        {frm->medCdImposto, "Imposto"},
        {frm->dbgPadrao, "Fornecedor"},
        {frm->dbgCliInsc, "Imposto/Inscrição Estadual - Cliente"},
    };
    for (const auto &n : named)
        EXPECT_EQ(n.w->accessibleName(), QString::fromUtf8(n.name)) << n.w->objectName().toStdString();
}

// Alt+letter in an open menu goes straight to its entry only when no other entry has it.
TEST_F(TabsTest, NoTwoEntriesOfAMenuShareTheirLetter)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    for (QMenu *menu : {frm->mnuOperacao, frm->mnuManutencao}) {
        SCOPED_TRACE(menu->title().toStdString());
        QMap<QChar, QString> seen;
        for (QAction *a : menu->actions()) {
            const QString text = a->text();
            const qsizetype at = text.indexOf(QLatin1Char('&'));
            if (a->isSeparator() || at < 0 || at + 1 >= text.size())
                continue;
            const QChar letter = text.at(at + 1).toLower();
            EXPECT_FALSE(seen.contains(letter)) << text.toStdString() << " and " << seen.value(letter).toStdString();
            seen.insert(letter, text);
        }
    }
}

TEST_F(TabsTest, OwnToolButtonsShowPicturesOfTheirOwn)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const auto picture = [](const QAbstractButton *b) { return b->icon().pixmap(QSize(16, 16)).toImage(); };
    const struct { QAbstractButton *button; const char *hint; } own[] = {
        {frm->sbtAutomatico, "Cadastramento Automático"},
        {frm->sbtReplica, "Replicação de Alíquotas"},
    };
    for (const auto &o : own) {
        SCOPED_TRACE(o.hint);
        EXPECT_EQ(o.button->toolTip(), QString::fromUtf8(o.hint));
        EXPECT_TRUE(o.button->text().isEmpty());
        ASSERT_FALSE(o.button->icon().isNull());
        for (QAbstractButton *other : frm->panMenu->findChildren<QAbstractButton *>()) {
            if (other != o.button) {
                EXPECT_NE(picture(other), picture(o.button)) << other->objectName().toStdString();
            }
        }
    }
}

TEST_F(TabsTest, EditingTheSupplierGridLocksEveryOtherTabAndMenuUntilCancelled)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    ASSERT_TRUE(frm->sbtAlterar->isEnabled());
    clickButton(frm->sbtAlterar);
    ASSERT_EQ(frm->cdsFornecedor->State(), dataset::dsEdit);
    EXPECT_EQ(frm->dbgPadrao->SelectedField()->FieldName(), QStringLiteral("CDGRUPOFISC"));
    EXPECT_FALSE(frm->sbtAlterar->isEnabled());

    const QList<vcl::TTabSheet *> tabs = menuTabs(frm);
    const QList<QAction *> menus = tabMenus(frm);
    for (int i = 1; i < tabs.size(); ++i) {
        EXPECT_FALSE(tabs[i]->Enabled()) << tabs[i]->Caption().toStdString();
        EXPECT_FALSE(menus[i]->isEnabled()) << menus[i]->text().toStdString();
    }
    EXPECT_FALSE(frm->tshTipoGest->Enabled());
    EXPECT_TRUE(frm->tshPadrao->Enabled());

    // Neither a click on a locked tab nor its menu entry leaves the tab.
    clickTab(frm->pgcPadrao, frm->tshCliente);
    triggerMenu(frm->mnuFilial);
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshPadrao);

    clearCalls();
    clickButton(frm->sbtCancelar);
    EXPECT_EQ(frm->cdsFornecedor->State(), dataset::dsBrowse);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetFornecedor")}) << "cancel reloads the tab";
    for (int i = 1; i < tabs.size(); ++i) {
        EXPECT_TRUE(tabs[i]->Enabled());
        EXPECT_TRUE(menus[i]->isEnabled());
    }
    EXPECT_TRUE(frm->sbtAlterar->isEnabled());
}

// The shown tab's own menu entry stays enabled while it is edited; choosing it must not
// drop or overwrite what is being typed.
TEST_F(TabsTest, TheShownTabsOwnMenuEntryKeepsAnEditInProgress)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    struct Case {
        const char *name;
        vcl::TTabSheet *tab;
        QAction *menu;
        dataset::TClientDataSet *cds;
        std::function<void()> startEdit;
        std::function<QString()> typed;   // what the user sees of the edit
    };
    const Case cases[] = {
        {"supplier grid", frm->tshPadrao, frm->mnuFornecedor, frm->cdsFornecedor,
         [&] {
             focusCell(frm->dbgPadrao, 0, QStringLiteral("CDGRUPOFISC"));
             typeKeys(QStringLiteral("9"));
         },
         [&] { return frm->dbgPadrao->findChild<QLineEdit *>() ? frm->dbgPadrao->findChild<QLineEdit *>()->text()
                                                               : QString(); }},
        {"interstate box", frm->tshOperInter, frm->mnuOperInter, frm->cdsOperInter,
         [&] {
             frm->medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
             QTest::keyClick(frm->medGrFiscOpEs, Qt::Key_End);
             for (int i = 0; i < 3; ++i)
                 pressKey(Qt::Key_Backspace);
             typeKeys(QStringLiteral("997"));
         },
         [&] { return frm->medGrFiscOpEs->Text(); }},
        {"state registrations", frm->tshImpInscEsta, frm->mnuImpInscEsta, frm->cdsFornInsc,
         [&] {
             frm->medCdEmpresa->setText(QString::fromStdString(*reg.front()[0]));
             frm->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
             frm->medImp->setText(QStringLiteral("01"));
             clickButton(frm->sbtVerificar);
             QApplication::processEvents();
             focusCell(frm->dbgFornInsc, 0, QStringLiteral("CDGRUPOFISC"));
             typeKeys(QStringLiteral("9"));
         },
         [&] { return frm->dbgFornInsc->findChild<QLineEdit *>() ? frm->dbgFornInsc->findChild<QLineEdit *>()->text()
                                                                 : QString(); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        clickTab(frm->pgcPadrao, c.tab);
        c.startEdit();
        ASSERT_EQ(c.cds->State(), dataset::dsEdit);
        const QString typed = c.typed();
        ASSERT_FALSE(typed.isEmpty());
        ASSERT_TRUE(c.menu->isEnabled());
        triggerMenu(c.menu);
        EXPECT_TRUE(c.cds->Active());
        EXPECT_EQ(c.cds->State(), dataset::dsEdit);
        EXPECT_EQ(c.typed(), typed);
        EXPECT_TRUE(c.menu->isChecked());
        EXPECT_FALSE(frm->sbtAlterar->isEnabled());
        EXPECT_FALSE(frm->tshTipoGest->Enabled()) << "the other tabs stay locked";
        clickButton(frm->dbnPadrao->Button(vcl::nbCancel));
        ASSERT_EQ(c.cds->State(), dataset::dsBrowse);
    }
}

TEST_F(TabsTest, TypingInTheGroupCellStartsEditModeToo)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    focusCell(frm->dbgPadrao, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    EXPECT_EQ(frm->cdsFornecedor->State(), dataset::dsEdit);
    EXPECT_FALSE(frm->tshCliente->Enabled());
    EXPECT_FALSE(frm->mnuCliente->isEnabled());
}

TEST_F(TabsTest, AConsultaUserGetsNoCommandThatWritesAndCannotTypeIntoTheGrid)
{
    clientlib::UserSession::instance().set(QStringLiteral("leitor"), QStringLiteral("Leitor"), QStringLiteral("consulta"));
    struct Restore {
        ~Restore() { clientlib::UserSession::instance().clear(); }
    } restore;
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const QString why = QStringLiteral("Seu papel (consulta) não permite alterar grupos fiscais.");
    for (vcl::TTabSheet *tab : menuTabs(frm)) {
        SCOPED_TRACE(tab->Caption().toStdString());
        clickTab(frm->pgcPadrao, tab);
        for (QWidget *w : std::initializer_list<QWidget *>{frm->sbtAlterar, frm->sbtAutomatico, frm->sbtImportar,
                                                          frm->sbtReplica}) {
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
            EXPECT_EQ(w->toolTip(), why) << w->objectName().toStdString();
        }
        EXPECT_FALSE(frm->mnuImportar->isEnabled());
    }
    clickTab(frm->pgcPadrao, frm->tshPadrao);
    focusCell(frm->dbgPadrao, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    EXPECT_EQ(frm->cdsFornecedor->State(), dataset::dsBrowse);
    EXPECT_TRUE(frm->tshCliente->Enabled());
    EXPECT_TRUE(frm->dbnPadrao->Button(vcl::nbInsert)->isHidden());
    EXPECT_TRUE(frm->dbnPadrao->Button(vcl::nbDelete)->isHidden());
    // Nor through the group cell's ellipsis, nor the interstate box and its search.
    EXPECT_FALSE(frm->dbgPadrao->EditButton()->isVisible());
    QTest::keyClick(frm->dbgPadrao, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(frm->cdsFornecedor->State(), dataset::dsBrowse);
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    frm->medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
    typeKeys(QStringLiteral("2"));
    EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse);
    EXPECT_FALSE(frm->btpPesqGrupFisc->isEnabled());
    EXPECT_EQ(frm->btpPesqGrupFisc->toolTip(), why);
    EXPECT_TRUE(script->shown().isEmpty());
    EXPECT_TRUE(callsOf(QStringLiteral("SetOperInter")).isEmpty());
}

TEST_F(TabsTest, CancelReloadsTheActiveTabFromTheServer)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const struct { vcl::TTabSheet *tab; const char *reload; } cases[] = {
        {frm->tshCliente, "GetCliente"},
        {frm->tshFilial, "GetFilial"},
        {frm->tshTipoOperac, "GetTipoOperac"},
        {frm->tshTipoContrato, "GetTipoFatur"},
        {frm->tshPadrao, "GetFornecedor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reload);
        clickTab(frm->pgcPadrao, c.tab);
        ASSERT_EQ(frm->pgcPadrao->ActivePage(), c.tab);
        clickButton(frm->sbtAlterar);
        ASSERT_EQ(frm->dtsPadrao->State(), dataset::dsEdit);
        clearCalls();
        clickButton(frm->sbtCancelar);
        EXPECT_EQ(methods(), QStringList{QString::fromLatin1(c.reload)});
        EXPECT_EQ(frm->dtsPadrao->State(), dataset::dsBrowse);
    }
}

TEST_F(TabsTest, StateRegistrationTabEmptiesItsBoxesAndSwitchesThePairs)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdEmpresa);
    frm->medCdEmpresa->setText(QStringLiteral("01"));
    frm->medInscEsta->setText(QStringLiteral("123"));
    frm->medImp->setText(QStringLiteral("01"));

    clickTab(frm->pgcPadrao, frm->tshFilial);
    EXPECT_FALSE(frm->sbtReplica->isEnabled());
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);

    EXPECT_TRUE(frm->medCdEmpresa->Text().isEmpty());
    EXPECT_TRUE(frm->medInscEsta->Text().isEmpty());
    EXPECT_TRUE(frm->medImp->Text().isEmpty());
    EXPECT_TRUE(frm->edtNmEmpresa->text().isEmpty());
    EXPECT_FALSE(frm->cdsFornInsc->Active());
    EXPECT_FALSE(frm->cdsCliInsc->Active());
    EXPECT_TRUE(frm->sbtAutomatico->isEnabled());
    EXPECT_TRUE(frm->mnuCadAutomatico->isEnabled());
    EXPECT_TRUE(frm->sbtReplica->isEnabled());
    EXPECT_TRUE(frm->mnuReplica->isEnabled());
    EXPECT_FALSE(frm->sbtAlterar->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdEmpresa);
}

// Before an inner tab has loaded, nothing on the state-registration tab may reach the rows
// of the tab shown before it.
TEST_F(TabsTest, StateRegistrationNavigatorActsOnlyOnTheLoadedInnerRows)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const int suppliers = frm->cdsFornecedor->RecordCount();
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    clearCalls();

    EXPECT_EQ(frm->dtsPadrao->DataSet(), nullptr);
    EXPECT_TRUE(frm->dbtNome->text().isEmpty());
    for (int b = vcl::nbFirst; b <= vcl::nbCancel; ++b)
        EXPECT_FALSE(frm->dbnPadrao->Button(vcl::TNavigateBtn(b))->isEnabled()) << b;
    script->push(clientlib::Answer::yes());   // would confirm a deletion, were one asked
    clickButton(frm->dbnPadrao->Button(vcl::nbDelete));
    clickButton(frm->dbnPadrao->Button(vcl::nbEdit));
    EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();
    EXPECT_EQ(script->pending(), 1) << "no deletion was asked for";
    EXPECT_EQ(frm->cdsFornecedor->State(), dataset::dsBrowse);
    EXPECT_EQ(frm->cdsFornecedor->RecordCount(), suppliers);
    EXPECT_EQ(frm->cdsFornecedor->ChangeCount(), 0);
    EXPECT_TRUE(frm->tshPadrao->Enabled());
    script->clear();

    // Loaded by entering the grid, or by the refresh: then the navigator acts on its rows.
    for (const bool byRefresh : {true, false}) {
        SCOPED_TRACE(byRefresh ? "refresh" : "grid entered");
        clickTab(frm->pgcPadrao, frm->tshFilial);
        clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
        ASSERT_EQ(frm->dtsPadrao->DataSet(), nullptr);
        frm->medCdEmpresa->setText(QString::fromStdString(*reg.front()[0]));
        frm->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
        frm->medImp->setText(QStringLiteral("01"));
        if (byRefresh)
            clickButton(frm->sbtVerificar);
        else
            frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        ASSERT_GT(frm->cdsFornInsc->RecordCount(), 0);
        EXPECT_EQ(frm->dtsPadrao->DataSet(), frm->cdsFornInsc);
        EXPECT_EQ(frm->dbtNome->text(), frm->cdsFornInsc->FieldByName(QStringLiteral("NOME"))->AsString());
    }
    clickButton(frm->dbnPadrao->Button(vcl::nbEdit));
    EXPECT_EQ(frm->cdsFornInsc->State(), dataset::dsEdit);
    EXPECT_FALSE(frm->tshPadrao->Enabled());
    clickButton(frm->dbnPadrao->Button(vcl::nbCancel));
    clearCalls();
    script->push(clientlib::Answer::yes());
    clickButton(frm->dbnPadrao->Button(vcl::nbDelete));
    EXPECT_EQ(methods(), QStringList{QStringLiteral("SetFornInsc")});
    EXPECT_EQ(frm->cdsFornecedor->RecordCount(), suppliers);
}

// A refresh leaves the focus in the filter box; a change typed there next empties the grid,
// so that no deletion goes to the tax, company or registration the rows were read for.
TEST_F(TabsTest, AFilterChangedAfterARefreshEmptiesTheGridBelow)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const struct {
        const char *name;
        vcl::TTabSheet *tab;
        vcl::TMaskEdit *box;
        dataset::TClientDataSet *cds;
    } cases[] = {
        {"the tax of Imposto/Filial", frm->tshImpFili, frm->medCdImposto, frm->cdsImpFili},
        {"the company", frm->tshImpInscEsta, frm->medCdEmpresa, frm->cdsFornInsc},
        {"the registration", frm->tshImpInscEsta, frm->medInscEsta, frm->cdsFornInsc},
        {"the tax of Imposto/Inscrição Estadual", frm->tshImpInscEsta, frm->medImp, frm->cdsFornInsc},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clickTab(frm->pgcPadrao, frm->tshFilial);
        clickTab(frm->pgcPadrao, c.tab);
        fillFilters(frm);
        c.box->setFocus(Qt::OtherFocusReason);
        QApplication::processEvents();
        clickButton(frm->sbtVerificar);
        ASSERT_GT(c.cds->RecordCount(), 0);
        ASSERT_EQ(QApplication::focusWidget(), c.box);
        const QString loaded = c.box->Text();
        QTest::keyClick(c.box, Qt::Key_Backspace);
        EXPECT_FALSE(c.cds->Active());
        clearCalls();
        script->push(clientlib::Answer::yes());   // would confirm a deletion, were one asked
        clickButton(frm->dbnPadrao->Button(vcl::nbDelete));
        EXPECT_TRUE(methods().filter(QStringLiteral("Set")).isEmpty()) << methods().join(',').toStdString();
        script->clear();
        c.box->setText(loaded);   // a valid code again, for leaving the tab
    }
}

// A group being typed is not read over when its grid is entered again (the focus went on
// from the find bar to the tab bar, then back by a click): the filters are locked while a
// row is edited, so the rows shown are still theirs.
TEST_F(TabsTest, AGridEnteredAgainWhileARowIsEditedKeepsTheEdit)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const struct {
        const char *name;
        vcl::TTabSheet *tab;
        vcl::TDBGrid *grid;
        dataset::TClientDataSet *cds;
        const char *reload;
    } cases[] = {
        {"Imposto/Filial", frm->tshImpFili, frm->dbgImpFili, frm->cdsImpFili, "GetImpFili"},
        {"Imposto/Inscrição Estadual", frm->tshImpInscEsta, frm->dbgFornInsc, frm->cdsFornInsc, "GetFornInsc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        clickTab(frm->pgcPadrao, c.tab);
        fillFilters(frm);
        focusCell(c.grid, 0, QStringLiteral("CDGRUPOFISC"));
        ASSERT_GT(c.cds->RecordCount(), 0);
        typeKeys(QStringLiteral("5"));
        ASSERT_EQ(c.cds->State(), dataset::dsEdit);
        clearCalls();

        frm->pgcPadrao->tabBar()->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        c.grid->setFocus(Qt::MouseFocusReason);
        QApplication::processEvents();

        EXPECT_FALSE(methods().contains(QString::fromLatin1(c.reload))) << methods().join(',').toStdString();
        EXPECT_EQ(c.cds->State(), dataset::dsEdit);
        EXPECT_EQ(c.cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString().trimmed(), QStringLiteral("5"));
        c.grid->setEditorMode(false);
        c.cds->Cancel();
    }
}

TEST_F(TabsTest, SwitchingToTheInnerClientTabLoadsTheClientsByTheirTradeNames)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    const QString company = QString::fromStdString(*reg.front()[0]);
    const QString registration = QString::fromStdString(*reg.front()[1]);
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    frm->medCdEmpresa->setText(company);
    frm->medInscEsta->setText(registration);
    frm->medImp->setText(QStringLiteral("01"));
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ASSERT_TRUE(frm->cdsFornInsc->Active());

    clearCalls();
    clickTab(frm->pgcCliente, frm->tshCli);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetCliInsc")});
    ASSERT_EQ(callsOf(QStringLiteral("GetCliInsc")).size(), 1);
    EXPECT_EQ(callsOf(QStringLiteral("GetCliInsc")).first().params, (QCborArray{QStringLiteral("01"), company, registration}));
    dataset::TClientDataSet *cds = frm->cdsCliInsc;
    EXPECT_EQ(frm->pgcCliente->currentWidget(), frm->tshCli);
    EXPECT_EQ(frm->dtsPadrao->DataSet(), cds);
    EXPECT_EQ(cds->FieldByName(QStringLiteral("NOME"))->DisplayLabel(), QStringLiteral("Nome Fantasia"));

    // The name column is the trade name, or the legal name for a client without one.
    std::map<QString, QString> shown;
    for (int r = 0; r < cds->rowCount(); ++r)
        shown[cds->valueAt(r, cds->FieldByName(QStringLiteral("CDCLIENTE"))->Index()).value_or(QString())] =
            cds->valueAt(r, cds->FieldByName(QStringLiteral("NOME"))->Index()).value_or(QString());
    const auto clients = db->query("SELECT CDCLIENTE, NMFANTCLIE, NMRAZSOCCLIE FROM CLIENTE");
    ASSERT_EQ(shown.size(), clients.size());
    int legal = 0;
    for (const auto &c : clients) {
        const bool trade = c[1] && !QString::fromStdString(*c[1]).trimmed().isEmpty();
        legal += !trade;
        EXPECT_EQ(shown[QString::fromStdString(*c[0])], QString::fromStdString(*(trade ? c[1] : c[2])));
    }
    EXPECT_GT(legal, 0);
    EXPECT_LT(legal, int(clients.size()));
}

// A tab chosen from the menu while a grid that reloads when entered has the focus: the grid
// is left for the tabs first, as by a click, so nothing of the page reloads on the way.
TEST_F(TabsTest, AMenuTripAwayFromAGridThatReloadsOnEnteringReadsNothing)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    frm->medCdImposto->setText(QStringLiteral("01"));
    focusCell(frm->dbgImpFili, 0, QStringLiteral("CDGRUPOFISC"));
    ASSERT_TRUE(frm->cdsImpFili->Active());
    clearCalls();
    triggerMenu(frm->mnuFilial);
    triggerMenu(frm->mnuImpFili);
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshImpFili);
    EXPECT_TRUE(callsOf(QStringLiteral("GetImpFili")).isEmpty()) << methods().join(',').toStdString();
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
}

TEST_F(TabsTest, TabMenuEntryGivesTheSameResultAsClickingTheTab)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const QList<vcl::TTabSheet *> tabs = menuTabs(frm);
    const QList<QAction *> menus = tabMenus(frm);
    for (int i = 1; i < tabs.size(); ++i) {
        SCOPED_TRACE(tabs[i]->Caption().toStdString());
        clickTab(frm->pgcPadrao, frm->tshPadrao);
        clearCalls();
        clickTab(frm->pgcPadrao, tabs[i]);
        const Snapshot byClick = snapshot(frm);

        clickTab(frm->pgcPadrao, frm->tshPadrao);
        clearCalls();
        triggerMenu(menus[i]);
        const Snapshot byMenu = snapshot(frm);

        EXPECT_EQ(byClick.active, tabs[i]);
        EXPECT_TRUE(byMenu == byClick);
        EXPECT_EQ(byMenu.calls, byClick.calls);
        EXPECT_TRUE(byMenu.checked.at(i));
        EXPECT_EQ(byMenu.checked.count(true), 1);
    }
}

TEST_F(TabsTest, InterstateTabShowsTheStoredGroupAndItsDescription)
{
    const auto stored = db->scalar("SELECT DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'");
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clearCalls();
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    EXPECT_FALSE(frm->sbtAutomatico->isEnabled());
    EXPECT_FALSE(frm->sbtReplica->isEnabled());
    EXPECT_EQ(frm->dtsPadrao->DataSet(), frm->cdsOperInter);
    EXPECT_EQ(QApplication::focusWidget(), frm->medGrFiscOpEs);
    if (stored && !stored->empty()) {
        const auto desc = db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {*stored});
        EXPECT_EQ(frm->medGrFiscOpEs->Text(), QString::fromStdString(*stored));
        EXPECT_EQ(frm->edtNmGrupFisc->text(), QString::fromStdString(desc.value_or("")));
        EXPECT_EQ(methods(), QStringList{QStringLiteral("GetGrupoFiscal")});
    } else {
        EXPECT_TRUE(frm->medGrFiscOpEs->Text().isEmpty());
        EXPECT_TRUE(methods().isEmpty());
    }
    EXPECT_EQ(frm->cdsOperInter->State(), dataset::dsBrowse) << "showing the value starts no edit";
}

} // namespace
} // namespace fiscal::test
