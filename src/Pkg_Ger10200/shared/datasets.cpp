#include "Pkg_Ger10200/shared/datasets.h"

#include "dataset/clientdataset.h"
#include "rpc/envelope.h"

namespace fiscal::ger10200 {

QString currentText(const dataset::TClientDataSet *cds, const QString &field)
{
    if (!cds || !cds->Active() || cds->IsEmpty())
        return QString();
    const dataset::TField *f = cds->FindField(field);
    return f ? f->AsString() : QString();
}

QCborValue deltaValue(const dataset::TClientDataSet *cds)
{
    return rpc::preEncodedParam(cds->Delta().toCbor());
}

QCborValue wholeDataValue(const dataset::TClientDataSet *cds)
{
    return rpc::preEncodedParam(cds->Data().toCbor());
}

} // namespace fiscal::ger10200
