#include "clientlib/datasetroutines.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"

#include <QWidget>

namespace fiscal::clientlib {

void SetChildEnabled(QWidget *container, bool enabled)
{
    if (!container) {
        return;
    }
    for (QWidget *child : container->findChildren<QWidget *>()) {
        child->setEnabled(enabled);
    }
}

void Seta_Campo_Null(dataset::TClientDataSet *dataSet)
{
    if (!dataSet || (dataSet->State() != dataset::dsEdit && dataSet->State() != dataset::dsInsert)) {
        return;
    }
    for (int i = 0; i < dataSet->FieldCount(); ++i) {
        dataset::TField *f = dataSet->Fields(i);
        if (f->IsNull() || !f->AsString().trimmed().isEmpty()) {
            continue;
        }
        // Read-only protects a field from the user, not from this clean-up.
        const bool readOnly = f->ReadOnly();
        if (readOnly) {
            f->setReadOnly(false);
        }
        try {
            f->Clear();
        } catch (...) {
            if (readOnly) {
                f->setReadOnly(true);
            }
            throw;
        }
        if (readOnly) {
            f->setReadOnly(true);
        }
    }
}

QString GridText(vcl::TDBGrid *grid, const QString &fieldName, bool displayed)
{
    if (!grid || !grid->DataSource() || !grid->DataSource()->DataSet()) {
        return QString();
    }
    dataset::TField *field = grid->DataSource()->DataSet()->FieldByName(fieldName);
    return grid->CellText(field, displayed);
}

int IndiceCol(vcl::TDBGrid *grid, const QString &fieldName)
{
    return grid ? grid->Columns().IndexOfField(fieldName) : -1;
}

} // namespace fiscal::clientlib
