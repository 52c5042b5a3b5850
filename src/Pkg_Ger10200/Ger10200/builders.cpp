#include "Pkg_Ger10200/Ger10200/builders.h"

#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"

namespace fiscal::ger10200 {

dataset::TClientDataSet *makeDataSet(QObject *owner, const QString &name,
                                     std::span<const layout::FieldSpec> fields)
{
    auto *cds = new dataset::TClientDataSet(owner);
    cds->setObjectName(name);
    addFields(cds, fields);
    return cds;
}

void addFields(dataset::TClientDataSet *cds, std::span<const layout::FieldSpec> fields)
{
    for (const layout::FieldSpec &spec : fields) {
        const QString fieldName = QString::fromLatin1(spec.name);
        dataset::TField *f = cds->addField(fieldName, spec.size,
                                           spec.label ? QString::fromUtf8(spec.label) : fieldName);
        f->setVisible(spec.visible);
        f->setReadOnly(spec.readOnly);
        if (spec.editMask)
            f->setEditMask(QString::fromLatin1(spec.editMask));
    }
}

void addColumns(vcl::TDBGrid *grid, std::span<const layout::ColumnSpec> columns)
{
    for (const layout::ColumnSpec &spec : columns) {
        vcl::TColumn *c = grid->Columns().Add(QString::fromLatin1(spec.field));
        c->setTitle(QString::fromUtf8(spec.title));
        if (spec.width > 0)
            c->setWidth(spec.width);
        c->setReadOnly(spec.readOnly);
        c->setButtonStyle(spec.ellipsis ? vcl::cbsEllipsis : vcl::cbsAuto);
    }
}

} // namespace fiscal::ger10200
