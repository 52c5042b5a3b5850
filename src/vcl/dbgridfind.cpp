// The grid's views of its data set that the user drives: the order set by a click on a
// column title, and the find bar. Neither touches the data set's order or change log; a
// match is reached by the same cursor move as a click.

#include "vcl/dbgrid.h"

#include "vcl/cursor.h"
#include "vcl/dbgridfindbar_p.h"
#include "vcl/dbgridmodel_p.h"
#include "vcl/focuswatch.h"
#include "vcl/guard.h"

#include "dataset/clientdataset.h"
#include "dataset/rowfinder.h"

#include <QApplication>
#include <QBoxLayout>
#include <QHeaderView>
#include <QLineEdit>

namespace fiscal::vcl {

using dataset::TClientDataSet;
using dataset::TField;

namespace {

const QString kNotFound = QStringLiteral("Texto não encontrado");
const QString kFromTop = QStringLiteral("Continuando do início");
const QString kFromBottom = QStringLiteral("Continuando do fim");
// Below this many rows a search reads the rows themselves; above it, the folded text of
// all of them made once (when the bar opens) and scanned at every search.
constexpr int kIndexedRows = 5000;

} // namespace

// ---- sorting ------------------------------------------------------------------------------

void TDBGrid::titleClicked(int column)
{
    if (column < 0 || column >= m_columns.Count() || !m_columns[column]->Field()) {
        showSortIndicator();   // the header may have flipped its arrow on its own
        return;
    }
    const bool again = sortColumn() == column && sortOrder() == Qt::AscendingOrder;
    setSort(column, again ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TDBGrid::setSort(int column, Qt::SortOrder order)
{
    TField *field = column >= 0 && column < m_columns.Count() ? m_columns[column]->Field() : nullptr;
    if (!field) {
        clearSort();
        return;
    }
    commitEditor();   // what is being typed is what the row sorts by
    HourGlass wait;   // a second or more over half a million rows
    m_model->sortBy(field->FieldName(), order);
    showSortIndicator();
    if (m_findBar && !m_findBar->isHidden())
        prepareFind();   // in the new order
    if (currentIndex().isValid())
        scrollTo(currentIndex());
}

void TDBGrid::clearSort()
{
    m_model->sortBy(QString(), Qt::AscendingOrder);
    showSortIndicator();
    if (m_findBar && !m_findBar->isHidden())
        prepareFind();
}

int TDBGrid::sortColumn() const
{
    const QString &field = m_model->sortField();
    return field.isEmpty() ? -1 : m_columns.IndexOfField(field);
}

Qt::SortOrder TDBGrid::sortOrder() const
{
    return m_model->sortOrder();
}

void TDBGrid::showSortIndicator()
{
    const int column = sortColumn();
    horizontalHeader()->setSortIndicator(column, column < 0 ? Qt::AscendingOrder : sortOrder());
}

std::vector<int> TDBGrid::rowsInDisplayOrder() const
{
    std::vector<int> rows(size_t(m_model->rowCount()));
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = m_model->toData(int(i));
    return rows;
}

int TDBGrid::dataRow(int displayRow) const
{
    return displayRow >= 0 && displayRow < m_model->rowCount() ? m_model->toData(displayRow) : -1;
}

int TDBGrid::displayRow(int dataRow) const
{
    return dataRow >= 0 && dataRow < m_model->rowCount() ? m_model->toDisplay(dataRow) : -1;
}

// ---- finding ------------------------------------------------------------------------------

QWidget *TDBGrid::FindBar() const
{
    return m_findBar;
}

void TDBGrid::showFindBar()
{
    if (!m_findBar) {
        // Under the grid in its parent's layout when it has one; over the grid's bottom
        // edge otherwise.
        QWidget *parent = parentWidget();
        auto *box = parent ? qobject_cast<QBoxLayout *>(parent->layout()) : nullptr;
        const int at = box ? box->indexOf(this) : -1;
        m_findBar = new GridFindBar(at >= 0 ? parent : this);
        m_findBar->hide();
        if (at >= 0)
            box->insertWidget(at + 1, m_findBar);
        FocusWatch::instance().setPartOf(m_findBar, this);
        // Typing looks from the current row on, so that a row that still matches stays.
        connect(m_findBar, &GridFindBar::textEdited, this, [this](const QString &text) {
            find(text, currentIndex().isValid() ? currentIndex().row() - 1 : -1, true);
        });
        connect(m_findBar, &GridFindBar::findRequested, this,
                [this](bool forward) { findNext(m_findBar->text(), forward); });
        connect(m_findBar, &GridFindBar::closeRequested, this, [this] { hideFindBar(); });
    }
    m_findBar->show();
    layoutFindBar();
    m_findBar->edit()->setFocus(Qt::ShortcutFocusReason);
    m_findBar->edit()->selectAll();
    prepareFind();   // the first key typed then finds at once
}

void TDBGrid::hideFindBar()
{
    if (!m_findBar || m_findBar->isHidden())
        return;
    // The grid takes the focus back before the bar hides: hidden with the focus, the bar would
    // pass it on to the next widget of the window, an exit and an enter of the grid for its
    // handlers (which reload some grids).
    if (m_findBar->isAncestorOf(QApplication::focusWidget()))
        setFocus(Qt::OtherFocusReason);
    m_findBar->hide();
    m_findBar->setStatus(QString());
    m_model->findIndex().clear();   // its memory goes with the bar
    layoutFindBar();
}

bool TDBGrid::findNext(const QString &text, bool forward)
{
    return find(text, currentIndex().isValid() ? currentIndex().row() : -1, forward);
}

std::vector<dataset::FindColumn> TDBGrid::findColumns() const
{
    std::vector<dataset::FindColumn> columns;
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds)
        return columns;
    for (int i = 0; i < m_columns.Count(); ++i) {
        TColumn *c = m_columns[i];
        if (isColumnHidden(i))
            continue;
        dataset::FindColumn fc;
        const QStringList names = c->FindFields();
        if (!names.isEmpty()) {
            for (const QString &name : names) {
                if (TField *f = ds->FindField(name))
                    fc.fields.push_back(f->Index());
            }
        } else if (TField *f = c->Field()) {
            fc.fields.push_back(f->Index());
            fc.displayText = bool(f->OnGetText);
        }
        if (!fc.fields.empty())
            columns.push_back(std::move(fc));
    }
    return columns;
}

void TDBGrid::prepareFind()
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || !ds->Active() || ds->rowCount() < kIndexedRows)
        return;
    dataset::FindIndex &index = m_model->findIndex();
    const std::vector<dataset::FindColumn> columns = findColumns();
    if (!index.isBuilt() || index.isStale() || !index.isFor(columns)) {
        // Seconds over half a million rows whose cells are texts of the screen's own.
        HourGlass wait;
        index.build(*ds, m_model->order(), columns);
    }
}

