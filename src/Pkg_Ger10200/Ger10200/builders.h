#pragma once
// Building data sets and grid columns from the layout tables.

#include "Pkg_Ger10200/Ger10200/layout.h"

#include <QObject>
#include <QString>
#include <span>

namespace fiscal::dataset { class TClientDataSet; }
namespace fiscal::vcl { class TDBGrid; }

namespace fiscal::ger10200 {

dataset::TClientDataSet *makeDataSet(QObject *owner, const QString &name,
                                     std::span<const layout::FieldSpec> fields);
// The fields of a data set (or a query) defined in code, before it is first opened.
void addFields(dataset::TClientDataSet *cds, std::span<const layout::FieldSpec> fields);

void addColumns(vcl::TDBGrid *grid, std::span<const layout::ColumnSpec> columns);

} // namespace fiscal::ger10200
