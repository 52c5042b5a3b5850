// Tab "Imposto/Filial": the branches' fiscal groups for one tax. The grid is filled only
// when it receives the focus, and emptied whenever the user goes back into the tax box.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/messages.h"
#include "clientlib/adoibquery.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "vcl/controls.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"

#include <QLineEdit>

namespace fiscal::ger10200 {

namespace method = protocol::method;

void TfrmParamGrupFiscal::wireImpFili()
{
    m_vdImposto = std::make_unique<CodeField>(
        medCdImposto, edtNmImposto, msgPadrao,
        CodeFieldSpec{2, QStringLiteral("Imp_Inf"), QStringLiteral("Imp_Cad")},
        [this](const QString &code) -> std::optional<QString> {
            qryValidImposto->Close();
            qryValidImposto->ParamByName(QStringLiteral("P_CDIMPOSTO")).setAsString(code);
            qryValidImposto->Open();
            if (qryValidImposto->IsEmpty())
                return std::nullopt;
            return qryValidImposto->FieldByName(QStringLiteral("NMIMPOSTO"))->AsString();
        });
    // Only while the tab is on screen does a failed check pull the user back into the box.
    m_vdImposto->setFocusBack([this] { return pgcPadrao->ActivePage() == tshImpFili; });
    m_vdImposto->wire();
    medCdImposto->OnEnter = [this] { medCdImpostoEnter(); };
    // Rows of one tax never stay under another in the box: a change the user makes to its
    // text (typed after a refresh left the focus there, pasted, dropped) empties the grid as
    // entering the box does, or a deletion would go to the tax the rows were read for.
    connect(medCdImposto, &QLineEdit::textEdited, this, [this] {
        if (cdsImpFili->Active())
            medCdImpostoEnter();
        focusBoxFrom(dbgImpFili, medCdImposto);
    });

    btpImposto->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        const QString before = medCdImposto->Text();
        m_vdImposto->setFromSearch(qryImposto->FieldByName(QStringLiteral("CDIMPOSTO"))->AsString(),
                                   qryImposto->FieldByName(QStringLiteral("NMIMPOSTO"))->AsString());
        // The grid holds the rows of the tax it was read for: another tax empties it, as
        // entering the box does (the button takes no focus), until the grid is entered again.
        // A grid that kept the focus could not be entered again: the box takes it.
        if (medCdImposto->Text() != before) {
            medCdImpostoEnter();
            focusBoxFrom(dbgImpFili, medCdImposto);
        }
    };

    dbgImpFili->OnEnter = [this] { dbgImpFiliEnter(); };
}

void TfrmParamGrupFiscal::medCdImpostoEnter()
{
    cdsImpFili->Close();
    setAutomaticPair(false);
    setReplicationPair(false);
}

void TfrmParamGrupFiscal::focusBoxFrom(QWidget *area, QWidget *box)
{
    // The window's own: the list just closed may not have given the activation back yet.
    QWidget *focused = area->window()->focusWidget();
    if (focused && (focused == area || area->isAncestorOf(focused)))
        box->setFocus(Qt::OtherFocusReason);
}

void TfrmParamGrupFiscal::dbgImpFiliEnter()
{
    // A row being edited keeps the rows it belongs to: the tax box is locked meanwhile, and a
    // reload would drop what is typed (the focus went on from the find bar, and came back).
    // So do changes a refused save left: the rows are still those of the tax in the box,
    // which entering it would have emptied.
    if (cdsImpFili->State() == dataset::dsEdit || cdsImpFili->State() == dataset::dsInsert
        || (cdsImpFili->Active() && cdsImpFili->ChangeCount() > 0))
        return;
    m_vdImposto->Validate(true);
    clientlib::WaitScope wait(this, 6, msgPadrao->Msg(QStringLiteral("GetImpFili")));
    load(cdsImpFili, method::GetImpFili, {medCdImposto->Text()});
}

} // namespace fiscal::ger10200