bool TDBGrid::find(const QString &text, int from, bool forward)
{
    auto status = [this](const QString &s) {
        if (m_findBar)
            m_findBar->setStatus(s);
    };
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    const dataset::TextMatcher matcher(text);
    if (matcher.isEmpty() || !ds || !ds->Active()) {
        status(QString());
        return false;
    }
    prepareFind();
    bool wrapped = false;
    const dataset::FindIndex &index = m_model->findIndex();
    const int row = index.isBuilt()
        ? index.find(*ds, m_model->order(), matcher, from, forward, &wrapped)
        : dataset::findRow(*ds, m_model->order(), findColumns(), matcher, from, forward, &wrapped);
    if (row < 0) {
        status(kNotFound);
        return false;
    }
    status(wrapped ? (forward ? kFromTop : kFromBottom) : QString());
    return moveToDisplayRow(row);
}

bool TDBGrid::moveToDisplayRow(int row)
{
    const int column = std::max(SelectedIndex(), 0);
    const QModelIndex target = m_model->index(row, column);
    if (!currentIndex().isValid()) {
        // No cell yet: move the data set and let the grid follow it.
        TClientDataSet *ds = m_source->DataSet();
        const int to = dataRow(row);
        if (!guarded([ds, to] {
                ds->CheckBrowseMode();
                ds->setRecNo(to + 1);
            }))
            return false;
    } else if (target != currentIndex()) {
        selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
    }
    if (!currentIndex().isValid() || currentIndex().row() != row)
        return false;   // the move was refused (the pending edit did not post)
    scrollTo(currentIndex(), QAbstractItemView::PositionAtCenter);
    return true;
}

// A bar in the parent's layout takes its place at once (the rows it covers no longer
// count for scrolling to a match); a bar over the grid follows the grid's size.
void TDBGrid::layoutFindBar()
{
    if (!m_findBar)
        return;
    if (m_findBar->parentWidget() != this) {
        if (QLayout *layout = m_findBar->parentWidget()->layout())
            layout->activate();
        return;
    }
    if (m_findBar->isHidden())
        return;
    const int h = m_findBar->sizeHint().height();
    const int fw = frameWidth();
    m_findBar->setGeometry(fw, height() - fw - h, width() - 2 * fw, h);
    m_findBar->raise();
}

} // namespace fiscal::vcl
