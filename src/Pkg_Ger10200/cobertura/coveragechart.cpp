#include "Pkg_Ger10200/cobertura/coveragechart.h"

#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QHorizontalPercentBarSeries>
#include <QValueAxis>

namespace fiscal::ger10200::cobertura {

QList<ChartBar> chartBars(const CoverageModel &model)
{
    QList<ChartBar> bars;
    const bool byTax = model.part() != Part::Cadastros;
    for (int r = 0; r < model.rowCount(); ++r) {
        const CoverageRow &row = model.row(r);
        // The chart's names are short, the table has the rest: "Tipos de contrato".
        const QString category = byTax ? row.imposto + QStringLiteral(" - ") + row.nmImposto
                                        : entityCaption(row.entity).section(QStringLiteral(" ("), 0, 0);
        if (bars.isEmpty() || bars.last().category != category)
            bars << ChartBar{category, 0, 0};
        bars.last().withGroup += row.withGroup;
        bars.last().withoutGroup += row.withoutGroup;
    }
    return bars;
}

void fillChart(QChart &chart, const QList<ChartBar> &bars)
{
    chart.removeAllSeries();
    // A removed axis is handed back to the caller, not deleted.
    for (QAbstractAxis *axis : chart.axes()) {
        chart.removeAxis(axis);
        delete axis;
    }

    auto *with = new QBarSet(QStringLiteral("Com grupo"));
    auto *without = new QBarSet(QStringLiteral("Sem grupo"));
    with->setColor(QColor(0x4c, 0x9a, 0x5a));
    without->setColor(QColor(0xd0, 0x5a, 0x4a));
    QStringList categories;
    // The first bar on top, as in the table.
    for (auto it = bars.crbegin(); it != bars.crend(); ++it) {
        categories << it->category;
        *with << double(it->withGroup);
        *without << double(it->withoutGroup);
    }
    auto *series = new QHorizontalPercentBarSeries;
    series->append(with);
    series->append(without);
    chart.addSeries(series);

    auto *names = new QBarCategoryAxis;
    names->append(categories);
    chart.addAxis(names, Qt::AlignLeft);
    series->attachAxis(names);
    auto *share = new QValueAxis;
    share->setRange(0, 100);
    share->setLabelFormat(QStringLiteral("%d%%"));
    chart.addAxis(share, Qt::AlignBottom);
    series->attachAxis(share);
    chart.legend()->setAlignment(Qt::AlignBottom);
}

} // namespace fiscal::ger10200::cobertura
