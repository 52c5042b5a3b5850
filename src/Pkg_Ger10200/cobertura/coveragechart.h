#pragma once
// The chart beside the coverage table: one horizontal bar per row of the part shown (per
// tax for the registration parts, their registrations added up), split into the share
// with a group and the share without one.

#include "Pkg_Ger10200/cobertura/coveragemodel.h"

#include <QList>

QT_BEGIN_NAMESPACE
class QChart;
QT_END_NAMESPACE

namespace fiscal::ger10200::cobertura {

struct ChartBar {
    QString category;
    qint64 withGroup = 0;
    qint64 withoutGroup = 0;
};

// The bars of the part the model shows.
QList<ChartBar> chartBars(const CoverageModel &model);
// Replaces the chart's series and axes with those bars.
void fillChart(QChart &chart, const QList<ChartBar> &bars);

} // namespace fiscal::ger10200::cobertura
