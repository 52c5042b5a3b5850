#pragma once
// What a report prints or exports: a heading and a table read one cell at a time, in the
// order the user sees the rows. Nothing is copied: a report of 500,000 rows reads them
// from the screen's data while the pages or the spreadsheet are written.
//
//   ReportTable t;
//   t.title = "Parâmetros de Grupo Fiscal"; t.screenCode = "GER10200";
//   t.section = "Fornecedor"; t.context = {"Imposto: 01 - ICMS"};
//   t.columns = {{"Inscrição", 20}, {"Nome/Razão Social", 40}, {"Grupo Fiscal", 36}};
//   t.rowCount = n; t.text = [](int row, int column) { ... };

#include <QList>
#include <QString>
#include <QStringList>
#include <Qt>
#include <functional>

class QAbstractItemModel;

namespace fiscal::reports {

struct ReportColumn {
    QString title;
    int width = 10;                           // in characters: the share of the page it gets
    Qt::Alignment alignment = Qt::AlignLeft;
    // A code whose leading zeros a spreadsheet drops from a CSV file, where no cell is text:
    // read back, it would name another record or none. Written to the other formats only.
    bool leftOutOfCsv = false;
};

struct ReportTable {
    QString title;          // the screen's caption
    QString screenCode;     // "GER10200"
    QString section;        // the tab or part of the screen printed
    QStringList context;    // what the rows belong to: "Imposto: 01 - ICMS", ...
    QList<ReportColumn> columns;
    int rowCount = 0;
    std::function<QString(int row, int column)> text;

    // The name a saved file gets by default: the section (or title), without characters
    // that file systems refuse.
    QString suggestedFileName() const;
};

// The visible columns and rows of a table model as the view shows them (display role).
// `hiddenColumns` are left out; widths come from the header texts and the first rows.
ReportTable reportFromModel(const QAbstractItemModel &model, const QList<int> &hiddenColumns = {});

} // namespace fiscal::reports
