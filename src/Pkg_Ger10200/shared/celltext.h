#pragma once
// Texts the main screen paints into its grid cells and shows for registration numbers.
//
//   grupoFiscalCell(code, desc)           "001 - ICMS normal"
//   showsBareCode(editing, selected, focused, editorOpen)
//                                         the one case the fiscal-group cell shows the bare
//                                         code: the data set is editing and the cell is
//                                         selected, not focused, with its editor open
//   registrationText(number, personType)  the number through the PictPess mask of the
//                                         person type; unchanged when there is no mask;
//                                         empty stays empty
//   wireRegistrationText(cds, "NRINSJURCLIE", "IDTPIJURCLIE")
//                                         the number field of the data set shows its
//                                         registrationText for the row's person type
//   billingTypeCell(code, name)           "001 - Gestão Direta"

#include <QString>

namespace fiscal::dataset { class TClientDataSet; }

namespace fiscal::ger10200 {

QString grupoFiscalCell(const QString &code, const QString &desc);
bool showsBareCode(bool editing, bool selected, bool focused, bool editorOpen);
QString registrationText(const QString &number, const QString &personType);
void wireRegistrationText(dataset::TClientDataSet *cds, const QString &numberField, const QString &typeField);
QString billingTypeCell(const QString &code, const QString &name);

} // namespace fiscal::ger10200
