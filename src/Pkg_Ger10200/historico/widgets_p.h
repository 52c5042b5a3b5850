#pragma once
// What the history's windows share: their read-only tables, their screen code, F1, print
// and export.

#include "Pkg_Ger10200/shared/packetrow.h"
#include "help/help.h"

#include <QFont>
#include <QHeaderView>
#include <QLabel>
#include <QShortcut>
#include <QStringList>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <functional>

class QDialog;
class QToolButton;

namespace fiscal::reports {
struct ReportTable;
}

namespace fiscal::ger10200::historico {

// Whole rows chosen one at a time, nothing edited, one line per row.
inline void readOnlyLook(QTableView *t, const char *name)
{
    t->setObjectName(QString::fromLatin1(name));
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setSelectionMode(QAbstractItemView::SingleSelection);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setTabKeyNavigation(false);   // Tab goes on to the window's buttons
    t->setWordWrap(false);
    t->verticalHeader()->hide();
    t->verticalHeader()->setDefaultSectionSize(t->fontMetrics().height() + 6);
    t->horizontalHeader()->setStretchLastSection(true);
}

inline QTableWidget *readOnlyTable(QWidget *parent, const char *name, const QStringList &headers)
{
    auto *t = new QTableWidget(0, int(headers.size()), parent);
    t->setHorizontalHeaderLabels(headers);
    readOnlyLook(t, name);
    return t;
}

// Enter on a row opens it, as a double-click does. (The view reports Enter only as
// "activated", which some desktops also send for a single click.)
inline void openOnEnter(QTableView *t, const std::function<void()> &open)
{
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
        new QShortcut(QKeySequence(key), t, open, Qt::WidgetShortcut);
}

// A line in the middle of an empty table saying there is nothing to show, since headers alone
// read as "still loading". Hidden until the caller shows it; not a row, so printing and export
// never take it for one.
inline QLabel *emptyTableNote(QTableWidget *t, const QString &text)
{
    auto *l = new QLabel(text, t->viewport());
    l->setObjectName(QStringLiteral("lblNenhuma"));
    l->hide();
    (new QVBoxLayout(t->viewport()))->addWidget(l, 0, Qt::AlignCenter);
    return l;
}

// Appends a row of texts; `data` (optional) is kept in the first cell's user role.
inline void appendRow(QTableWidget *t, const QStringList &texts, const QString &data = {})
{
    const int row = t->rowCount();
    t->insertRow(row);
    for (int c = 0; c < texts.size(); ++c) {
        auto *item = new QTableWidgetItem(texts.at(c));
        if (c == 0 && !data.isEmpty())
            item->setData(Qt::UserRole, data);
        t->setItem(row, c, item);
    }
}

// F1 opens the manual's page of the history, as on the other screens.
inline void helpOnF1(QWidget *window)
{
    new QShortcut(QKeySequence::HelpContents, window, [window] { help::showTopic(QStringLiteral("GER10204"), window); });
}

// The screen code in the tool bar's right end, as the other screens show theirs.
inline QLabel *screenCode(QWidget *parent)
{
    auto *l = new QLabel(QStringLiteral("GER10204"), parent);
    l->setObjectName(QStringLiteral("lblCodTela"));
    QFont bold = l->font();
    bold.setBold(true);
    l->setFont(bold);
    return l;
}

// "Imprimir" and "Exportar..." (and Ctrl+P) of a window, printing what `report` gives
// (tablereport.cpp).
struct ReportButtons {
    QToolButton *print = nullptr;
    QToolButton *exportTo = nullptr;
};
ReportButtons reportButtons(QDialog *window, std::function<reports::ReportTable()> report);
// The rows as the window shows them, under its title and screen code.
reports::ReportTable tableReport(const QDialog *window, const QAbstractItemModel &rows);

} // namespace fiscal::ger10200::historico
