// Changes the server has not taken yet, before a reload the user did not ask for: a save
// the server refused leaves its rows in the data set's change log, in browse state, and a
// reload would drop them without a word. The user saves them, drops them, or stops.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "clientlib/interaction.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"
#include "vcl/pagecontrol.h"

namespace fiscal::ger10200 {

using dataset::TClientDataSet;

namespace {

enum Choice { Gravar, Descartar, Cancelar };

Choice askAboutChanges(const QString &tab, QWidget *parent)
{
    return Choice(clientlib::interaction().ask(
        clientlib::mtConfirmation, clientlib::messageTitle(clientlib::mtConfirmation),
        QStringLiteral("Há alterações não gravadas em %1. Gravar, descartar ou cancelar?").arg(tab),
        {QStringLiteral("Gravar"), QStringLiteral("Descartar"), QStringLiteral("Cancelar")}, parent));
}

} // namespace

bool TfrmParamGrupFiscal::resolvePending(const QList<Reload> &reloads)
{
    for (const Reload &r : reloads) {
        TClientDataSet *cds = r.cds;
        // An edit under way is not a pending change: the caller's own guard handles it.
        if (!cds->Active() || cds->State() != dataset::dsBrowse || cds->ChangeCount() <= 0)
            continue;
        const Choice choice = askAboutChanges(tabNameOf(cds), this);
        if (choice == Gravar)
            savePending(cds);   // a refusal is shown and aborts what was to follow
        else if (choice == Descartar)
            cds->CancelUpdates();
        else
            return false;
    }
    return true;
}

// Closing drops what the server has not taken: an edit under way and the changes a refused
// save left. Each tab holding some is saved or dropped as the user says; Cancelar, or a save
// the server refuses, keeps the screen open.
bool TfrmParamGrupFiscal::FormCloseQuery()
{
    QList<std::pair<TClientDataSet *, vcl::TDBGrid *>> sets;
    for (const GridMember &m : std::as_const(m_members))
        sets.append({m.cds, m.grid});
    sets.append({cdsTipoGest, dbgTipoGest});
    sets.append({cdsOperInter, nullptr});
    QList<Reload> logged;
    for (const auto &[cds, grid] : sets) {
        logged.append(Reload{cds, {}});
        if (!cds->Active() || (cds->State() != dataset::dsEdit && cds->State() != dataset::dsInsert))
            continue;
        const Choice choice = askAboutChanges(tabNameOf(cds), this);
        if (choice == Cancelar)
            return false;
        if (choice == Gravar) {
            if (grid)
                grid->setEditorMode(false);   // the text still in the cell goes into the row
            cds->Post();                      // saved as leaving the row saves it
            if (cds->ChangeCount() > 0)
                return false;                 // refused: its message was shown
        }
        // Descartar: the screen and its data go away with the edit.
    }
    return resolvePending(logged);
}

QString TfrmParamGrupFiscal::tabNameOf(TClientDataSet *cds) const
{
    if (cds == cdsFornInsc || cds == cdsCliInsc)
        return QStringLiteral("%1 (%2)").arg(tshImpInscEsta->Caption(),
                                             (cds == cdsFornInsc ? tshFornecedor : tshCli)->Caption());
    const std::pair<TClientDataSet *, vcl::TTabSheet *> tabs[] = {
        {cdsFornecedor, tshPadrao},        {cdsCliente, tshCliente},   {cdsFilial, tshFilial},
        {cdsTipoOperac, tshTipoOperac},    {cdsTipoFatur, tshTipoContrato}, {cdsOperInter, tshOperInter},
        {cdsTipoGest, tshTipoGest},        {cdsImpFili, tshImpFili},
    };
    for (const auto &[set, tab] : tabs)
        if (set == cds)
            return tab->Caption();
    return cds->objectName();
}

void TfrmParamGrupFiscal::savePending(TClientDataSet *cds)
{
    for (const GridMember &m : std::as_const(m_members))
        if (m.cds == cds)
            return SendChanges(m, false);
    if (cds == cdsOperInter)
        cdsOperInterAfterPost();
    else if (cds == cdsTipoGest)
        cdsTipoGestAfterPost();
}

} // namespace fiscal::ger10200
