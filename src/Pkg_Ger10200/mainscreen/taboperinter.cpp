// Tab "Operações Interestaduais": the one fiscal group of interstate operations, kept in the
// general parameter row and edited in a single box rather than a grid.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/datasets.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/messages.h"
#include "clientlib/textroutines.h"
#include "clientlib/waitanimation.h"
#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"

#include <QLineEdit>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::dsEdit;
using dataset::dsBrowse;
using dataset::dsInsert;
using dataset::TClientDataSet;

void TfrmParamGrupFiscal::wireOperInter()
{
    medGrFiscOpEs->OnChange = [this] {
        if (m_operInterChangeSuspended == 0)
            medGrFiscOpEsChange();
    };
    medGrFiscOpEs->OnExit = [this] { Vd_GrFiscOpInt(); };
    // Enter saves the group and Esc gives it up, as in the grids: the other tabs wait for
    // one or the other, and the navigator's buttons take no focus.
    medGrFiscOpEs->OnKeyDown = [this](int &key, Qt::KeyboardModifiers modifiers) {
        const auto state = cdsOperInter->State();
        if ((modifiers & (Qt::ControlModifier | Qt::AltModifier)) || (state != dsEdit && state != dsInsert))
            return;
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            key = 0;
            cdsOperInter->Post();
        } else if (key == Qt::Key_Escape) {
            key = 0;
            cdsOperInter->Cancel();
        }
    };

    btpPesqGrupFisc->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) {
        loadGruposFiscais(QString());
    };
    btpPesqGrupFisc->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        const QString code = cdsGrupoFiscal->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString();
        const QString desc = cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString();
        medGrFiscOpEs->setText(code);   // starts the edit through the change handling
        edtNmGrupFisc->setText(desc);
    };

    // The one parameter row may be started only while there is none: a second one, from the
    // navigator's +, was sent as an insert that the server refuses as a change by another user.
    cdsOperInter->BeforeInsert = [](TClientDataSet &set) {
        if (!set.IsEmpty())
            dataset::Abort();
    };
    cdsOperInter->BeforePost = [this](TClientDataSet &) { cdsOperInterBeforePost(); };
    cdsOperInter->AfterPost = [this](TClientDataSet &) { cdsOperInterAfterPost(); };
    cdsOperInter->AfterDelete = [this](TClientDataSet &) { cdsOperInterAfterDelete(); };
    // A cancel (the navigator's ✕ takes no focus, so no exit of the box shows it) puts the
    // stored group back in the box, not the text typed, which printing would take for it.
    cdsOperInter->AfterCancel = [this](TClientDataSet &) {
        if (pgcPadrao->ActivePage() == tshOperInter)
            showOperInter();
    };
}

void TfrmParamGrupFiscal::medGrFiscOpEsChange()
{
    edtNmGrupFisc->clear();
    if (!cdsOperInter->Active())
        return;   // nothing loaded: there is no parameter row to edit
    if (cdsOperInter->State() != dsEdit && cdsOperInter->State() != dsInsert)
        cdsOperInter->Edit();   // on an empty data set this starts the parameter row
    dtsPadraoStateChange();
}

void TfrmParamGrupFiscal::Vd_GrFiscOpInt()
{
    const auto state = dtsOperInter->State();
    if (state != dsEdit && state != dsInsert)
        return;
    // Back in the box on its tab before the message (or the error) is shown. From another
    // tab (a row being started, posted on closing the screen) the navigator, the tool bar and
    // the menu come along: left on that tab's data set, a deletion went to its row.
    const auto focusBack = [this] {
        if (pgcPadrao->ActivePage() != tshOperInter) {
            pgcPadrao->setActivePage(tshOperInter);
            checkActiveTabMenu();
            bindOperInter();
        }
        medGrFiscOpEs->SetFocus();
    };
    const QString code = clientlib::Ajusta(medGrFiscOpEs->Text(), 3);
    if (code != medGrFiscOpEs->Text())
        medGrFiscOpEs->setText(code);
    try {
        loadGruposFiscais(code);
    } catch (...) {
        focusBack();
        throw;
    }
    if (cdsGrupoFiscal->IsEmpty()) {
        focusBack();
        clientlib::MensErro(msgPadrao->Msg(QStringLiteral("cod_not_cad")), true);
    }
    if (medGrFiscOpEs->IsEmpty())
        edtNmGrupFisc->clear();
    else
        edtNmGrupFisc->setText(cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString());
}

void TfrmParamGrupFiscal::cdsOperInterBeforePost()
{
    Vd_GrFiscOpInt();
    dataset::TField *f = cdsOperInter->FieldByName(QStringLiteral("DSPARGERFIS"));
    if (medGrFiscOpEs->IsEmpty())
        f->Clear();   // no group is stored as null
    else
        f->setAsString(medGrFiscOpEs->Text());
}

void TfrmParamGrupFiscal::cdsOperInterAfterPost()
{
    if (cdsOperInter->ChangeCount() <= 0)
        return;
    {
        clientlib::WaitScope wait(this, 1, msgPadrao->Msg(QStringLiteral("Atual_Oper")));
        netParamGrupFiscal->save(method::SetOperInter, deltaValue(cdsOperInter));
    }
    cdsOperInter->MergeChangeLog();
    m_operInterShownCode = medGrFiscOpEs->Text();
    m_operInterShownDesc = edtNmGrupFisc->text();
    refreshCache(QStringLiteral("PARAMGERAL"));
}

void TfrmParamGrupFiscal::cdsOperInterAfterDelete()
{
    // The parameter row cannot be removed from here: put it back at once.
    cdsOperInter->CancelUpdates();
    Vd_GrFiscOpInt();
    // The box was blanked while the row was gone; it must show the row back, as printing
    // takes the group from it. A delete makes no call: the description is the one last
    // shown for that group.
    if (pgcPadrao->ActivePage() != tshOperInter)
        return;
    const QString code = currentText(cdsOperInter, QStringLiteral("DSPARGERFIS"));
    ++m_operInterChangeSuspended;
    medGrFiscOpEs->setText(code);
    edtNmGrupFisc->setText(code == m_operInterShownCode ? m_operInterShownDesc : QString());
    --m_operInterChangeSuspended;
}

// What the tab's tool bar, navigator and name label act on, without reading anything.
void TfrmParamGrupFiscal::bindOperInter()
{
    setAutomaticPair(false);
    setEditPair(true);
    dtsPadrao->setDataSet(cdsOperInter);
    setReplicationPair(false);
}

void TfrmParamGrupFiscal::showOperInter()
{
    ++m_operInterChangeSuspended;
    try {
        // A row being started has no group until it is posted: the box holds what was typed
        // (the other tabs stay open meanwhile), and its post takes it from there.
        if (cdsOperInter->State() != dsInsert)
            medGrFiscOpEs->setText(currentText(cdsOperInter, QStringLiteral("DSPARGERFIS")));
        edtNmGrupFisc->clear();
        if (!medGrFiscOpEs->IsEmpty()) {
            loadGruposFiscais(medGrFiscOpEs->Text());
            edtNmGrupFisc->setText(currentText(cdsGrupoFiscal, QStringLiteral("DSGRUPOFISC")));
        }
        if (cdsOperInter->State() == dsBrowse) {
            m_operInterShownCode = medGrFiscOpEs->Text();
            m_operInterShownDesc = edtNmGrupFisc->text();
        }
        medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
    } catch (...) {
        --m_operInterChangeSuspended;
        throw;
    }
    --m_operInterChangeSuspended;
}

} // namespace fiscal::ger10200
