#include "Pkg_Ger10200/shared/celltext.h"

#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "vcl/editmask.h"

namespace fiscal::ger10200 {

QString grupoFiscalCell(const QString &code, const QString &desc)
{
    return clientlib::AllTrim(code) + QStringLiteral(" - ") + clientlib::AllTrim(desc);
}

bool showsBareCode(bool editing, bool selected, bool focused, bool editorOpen)
{
    return editing && selected && !focused && editorOpen;
}

QString registrationText(const QString &number, const QString &personType)
{
    const QString trimmed = clientlib::AllTrim(number);
    if (trimmed.isEmpty())
        return QString();
    const QString mask = clientlib::PictPess(personType);
    if (mask.isEmpty())
        return trimmed;
    return vcl::FormatMaskText(mask, trimmed);
}

void wireRegistrationText(dataset::TClientDataSet *cds, const QString &numberField, const QString &typeField)
{
    cds->FieldByName(numberField)->OnGetText = [cds, typeField](dataset::TField &sender, QString &text, bool) {
        text = registrationText(sender.AsString(), cds->FieldByName(typeField)->AsString());
    };
}

QString billingTypeCell(const QString &code, const QString &name)
{
    return clientlib::AllTrim(code) + QStringLiteral(" - ") + name;
}

} // namespace fiscal::ger10200
