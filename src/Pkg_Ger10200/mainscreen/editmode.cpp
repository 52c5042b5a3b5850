// Tab switching, edit mode and menus: whatever tab is active, the base screen's record
// commands act on its data set, and while that data set is being edited every other tab
// and its menu entry is locked.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/usersession.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QLineEdit>

namespace fiscal::ger10200 {

using dataset::dsBrowse;
using dataset::dsEdit;
using dataset::dsInactive;
using dataset::TClientDataSet;
using dataset::TDataSource;

QList<vcl::TTabSheet *> TfrmParamGrupFiscal::allTabs() const
{
    return {tshPadrao, tshCliente, tshFilial, tshTipoOperac, tshTipoContrato,
            tshOperInter, tshTipoGest, tshImpFili, tshImpInscEsta};
}

QList<vcl::TTabSheet *> TfrmParamGrupFiscal::otherTabs() const
{
    QList<vcl::TTabSheet *> tabs = allTabs();
    tabs.removeAll(pgcPadrao->ActivePage());
    return tabs;
}

QList<QAction *> TfrmParamGrupFiscal::tabMenus() const
{
    return {mnuFornecedor, mnuCliente, mnuFilial, mnuTipoOperac, mnuTipoContrato,
            mnuOperInter, mnuImpFili, mnuImpInscEsta};
}

namespace {
// The tab each entry of tabMenus() selects.
QList<vcl::TTabSheet *> menuTabs(const TfrmParamGrupFiscal *f)
{
    return {f->tshPadrao, f->tshCliente, f->tshFilial, f->tshTipoOperac, f->tshTipoContrato,
            f->tshOperInter, f->tshImpFili, f->tshImpInscEsta};
}
} // namespace

// Only the entry of the tab shown is checked; triggering an entry toggles its own check.
void TfrmParamGrupFiscal::checkActiveTabMenu()
{
    const QList<QAction *> menus = tabMenus();
    const QList<vcl::TTabSheet *> tabs = menuTabs(this);
    for (int i = 0; i < menus.size(); ++i)
        menus[i]->setChecked(tabs[i] == pgcPadrao->ActivePage());
}

void TfrmParamGrupFiscal::setEditPair(bool enabled)
{
    // Its menu entry follows the button; a role that may not save never gets it.
    clientlib::enableFor(sbtAlterar, clientlib::UserSession::Right::Write, enabled);
}

void TfrmParamGrupFiscal::setAutomaticPair(bool enabled)
{
    clientlib::enableFor(sbtAutomatico, clientlib::UserSession::Right::Write, enabled);
    // Importing, like the automatic registration, writes many rows of the tab at once: it
    // is there exactly when that is, and the user's role may write.
    if (sbtImportar)
        clientlib::enableFor(sbtImportar, clientlib::UserSession::Right::Write, enabled);
}

void TfrmParamGrupFiscal::setReplicationPair(bool enabled)
{
    clientlib::enableFor(sbtReplica, clientlib::UserSession::Right::Write, enabled);
}

void TfrmParamGrupFiscal::disableIdleCommands()
{
    for (QWidget *w : idleControls())
        w->setEnabled(false);
    for (QAction *a : idleMenuEntries())
        a->setEnabled(false);
}

void TfrmParamGrupFiscal::bindNome(TDataSource *dts)
{
    dbtNome->show();
    lblNome->hide();
    dbtNome->setDataSource(dts);
}

TClientDataSet *TfrmParamGrupFiscal::innerDataSet() const
{
    return pgcCliente->ActivePage() == tshCli ? cdsCliInsc : cdsFornInsc;
}

TDataSource *TfrmParamGrupFiscal::innerDataSource() const
{
    return pgcCliente->ActivePage() == tshCli ? dtsCliInsc : dtsFornInsc;
}

vcl::TDBGrid *TfrmParamGrupFiscal::innerGrid() const
{
    return pgcCliente->ActivePage() == tshCli ? dbgCliInsc : dbgFornInsc;
}

void TfrmParamGrupFiscal::pgcPadraoChange()
{
    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    checkActiveTabMenu();

    struct GridTab { vcl::TTabSheet *tab; TClientDataSet *cds; TDataSource *dts; };
    const GridTab gridTabs[] = {
        {tshPadrao, cdsFornecedor, dtsFornecedor},
        {tshCliente, cdsCliente, dtsCliente},
        {tshFilial, cdsFilial, dtsFilial},
        {tshTipoOperac, cdsTipoOperac, dtsTipooperac},
        {tshTipoContrato, cdsTipoFatur, dtsTipoFatur},
    };
    for (const GridTab &g : gridTabs) {
        if (g.tab != active)
            continue;
        setEditPair(g.cds->Active() && !g.cds->IsEmpty());
        dtsPadrao->setDataSet(g.cds);
        bindNome(g.dts);
        setReplicationPair(false);
        return;
    }
    if (active == tshOperInter) {
        bindOperInter();
        showOperInter();
    } else if (active == tshImpFili) {
        setEditPair(dtsImpFili->State() == dsBrowse && !cdsImpFili->IsEmpty());
        dtsPadrao->setDataSet(cdsImpFili);
        bindNome(dtsImpFili);
        medCdImposto->setFocus(Qt::TabFocusReason);
        setReplicationPair(false);
    } else if (active == tshTipoGest) {
        setEditPair(dtsTipoGest->State() == dsBrowse && !cdsTipoGest->IsEmpty());
        dtsPadrao->setDataSet(cdsTipoGest);
        bindNome(dtsTipoGest);
        setReplicationPair(false);
    } else if (active == tshImpInscEsta) {
        // Until an inner tab loads, the navigator and the name label act on nothing: bound
        // to the previous tab's data set they would edit or delete rows nobody sees here.
        dtsPadrao->setDataSet(nullptr);
        bindNome(nullptr);
        setAutomaticPair(true);
        setEditPair(false);
        medCdEmpresa->setText(QString());
        medInscEsta->setText(QString());
        medImp->setText(QString());
        cdsFornInsc->Close();
        cdsCliInsc->Close();
        medCdEmpresa->setFocus(Qt::TabFocusReason);
        setReplicationPair(true);
    }
}

void TfrmParamGrupFiscal::HabilitaTSH(TClientDataSet *cds, const QList<vcl::TTabSheet *> &tabs)
{
    const bool editing = cds->State() == dsEdit;
    for (vcl::TTabSheet *tab : tabs)
        tab->setEnabled(!editing);
    setEditPair(cds->State() == dsBrowse);
}

void TfrmParamGrupFiscal::dtsPadraoStateChange()
{
    clientlib::TfrmPadraoGrid::dtsPadraoStateChange();
    disableIdleCommands();

    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    auto browsingWithRows = [](TClientDataSet *cds) {
        return cds->State() == dsBrowse && !cds->IsEmpty();
    };

    if (active == tshTipoContrato) {
        if (cdsTipoFatur->Active() && !cdsTipoFatur->IsEmpty()
            && !cdsTipoFatur->FieldByName(QStringLiteral("CDTIPOFATUR"))->AsString().isEmpty()) {
            vcl::TColumn *col = dbgTipoFatur->Columns().FindField(QStringLiteral("CDGRUPOFISC"));
            col->setButtonStyle(dtsPadrao->State() == dsEdit ? vcl::cbsEllipsis : vcl::cbsAuto);
        }
    }

    TClientDataSet *plain = nullptr;
    if (active == tshPadrao)
        plain = cdsFornecedor;
    else if (active == tshCliente)
        plain = cdsCliente;
    else if (active == tshFilial)
        plain = cdsFilial;
    else if (active == tshTipoOperac)
        plain = cdsTipoOperac;
    else if (active == tshTipoContrato)
        plain = cdsTipoFatur;
    else if (active == tshTipoGest)
        plain = cdsTipoGest;

    if (plain) {
        HabilitaTSH(plain, otherTabs());
        setAutomaticPair(browsingWithRows(plain));
        setReplicationPair(false);
    } else if (active == tshOperInter) {
        if (cdsOperInter->IsEmpty()) {
            ++m_operInterChangeSuspended;
            medGrFiscOpEs->setText(QString());
            --m_operInterChangeSuspended;
        }
        HabilitaTSH(cdsOperInter, otherTabs());
        setReplicationPair(false);
    } else if (active == tshImpFili) {
        HabilitaTSH(cdsImpFili, otherTabs());
        setAutomaticPair(browsingWithRows(cdsImpFili));
        const bool idle = dtsImpFili->State() == dsInactive || dtsImpFili->State() == dsBrowse;
        lblImposto->setEnabled(idle);
        medCdImposto->setEnabled(idle);
        btpImposto->setEnabled(idle);
        setReplicationPair(false);
    } else if (active == tshImpInscEsta) {
        TClientDataSet *x = innerDataSet();
        TDataSource *dts = innerDataSource();
        HabilitaTSH(x, otherTabs());
        setAutomaticPair(dts->State() == dsBrowse);
        vcl::setChildrenEnabled(panImpInscEsta,
                                dts->State() == dsInactive || dts->State() == dsBrowse);
        setReplicationPair(true);
    }

    // A tab's menu entry can be used exactly when its tab can.
    const QList<QAction *> menus = tabMenus();
    const QList<vcl::TTabSheet *> tabs = menuTabs(this);
    for (int i = 0; i < menus.size(); ++i)
        menus[i]->setEnabled(tabs[i]->Enabled());
}

void TfrmParamGrupFiscal::focusGrupoFiscal(vcl::TDBGrid *grid, TClientDataSet *cds)
{
    dataset::TField *selected = grid->SelectedField();
    if (!selected || selected->FieldName().compare(QLatin1String("CDGRUPOFISC"), Qt::CaseInsensitive) != 0)
        cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->FocusControl();
}

void TfrmParamGrupFiscal::sbtAlterarClick()
{
    clientlib::TfrmPadraoGrid::sbtAlterarClick();

    vcl::TTabSheet *active = pgcPadrao->ActivePage();
    struct GridTab { vcl::TTabSheet *tab; vcl::TDBGrid *grid; TClientDataSet *cds; };
    const GridTab gridTabs[] = {
        {tshPadrao, dbgPadrao, cdsFornecedor},
        {tshCliente, dbgCliente, cdsCliente},
        {tshFilial, dbgFilial, cdsFilial},
        {tshTipoOperac, dbgTipooperac, cdsTipoOperac},
        {tshTipoContrato, dbgTipoFatur, cdsTipoFatur},
        {tshImpFili, dbgImpFili, cdsImpFili},
    };
    for (const GridTab &g : gridTabs) {
        if (g.tab == active) {
            focusGrupoFiscal(g.grid, g.cds);
            return;
        }
    }
    if (active == tshOperInter)
        medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
    else if (active == tshImpInscEsta)
        focusGrupoFiscal(innerGrid(), innerDataSet());
    else if (active == tshTipoGest)
        cdsTipoGest->FieldByName(QStringLiteral("CDGRUPOFISC"))->FocusControl();
}

void TfrmParamGrupFiscal::sbtCancelarClick()
{
    clientlib::TfrmPadraoGrid::sbtCancelarClick();
    // The reload would drop what a refused save left in the tab's change log: the user
    // cancelled one row, not that. Asked about first; Cancelar keeps it and the rows shown.
    const bool inner = pgcPadrao->ActivePage() == tshImpInscEsta;
    QList<Reload> shown;
    for (const Reload &r : dialogReloads())
        if ((r.cds == cdsFornInsc || r.cds == cdsCliInsc) == inner)
            shown.append(r);
    if (!resolvePending(shown))
        return;
    sbtVerificarClick();
}

void TfrmParamGrupFiscal::selectTabFromMenu(vcl::TTabSheet *tab)
{
    // A locked tab cannot be reached through its menu entry either.
    if (!tab->Enabled())
        return;
    // The tab shown is left enabled while it is edited; running its switch again would
    // close (state registrations) or overwrite (interstate box) what is being typed.
    if (tab == pgcPadrao->ActivePage()) {
        const TClientDataSet *shown = tab == tshImpInscEsta ? innerDataSet() : dtsPadrao->DataSet();
        if (shown && (shown->State() == dsEdit || shown->State() == dataset::dsInsert)) {
            checkActiveTabMenu();
            return;
        }
    }
    // The box being left may refuse its code: then the user stays on the tab.
    // Running the switch of "Imposto/Inscrição Estadual" again empties it as leaving it does.
    bool leave = tab == pgcPadrao->ActivePage() || pgcPadrao->leavePage();
    try {
        leave = leave && mayLeaveTab();
    } catch (...) {
        checkActiveTabMenu();   // a save refused again: the entry picked is not the tab shown
        throw;
    }
    if (!leave) {
        checkActiveTabMenu();
        return;
    }
    pgcPadrao->setActivePage(tab);
    pgcPadraoChange();
}

} // namespace fiscal::ger10200
