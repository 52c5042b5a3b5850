// What the main screen prints, exports and opens in the manual: the active tab as the user
// sees it (its grid's visible columns with the texts the cells show, in the grid's order,
// and the tax, company and registration the tab is showing), the coverage report, and the
// manual's page of the active tab.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/cobertura/frmcobertura.h"
#include "Pkg_Ger10200/shared/reportprompts.h"
#include "reports/printflow.h"
#include "reports/reporttable.h"

#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/menus.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QLineEdit>
#include <QMenu>

#include <memory>

namespace fiscal::ger10200 {

namespace {

QString codeAndName(const QString &code, const QString &name)
{
    const QString c = clientlib::AllTrim(code);
    const QString n = clientlib::AllTrim(name);
    return n.isEmpty() ? c : c + QStringLiteral(" - ") + n;
}

} // namespace

void TfrmParamGrupFiscal::buildReportMenus()
{
    mnuExportar = vcl::newMenuItem(this, QStringLiteral("&Exportar..."), QKeySequence(), [this] { mnuExportarClick(); });
    mnuExportar->setObjectName(QStringLiteral("mnuExportar"));
    mnuCobertura = vcl::newMenuItem(this, QStringLiteral("Co&bertura de grupos fiscais..."), QKeySequence(),
                                    [this] { mnuCoberturaClick(); });
    mnuCobertura->setObjectName(QStringLiteral("mnuCobertura"));
    const QList<QAction *> entries = mnuOperacao->actions();
    const qsizetype at = entries.indexOf(mnuImprimir);
    QAction *before = at >= 0 && at + 1 < entries.size() ? entries.at(at + 1) : nullptr;
    mnuOperacao->insertAction(before, mnuExportar);
    mnuOperacao->insertAction(before, mnuCobertura);
    // Exporting is printing to a file: both are there or not together.
    vcl::linkEnabled(mnuExportar, sbtImprimir);
}

reports::ReportTable TfrmParamGrupFiscal::ActiveReport(ReportUse use)
{
    reports::ReportTable t;
    t.title = windowTitle();
    t.screenCode = lblCodTela->text();
    vcl::TTabSheet *tab = pgcPadrao->ActivePage();
    t.section = tab->Caption();

    if (tab == tshOperInter) {
        // A form, not a grid: its one value as a one-row table.
        t.columns = {{QStringLiteral("Parâmetro"), 30}, {QStringLiteral("Grupo Fiscal"), 40}};
        const QString code = medGrFiscOpEs->Text();
        const QString group = clientlib::EmptyString(code) ? QString() : codeAndName(code, edtNmGrupFisc->text());
        t.rowCount = 1;
        t.text = [caption = tab->Caption(), group](int, int column) { return column == 0 ? caption : group; };
        return t;
    }

    vcl::TDBGrid *grid = nullptr;
    if (tab == tshImpInscEsta) {
        grid = innerGrid();
        t.section += QStringLiteral(" - ") + pgcCliente->ActivePage()->Caption();
        t.context << QStringLiteral("Empresa: %1").arg(codeAndName(medCdEmpresa->Text(), edtNmEmpresa->text()))
                  << QStringLiteral("Inscrição Estadual: %1").arg(clientlib::AllTrim(medInscEsta->Text()))
                  << QStringLiteral("Imposto: %1").arg(codeAndName(medImp->Text(), edtNmImp->text()));
    } else if (tab == tshImpFili) {
        grid = dbgImpFili;
        t.context << QStringLiteral("Imposto: %1").arg(codeAndName(medCdImposto->Text(), edtNmImposto->text()));
    } else {
        grid = tab->findChild<vcl::TDBGrid *>();
    }
    if (!grid)
        return t;
    t = gridReport(grid, std::move(t));
    return use == ReportUse::File ? withRecordCodes(grid, std::move(t)) : t;
}

// A supplier or client is known to the import by its code first: a CNPJ may be shared by
// two records, or missing, and such rows of an exported file could not come back without it.
// The grids keep the code hidden, so a file gets it as its first column (not a CSV file).
reports::ReportTable TfrmParamGrupFiscal::withRecordCodes(vcl::TDBGrid *grid, reports::ReportTable t)
{
    dataset::TClientDataSet *cds = grid->DataSource() ? grid->DataSource()->DataSet() : nullptr;
    dataset::TField *key = nullptr;
    for (const char *name : {"CDFORNECED", "CDCLIENTE"}) {
        if (cds && !key)
            key = cds->FindField(QString::fromLatin1(name));
    }
    if (!key)
        return t;
    const int shownAt = grid->Columns().IndexOfField(key->FieldName());
    if (shownAt >= 0 && grid->Columns()[shownAt]->Visible() && !grid->isColumnHidden(shownAt))
        return t;
    const auto code = [grid, cds, key](int row) {
        QString text;
        cds->withRowAsCurrent(grid->dataRow(row), [&] { text = key->AsString().trimmed(); });
        return text;
    };
    reports::ReportColumn column;
    column.title = QStringLiteral("Código");
    column.leftOutOfCsv = true;   // the CNPJ/CPF, punctuated, comes back whole from a CSV
    for (int row = 0; row < qMin(t.rowCount, 200); ++row)
        column.width = qMin(21, qMax(column.width, int(code(row).size())));
    t.columns.prepend(column);
    t.text = [code, shown = std::move(t.text)](int row, int column) {
        return column == 0 ? code(row) : shown(row, column - 1);
    };
    return t;
}

reports::ReportTable TfrmParamGrupFiscal::gridReport(vcl::TDBGrid *grid, reports::ReportTable t)
{
    dataset::TClientDataSet *cds = grid->DataSource() ? grid->DataSource()->DataSet() : nullptr;
    QList<int> columns;
    for (int c = 0; c < grid->Columns().Count(); ++c) {
        if (grid->Columns()[c]->Visible() && !grid->isColumnHidden(c))
            columns << c;
    }
    t.rowCount = cds && cds->Active() ? grid->model()->rowCount() : 0;
    // Row i of the report is row i of the grid as it is shown, sorted by a column or not.
    auto cellText = [this, grid, cds, columns](int row, int column) {
        QString text;
        const int gridColumn = columns.at(column);
        dataset::TField *field = grid->Columns()[gridColumn]->Field();
        cds->withRowAsCurrent(grid->dataRow(row), [&] {
            // No group prints as an empty cell, also where the grid paints a bare " - ".
            if (field && field->FieldName() == QLatin1String("CDGRUPOFISC") && clientlib::EmptyString(field->AsString()))
                return;
            // A group typed and not yet saved prints as its bare code: the description beside it
            // is still the one of the group the row had (the screen shows them so until the save).
            if (field && field->FieldName() == QLatin1String("CDGRUPOFISC")
                && clientlib::AllTrim(field->AsString()) != clientlib::AllTrim(field->OldValue().value_or(QString()))) {
                text = clientlib::AllTrim(field->AsString());
                return;
            }
            const std::optional<QString> painted = PaintedText(grid, gridColumn, false);
            text = painted ? *painted : (field ? field->DisplayText() : QString());
        });
        return text;
    };
    for (int c : columns) {
        reports::ReportColumn col;
        col.title = grid->Columns()[c]->Title();
        col.alignment = grid->Columns()[c]->Alignment() & Qt::AlignHorizontal_Mask;
        col.width = qMax(4, int(col.title.size()));
        t.columns << col;
    }
    // Widths from what the first rows hold, as a person would size the columns.
    for (int column = 0; column < t.columns.size(); ++column) {
        for (int row = 0; row < qMin(t.rowCount, 200); ++row)
            t.columns[column].width = qMin(50, qMax(t.columns[column].width, int(cellText(row, column).size())));
    }
    t.text = cellText;
    return t;
}

void TfrmParamGrupFiscal::sbtImprimirClick()
{
    reports::previewReport(ActiveReport(), this, reportPrompts());
}

void TfrmParamGrupFiscal::mnuExportarClick()
{
    reports::exportReport(ActiveReport(ReportUse::File), this, reportPrompts());
}

void TfrmParamGrupFiscal::mnuCoberturaClick()
{
    // The lists of billing types without a group name them as the billing-type tab does.
    QPointer<clientlib::TMessages> names = msgPadrao;
    cobertura::Cria_Cobertura(this, [names](const QString &code) {
        return names ? names->Msg(clientlib::AllTrim(code)) : code;
    });
}

QString TfrmParamGrupFiscal::HelpKeyword() const
{
    struct Page { vcl::TTabSheet *tab; const char *id; };
    const Page pages[] = {
        {tshPadrao, "fornecedor"}, {tshCliente, "cliente"}, {tshFilial, "filial"},
        {tshTipoOperac, "tipo-operacao"}, {tshTipoContrato, "tipo-contrato"},
        {tshOperInter, "operacoes-interestaduais"}, {tshTipoGest, "tipo-gestao"},
        {tshImpFili, "imposto-filial"}, {tshImpInscEsta, "imposto-inscricao"},
    };
    for (const Page &p : pages) {
        if (pgcPadrao->ActivePage() == p.tab)
            return QString::fromLatin1(p.id);
    }
    return clientlib::TfrmPadraoGrid::HelpKeyword();
}

} // namespace fiscal::ger10200
