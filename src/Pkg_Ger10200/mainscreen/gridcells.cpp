// The fiscal-group cell of every grid: the ellipsis list, the check on leaving the column
// and the painting as code " - " description; and the display of registration numbers.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/celltext.h"

#include "clientlib/messages.h"
#include "clientlib/search.h"
#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "protocol/objects.h"

#include <QPainter>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using clientlib::Ajusta;
using clientlib::EmptyString;
using clientlib::MensErro;
using dataset::dsEdit;
using dataset::TClientDataSet;
using dataset::TField;

namespace {
const QString kCode = QStringLiteral("CDGRUPOFISC");
const QString kDesc = QStringLiteral("DSGRUPOFISC");

bool isField(const TField *f, const QString &name)
{
    return f && f->FieldName().compare(name, Qt::CaseInsensitive) == 0;
}
} // namespace

void TfrmParamGrupFiscal::loadGruposFiscais(const QString &code)
{
    cdsGrupoFiscal->setData(netParamGrupFiscal->packet(method::GetGrupoFiscal, {code}));
}

void TfrmParamGrupFiscal::wireGridCells(const GridMember &m)
{
    m.grid->OnEditButtonClick = [this, m] { EditButtonClick(m); };
    m.grid->OnColExit = [this, m] { ColExit(m); };
    // The find bar looks at what the cells show: a registration number by its digits (the
    // mask only adds punctuation, which finding ignores), a painted group cell by its code
    // and its description.
    for (const QString &number : {QStringLiteral("NRINSJURFORN"), QStringLiteral("NRINSJURCLIE")}) {
        if (vcl::TColumn *c = m.grid->Columns().FindField(number))
            c->setFindFields({number});
    }
    if (!PaintsGroupCells(m.grid))
        return;
    if (vcl::TColumn *c = m.grid->Columns().FindField(kCode))
        c->setFindFields({kCode, kDesc});
    vcl::TDBGrid *grid = m.grid;
    grid->OnDrawColumnCell = [this, grid](QPainter &painter, const QRect &rect, int dataCol,
                                          vcl::TColumn *, vcl::TGridDrawState state) {
        DrawColumnCell(grid, painter, rect, dataCol, state.testFlag(vcl::gdSelected),
                       state.testFlag(vcl::gdFocused));
    };
    grid->OnCellHint = [this, grid](int dataCol) { return PaintedText(grid, dataCol, false).value_or(QString()); };
}

void TfrmParamGrupFiscal::EditButtonClick(const GridMember &m)
{
    if (m.cds->State() != dsEdit)
        m.cds->Edit();
    if (m.grid == dbgTipoFatur
        && m.cds->FieldByName(QStringLiteral("CDTIPOFATUR"))->AsString().isEmpty())
        return;
    if (!isField(m.grid->SelectedField(), kCode))
        return;
    loadGruposFiscais(QString());
    if (clientlib::Pesquisar(dtsGrupoFiscal, msgPadrao->Msg(QStringLiteral("Grupo")), false, true)) {
        m.cds->FieldByName(kCode)->setAsString(cdsGrupoFiscal->FieldByName(kCode)->AsString());
        m.cds->FieldByName(kDesc)->setAsString(cdsGrupoFiscal->FieldByName(kDesc)->AsString());
    }
}

void TfrmParamGrupFiscal::ColExit(const GridMember &m)
{
    if (isField(m.grid->SelectedField(), kCode))
        Vd_GrupoFiscal(m.cds);
}

void TfrmParamGrupFiscal::Vd_GrupoFiscal(TClientDataSet *cds)
{
    if (cds->State() != dsEdit)
        return;
    TField *code = cds->FieldByName(kCode);
    const QString adjusted = Ajusta(code->AsString(), 3);
    if (adjusted != code->AsString())
        code->setAsString(adjusted);
    // Blanks only: a group cell has no mask whose '_' would mean an empty place, so "_" is a
    // code to look up (and refuse), not an empty group the server would refuse instead.
    if (adjusted.trimmed().isEmpty())
        return;   // no group is allowed; posting stores it as such
    try {
        loadGruposFiscais(adjusted);
    } catch (...) {
        code->FocusControl();
        throw;
    }
    if (cdsGrupoFiscal->IsEmpty()) {
        code->FocusControl();   // before the message, as every code box does
        MensErro(msgPadrao->Msg(QStringLiteral("cod_not_cad")), true);
    }
}

void TfrmParamGrupFiscal::DrawColumnCell(vcl::TDBGrid *grid, QPainter &painter, const QRect &rect,
                                         int col, bool selected, bool focused)
{
    dataset::TDataSource *dts = grid->DataSource();
    TClientDataSet *cds = dts ? dts->DataSet() : nullptr;
    if (!cds)
        return;
    const bool bare = showsBareCode(cds->State() == dsEdit, selected, focused, grid->EditorMode());
    const std::optional<QString> painted = PaintedText(grid, col, bare);
    if (!painted)
        return;   // the grid's own painting stands
    const QString &text = *painted;
    vcl::TColumn *column = grid->Columns()[col];

    QRect textRect = rect;
    if (column->Alignment() & Qt::AlignRight)
        textRect.setRight(rect.right() - 2);
    else
        textRect.setLeft(rect.left() + 2);
    textRect.setTop(rect.top() + 2);
    painter.save();
    painter.fillRect(rect, painter.brush());
    painter.setClipRect(rect);
    painter.drawText(textRect, int(Qt::AlignTop) | int((column->Alignment() & Qt::AlignRight) ? Qt::AlignRight : Qt::AlignLeft), text);
    painter.restore();
}

std::optional<QString> TfrmParamGrupFiscal::PaintedText(vcl::TDBGrid *grid, int col, bool bareCode) const
{
    dataset::TDataSource *dts = grid->DataSource();
    TClientDataSet *cds = dts ? dts->DataSet() : nullptr;
    if (!cds || !cds->Active() || cds->IsEmpty())
        return std::nullopt;
    const bool billing = grid == dbgTipoFatur;
    if (cds->FieldByName(billing ? QStringLiteral("CDTIPOFATUR") : kCode)->IsNull())
        return std::nullopt;
    TField *field = grid->Columns()[col]->Field();
    if (!field)
        return std::nullopt;

    const vcl::TDBGridColumns &cols = grid->Columns();
    if ((grid == dbgPadrao && col == cols.IndexOfField(QStringLiteral("NRINSJURFORN")))
        || (grid == dbgCliente && col == cols.IndexOfField(QStringLiteral("NRINSJURCLIE")))) {
        const bool forn = grid == dbgPadrao;
        return registrationText(field->AsString(),
                                cds->FieldByName(forn ? QStringLiteral("IDTPIJURFORN")
                                                      : QStringLiteral("IDTPIJURCLIE"))->AsString());
    }
    if (billing && col == cols.IndexOfField(QStringLiteral("CDTIPOFATUR")))
        return billingTypeCell(field->AsString(), msgPadrao->Msg(clientlib::AllTrim(field->AsString())));
    if (col == cols.IndexOfField(kCode)) {
        // Printed as shown: where the grid shows the bare code, the description may still be
        // the one of the group the row had before the code was typed.
        if (bareCode || !PaintsGroupCells(grid))
            return clientlib::AllTrim(field->AsString());
        // Emptied and not yet posted: a row without a group, not " - " and the group it had.
        if (clientlib::EmptyString(field->AsString()))
            return billing ? grupoFiscalCell(QString(), QString()) : QString();
        return grupoFiscalCell(field->AsString(), cds->FieldByName(kDesc)->AsString());
    }
    return std::nullopt;
}

} // namespace fiscal::ger10200
