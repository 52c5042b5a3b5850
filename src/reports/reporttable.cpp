#include "reports/reporttable.h"

#include <QAbstractItemModel>
#include <QRegularExpression>

namespace fiscal::reports {

QString ReportTable::suggestedFileName() const
{
    QString name = section.isEmpty() ? title : title + QStringLiteral(" - ") + section;
    static const QRegularExpression refused(QStringLiteral(R"([\\/:*?"<>|]+)"));
    name.replace(refused, QStringLiteral("-"));
    name = name.simplified();
    return name.isEmpty() ? QStringLiteral("relatorio") : name;
}

ReportTable reportFromModel(const QAbstractItemModel &model, const QList<int> &hiddenColumns)
{
    ReportTable t;
    QList<int> shown;
    for (int c = 0; c < model.columnCount(); ++c) {
        if (hiddenColumns.contains(c))
            continue;
        shown << c;
        ReportColumn col;
        col.title = model.headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        col.width = int(col.title.size());
        // A sample of rows is enough to size a column; the rest is elided if longer. A long
        // text (what an operation did) is cut as the grids' are, not every column with it.
        for (int r = 0; r < qMin(model.rowCount(), 200); ++r)
            col.width = qMax(col.width, qMin(50, int(model.data(model.index(r, c)).toString().size())));
        const QVariant align = model.headerData(c, Qt::Horizontal, Qt::TextAlignmentRole);
        const QVariant cellAlign = model.rowCount() > 0 ? model.data(model.index(0, c), Qt::TextAlignmentRole) : QVariant();
        if (cellAlign.isValid())
            col.alignment = Qt::Alignment(cellAlign.toInt()) & Qt::AlignHorizontal_Mask;
        else if (align.isValid())
            col.alignment = Qt::Alignment(align.toInt()) & Qt::AlignHorizontal_Mask;
        t.columns << col;
    }
    t.rowCount = model.rowCount();
    const QAbstractItemModel *m = &model;
    t.text = [m, shown](int row, int column) {
        return m->data(m->index(row, shown.at(column)), Qt::DisplayRole).toString();
    };
    return t;
}

} // namespace fiscal::reports
