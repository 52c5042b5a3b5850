#pragma once
// Routines over containers, data sets and grids.
//
//   SetChildEnabled(panel, false)       every control inside the container (not the
//                                       container itself)
//   Seta_Campo_Null(cdsCliente)         the current record being edited: every field that
//                                       holds only blanks becomes null (read-only fields
//                                       too); does nothing unless editing or inserting
//   GridText(dbgCliente, "CDGRUPOFISC", false)
//                                       the text being edited in that field's cell while its
//                                       editor is open, else the field's text (display text
//                                       when `displayed`)
//   IndiceCol(dbgCliente, "CDGRUPOFISC")  index of the column bound to that field, -1 if none

#include <QString>

class QWidget;

namespace fiscal::dataset { class TClientDataSet; }
namespace fiscal::vcl { class TDBGrid; }

namespace fiscal::clientlib {

void SetChildEnabled(QWidget *container, bool enabled);
void Seta_Campo_Null(dataset::TClientDataSet *dataSet);
QString GridText(vcl::TDBGrid *grid, const QString &fieldName, bool displayed = false);
int IndiceCol(vcl::TDBGrid *grid, const QString &fieldName);

} // namespace fiscal::clientlib
