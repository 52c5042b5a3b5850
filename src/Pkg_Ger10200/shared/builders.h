#pragma once
// Building data sets, grid columns and the code-field widgets (code box, search button,
// name box) the screens share.

#include "Pkg_Ger10200/shared/fieldspec.h"

#include <QObject>
#include <QString>
#include <span>

class QBoxLayout;
class QLineEdit;
class QWidget;

namespace fiscal::dataset { class TClientDataSet; class TDataSource; }
namespace fiscal::vcl { class TDBGrid; class TEdit; class TMaskEdit; }
namespace fiscal::clientlib { class TADOIBQuery; class TBtnPesquisa; }

namespace fiscal::ger10200 {

dataset::TClientDataSet *makeDataSet(QObject *owner, const QString &name,
                                     std::span<const layout::FieldSpec> fields);
// The fields of a data set (or a query) defined in code, before it is first opened.
void addFields(dataset::TClientDataSet *cds, std::span<const layout::FieldSpec> fields);

void addColumns(vcl::TDBGrid *grid, std::span<const layout::ColumnSpec> columns);

dataset::TDataSource *makeSource(QObject *owner, const QString &name, dataset::TClientDataSet *cds);
// A query running the catalogue's statement `lookup` (protocol/lookups.h).
clientlib::TADOIBQuery *makeQuery(QObject *owner, const QString &name, const char *lookup,
                                  std::span<const layout::FieldSpec> fields);

// Info-coloured code box; an empty mask leaves it plain, maxLength 0 unlimited.
vcl::TMaskEdit *makeCodeBox(QWidget *parent, const QString &name, const QString &mask,
                            int maxLength, int width);
// Grey, disabled, never a tab stop.
QLineEdit *makeNameBox(QWidget *parent, const QString &name, int width);
clientlib::TBtnPesquisa *makeSearch(QWidget *parent, const QString &name, QWidget *associate,
                                    const QString &title, dataset::TDataSource *dts,
                                    const QString &emptyError);
// The fiscal-group code box of the dialogs: three characters, as wide as four.
vcl::TEdit *makeGrupoFiscalBox(QWidget *parent, const QString &name);

// One code field's line in a dialog: after its code box, the search button and (when
// named) the box with the record's name. The name box stretches over the rest of the line
// (nameWidth 0) or keeps its width, and the line then ends in a stretch.
//
//   const CodeFieldRow r = addCodeFieldRow(line, medCdEmpresa, {"btpEmpresa", "Empresa", dtsEmpresa,
//                                          "Não há empresa cadastrada.", "edtNmEmpresa", 185});
struct CodeFieldRowSpec {
    const char *search;                  // object name of the search button
    QString title;                       // the search list's title
    dataset::TDataSource *source = nullptr;
    QString emptyError;                  // said when the list is empty
    const char *name = nullptr;          // object name of the name box; none when null
    int nameWidth = 0;
};
struct CodeFieldRow {
    clientlib::TBtnPesquisa *search = nullptr;
    QLineEdit *name = nullptr;
};
CodeFieldRow addCodeFieldRow(QBoxLayout *line, QWidget *box, const CodeFieldRowSpec &spec);

} // namespace fiscal::ger10200
