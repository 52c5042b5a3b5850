// Tab "Tipo de Gestão Fiscal": checked straight against the database when a row is posted;
// a post sends the whole data set and reloads the tab; a cancel reloads it too.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/datasets.h"

#include "clientlib/hostservices.h"
#include "clientlib/messages.h"
#include "clientlib/adoibquery.h"
#include "clientlib/search.h"
#include "clientlib/textroutines.h"
#include "clientlib/waitanimation.h"
#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "protocol/objects.h"

#include <QMainWindow>
#include <QPainter>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::dsEdit;
using dataset::dsInsert;
using dataset::TClientDataSet;
using dataset::TField;

namespace {
const QString kCode = QStringLiteral("CDGRUPOFISC");
const QString kName = QStringLiteral("NMTPFATURFIS");
const QString kDesc = QStringLiteral("DSGRUPOFISC");
} // namespace

void TfrmParamGrupFiscal::wireTipoGest()
{
    dtsTipoGest->OnStateChange = [this](dataset::TDataSource &) { dtsTipoGestStateChange(); };
    dbgTipoGest->OnKeyPress = [this](QChar &key) {
        TField *f = dbgTipoGest->SelectedField();
        if (!f || f->FieldName() != kCode)
            return;
        // Delete comes as a character too (DEL) and edits as Backspace does.
        if (key != QChar(u'\b') && key != QChar(u'\x7f') && !(key >= QChar(u'0') && key <= QChar(u'9')))
            key = QChar();
    };
    dbgTipoGest->OnEditButtonClick = [this] { dbgTipoGestEditButtonClick(); };
    // The group cell shows "code - description": found by either, its tip the whole text.
    const auto groupText = [this](int dataCol) {
        if (dataCol != dbgTipoGest->Columns().IndexOfField(kCode) || !cdsTipoGest->Active()
            || cdsTipoGest->IsEmpty())
            return QString();
        return cdsTipoGest->FieldByName(kCode)->AsString() + QStringLiteral(" - ")
            + cdsTipoGest->FieldByName(kDesc)->AsString();
    };
    if (vcl::TColumn *c = dbgTipoGest->Columns().FindField(kCode))
        c->setFindFields({kCode, kDesc});
    dbgTipoGest->OnCellHint = groupText;
    dbgTipoGest->OnDrawColumnCell = [this, groupText](QPainter &painter, const QRect &rect, int dataCol,
                                                      vcl::TColumn *, vcl::TGridDrawState) {
        const QString text = groupText(dataCol);
        if (text.isEmpty())
            return;
        painter.save();
        painter.fillRect(rect, painter.brush());
        painter.setClipRect(rect);
        painter.drawText(rect.adjusted(1, 2, 0, 0), int(Qt::AlignLeft | Qt::AlignTop), text);
        painter.restore();
    };
    cdsTipoGest->BeforeInsert = [](TClientDataSet &) { dataset::Abort(); };
    cdsTipoGest->BeforePost = [this](TClientDataSet &) { cdsTipoGestBeforePost(); };
    cdsTipoGest->AfterPost = [this](TClientDataSet &) { cdsTipoGestAfterPost(); };
    cdsTipoGest->AfterCancel = [this](TClientDataSet &) { cdsTipoGestAfterCancel(); };
}

void TfrmParamGrupFiscal::dtsTipoGestStateChange()
{
    const auto state = dtsTipoGest->State();
    if (vcl::TColumn *col = dbgTipoGest->Columns().FindField(kCode))
        col->setButtonStyle(state == dsEdit || state == dsInsert ? vcl::cbsEllipsis : vcl::cbsAuto);
    if (cdsTipoGest->Active() && !cdsTipoGest->IsEmpty()
        && cdsTipoGest->FieldByName(kName)->AsString().isEmpty())
        cdsTipoGest->FieldByName(kCode)->setTag(1);
}

void TfrmParamGrupFiscal::dbgTipoGestEditButtonClick()
{
    if (cdsTipoGest->State() != dsEdit)
        cdsTipoGest->Edit();
    TField *selected = dbgTipoGest->SelectedField();
    if (cdsTipoGest->FieldByName(kName)->AsString().isEmpty() || !selected
        || selected->FieldName() != kCode)
        return;
    if (!qryGrupoFisc->Active())
        qryGrupoFisc->Open();
    if (clientlib::Pesquisar(dtsGrupoFisc, msgPadrao->Msg(QStringLiteral("Grupo")), false, true)) {
        // The field keeps the code; the row's description is left as it was until the
        // post reloads the tab.
        cdsTipoGest->FieldByName(kCode)->setAsString(qryGrupoFisc->FieldByName(kCode)->AsString());
    }
}

void TfrmParamGrupFiscal::Vd_GrupoFiscGrid()
{
    TField *code = cdsTipoGest->FieldByName(kCode);
    try {
        QString text = dbgTipoGest->CellText(code, false);
        if (clientlib::EmptyString(text))
            return;
        text = clientlib::Ajusta(text, 3);
        qryVd_GrupoFiscGrid->Close();
        qryVd_GrupoFiscGrid->ParamByName(QStringLiteral("P_CDGRUPOFISC")).setAsString(text);
        qryVd_GrupoFiscGrid->Open();
        if (qryVd_GrupoFiscGrid->IsEmpty()) {
            code->FocusControl();
            clientlib::MensErro(msgPadrao->Msg(QStringLiteral("Grup_N_Cad")), true);
        }
        code->setAsString(qryVd_GrupoFiscGrid->FieldByName(kCode)->AsString());
    } catch (...) {
        code->setAsString(QString());
        throw;
    }
}

void TfrmParamGrupFiscal::cdsTipoGestBeforePost()
{
    Vd_GrupoFiscGrid();
    TField *code = cdsTipoGest->FieldByName(kCode);
    if (clientlib::EmptyString(dbgTipoGest->CellText(code, false)))
        code->Clear();
}

void TfrmParamGrupFiscal::reloadTipoGestAt(const QString &name)
{
    // This tab's own reload, which is the active tab's refresh when it is shown; saved from
    // the question about pending changes on another tab, that tab and its changes stay.
    load(cdsTipoGest, QString::fromLatin1(method::GetTipoGest));
    cdsTipoGest->Locate(kName, name, true);
}

void TfrmParamGrupFiscal::cdsTipoGestAfterPost()
{
    if (cdsTipoGest->ChangeCount() <= 0)
        return;
    clientlib::WaitScope wait(clientlib::hostMainWindow() ? static_cast<QWidget *>(clientlib::hostMainWindow())
                                                          : static_cast<QWidget *>(this),
                              6);
    try {
        netParamGrupFiscal->save(method::SetTipoGest, wholeDataValue(cdsTipoGest));
        if (cdsTipoGest->LogChanges())
            cdsTipoGest->MergeChangeLog();
        reloadTipoGestAt(cdsTipoGest->FieldByName(kName)->AsString());
    } catch (...) {
        cdsTipoGest->CancelUpdates();
        throw;
    }
}

void TfrmParamGrupFiscal::cdsTipoGestAfterCancel()
{
    reloadTipoGestAt(currentText(cdsTipoGest, kName));
}

} // namespace fiscal::ger10200
