#pragma once
// Small data-set helpers the screens share.
//
//   currentText(cds, field)  the field of the current row, "" when the data set is closed
//                            or empty (never throws for a closed set)
//   deltaValue(cds)          the change set as the saving methods take it
//   wholeDataValue(cds)      rows plus change log (setTipoGest)

#include <QCborValue>
#include <QString>

namespace fiscal::dataset { class TClientDataSet; }

namespace fiscal::ger10200 {

QString currentText(const dataset::TClientDataSet *cds, const QString &field);
QCborValue deltaValue(const dataset::TClientDataSet *cds);
QCborValue wholeDataValue(const dataset::TClientDataSet *cds);

} // namespace fiscal::ger10200
