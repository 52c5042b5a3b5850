#pragma once
// Building data sets, grid columns and the code-field widgets (code box, search button,
// name box) the screens share.

#include "Pkg_Ger10200/mainscreen/layout.h"

#include <QObject>
#include <QString>
#include <span>

class QLineEdit;
class QWidget;

namespace fiscal::dataset { class TClientDataSet; class TDataSource; }
namespace fiscal::vcl { class TDBGrid; class TMaskEdit; }
namespace fiscal::clientlib { class TADOIBQuery; class TBtnPesquisa; }

namespace fiscal::ger10200 {

dataset::TClientDataSet *makeDataSet(QObject *owner, const QString &name,
                                     std::span<const layout::FieldSpec> fields);
// The fields of a data set (or a query) defined in code, before it is first opened.
void addFields(dataset::TClientDataSet *cds, std::span<const layout::FieldSpec> fields);

void addColumns(vcl::TDBGrid *grid, std::span<const layout::ColumnSpec> columns);

dataset::TDataSource *makeSource(QObject *owner, const QString &name, dataset::TClientDataSet *cds);
clientlib::TADOIBQuery *makeQuery(QObject *owner, const QString &name, const QString &sql,
                                  std::span<const layout::FieldSpec> fields);

// Info-coloured code box; an empty mask leaves it plain, maxLength 0 unlimited.
vcl::TMaskEdit *makeCodeBox(QWidget *parent, const QString &name, const QString &mask,
                            int maxLength, int width);
// Grey, disabled, never a tab stop.
QLineEdit *makeNameBox(QWidget *parent, const QString &name, int width);
clientlib::TBtnPesquisa *makeSearch(QWidget *parent, const QString &name, QWidget *associate,
                                    const QString &title, dataset::TDataSource *dts,
                                    const QString &emptyError);

} // namespace fiscal::ger10200
