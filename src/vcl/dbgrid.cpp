#include "vcl/dbgrid.h"

#include "vcl/colors.h"
#include "vcl/dbgriddelegate_p.h"
#include "vcl/dbgridfindbar_p.h"
#include "vcl/dbgridmodel_p.h"
#include "vcl/focuswatch.h"
#include "vcl/guard.h"
#include "vcl/maskedit.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QStyle>
#include <QToolButton>

namespace fiscal::vcl {

using dataset::TClientDataSet;
using dataset::TDataSource;
using dataset::TField;

// Every change of the current cell passes here, so that the column-leave veto and the
// post of the row being left happen before the cursor moves, whatever moved it.
class GridSelectionModel : public QItemSelectionModel {
public:
    GridSelectionModel(QAbstractItemModel *model, TDBGrid *grid)
        : QItemSelectionModel(model, grid), m_grid(grid) {}

    void setCurrentIndex(const QModelIndex &index, QItemSelectionModel::SelectionFlags command) override
    {
        QModelIndex target = index;
        if (!m_grid->allowMove(currentIndex(), target))
            return;
        QItemSelectionModel::setCurrentIndex(target, command);
    }

private:
    TDBGrid *m_grid;
};

TDBGrid::TDBGrid(QWidget *parent)
    : QTableView(parent)
    , m_columns(this)
    , m_model(new DBGridModel(this))
    , m_delegate(new DBGridDelegate(this))
{
    setModel(m_model);
    QItemSelectionModel *old = selectionModel();
    setSelectionModel(new GridSelectionModel(m_model, this));
    delete old;
    setItemDelegate(m_delegate);
    setSelectionMode(QAbstractItemView::SingleSelection);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    horizontalHeader()->setHighlightSections(false);

    m_ellipsis = new QToolButton(viewport());
    m_ellipsis->setText(QStringLiteral("…"));
    m_ellipsis->setAccessibleName(QStringLiteral("Abrir a lista"));   // as Ctrl+Enter does
    m_ellipsis->setFocusPolicy(Qt::NoFocus);
    m_ellipsis->setCursor(Qt::ArrowCursor);
    m_ellipsis->hide();
    connect(m_ellipsis, &QToolButton::clicked, this, [this] { editButtonClick(); });

    connect(m_model, &QAbstractItemModel::modelReset, this, [this] {
        applyColumns();
        syncToDataSet();
        if (m_findBar && !m_findBar->isHidden())
            prepareFind();   // the new rows, ready for the open find bar
    });
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section, int, int size) {
        if (!m_applyingColumns && size > 0 && section < m_columns.Count())
            m_userWidths.insert(m_columns[section]->FieldName(), size);
        updateEllipsis();
    });
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) { titleClicked(section); });
    connect(horizontalHeader(), &QHeaderView::sectionMoved, this, [this] { updateEllipsis(); });

    FocusWatch::instance().setOnEnter(this, [this] {
        if (OnEnter)
            OnEnter();
    });
    FocusWatch::instance().setOnExit(this, [this] {
        gridExit();
        if (OnExit)
            OnExit();
    });

    setOptions(dgEditing | dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs | dgConfirmDelete
               | dgCancelOnExit);
}

TDBGrid::~TDBGrid()
{
    for (const auto &c : m_sourceConnections)
        disconnect(c);
    delete m_findBar.data();   // laid out beside the grid: not a child of it
}

void TDBGrid::setDataSource(TDataSource *source)
{
    if (m_source == source)
        return;
    for (const auto &c : m_sourceConnections)
        disconnect(c);
    m_sourceConnections.clear();
    m_source = source;
    if (source) {
        // Before the model's own connections: default columns follow the fields.
        m_sourceConnections << connect(source, &TDataSource::currentChanged, this, [this] { syncToDataSet(); });
        m_sourceConnections << connect(source, &TDataSource::fieldChanged, this, [this] {
            if (!m_columns.m_userDefined) {
                m_model->reset();
                return;
            }
            applyColumns();
            m_model->titlesChanged();
        });
        m_sourceConnections << connect(source, &TDataSource::fieldFocusRequested, this, [this](TField *field) {
            if (m_columns.IndexOfField(field->FieldName()) < 0)
                return;
            setSelectedField(field);
            if (isVisible())
                setFocus(Qt::OtherFocusReason);
        });
        m_sourceConnections << connect(source, &TDataSource::updateRecord, this, [this] { commitEditor(); });
        m_sourceConnections << connect(source, &TDataSource::stateChange, this, [this] {
            // Back to browsing (a cancel, say) with the cell editor open: it shows the record
            // again, or the next move would write the cancelled text back and save it.
            TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
            if (ds && ds->State() == dataset::dsBrowse && EditorMode())
                m_delegate->setEditorData(m_editor, currentIndex());
            viewport()->update();
        });
    }
    m_model->setDataSource(source);
}

void TDBGrid::rebuildDefaultColumns()
{
    if (m_columns.m_userDefined)
        return;
    QStringList names;
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (ds) {
        for (int i = 0; i < ds->FieldCount(); ++i) {
            if (ds->Fields(i)->Visible())
                names << ds->Fields(i)->FieldName();
        }
    }
    m_columns.rebuildDefault(names);
}

void TDBGrid::beginColumnsChange()
{
    m_model->beginColumnsChange();
}

void TDBGrid::endColumnsChange()
{
    m_model->endColumnsChange();
}

void TDBGrid::columnChanged(TColumn *, bool binding)
{
    if (binding) {
        m_model->reset();
        return;
    }
    applyColumns();
    m_model->titlesChanged();
    viewport()->update();
}

void TDBGrid::applyColumns()
{
    m_applyingColumns = true;
    for (int i = 0; i < m_columns.Count(); ++i) {
        TColumn *c = m_columns[i];
        setColumnHidden(i, !c->Visible());
        setColumnWidth(i, m_userWidths.value(c->FieldName(), c->Width() >= 0 ? c->Width() : defaultColumnWidth(c)));
    }
    m_applyingColumns = false;
    showSortIndicator();
    updateEllipsis();
}

int TDBGrid::defaultColumnWidth(const TColumn *column) const
{
    // As wide as the field's full size in digits (the widest characters the codes and
    // registration numbers hold), and never narrower than its title.
    const QFontMetrics fm(font());
    const TField *field = column->Field();
    const int chars = field && field->Size() > 0 ? field->Size() : 10;
    const int text = fm.horizontalAdvance(QString(chars, QLatin1Char('0')));
    const int title = horizontalHeader()->fontMetrics().horizontalAdvance(column->Title());
    const int margins = 2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 4;
    return qMax(text, title + 8) + margins;
}

void TDBGrid::setOptions(TDBGridOptions options)
{
    m_options = options;
    horizontalHeader()->setVisible(options & dgTitles);
    verticalHeader()->setVisible(options & dgIndicator);
    horizontalHeader()->setSectionResizeMode(options & dgColumnResize ? QHeaderView::Interactive : QHeaderView::Fixed);
    setShowGrid(options & (dgColLines | dgRowLines));
    setTabKeyNavigation(options & dgTabs);
    setSelectionBehavior(options & dgRowSelect ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
    setEditTriggers(options & dgEditing
                        ? QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                              | QAbstractItemView::AnyKeyPressed | QAbstractItemView::SelectedClicked
                        : QAbstractItemView::NoEditTriggers);
    updateEllipsis();
    viewport()->update();
}

void TDBGrid::setColor(const QColor &colour)
{
    vcl::setColor(this, colour);
}

bool TDBGrid::canEditColumn(int column) const
{
    if (!(m_options & dgEditing) || m_readOnly || column < 0 || column >= m_columns.Count())
        return false;
    TColumn *c = m_columns[column];
    TField *f = c->Field();
    return !c->ReadOnly() && f && !f->ReadOnly();
}

int TDBGrid::SelectedIndex() const
{
    const QModelIndex cur = currentIndex();
    if (cur.isValid())
        return cur.column();
    for (int i = 0; i < m_columns.Count(); ++i) {
        if (!isColumnHidden(i))
            return i;
    }
    return -1;
}

void TDBGrid::setSelectedIndex(int index)
{
    if (index < 0 || index >= m_columns.Count())
        return;
    const int row = currentIndex().isValid() ? currentIndex().row()
                                             : (m_source && m_source->DataSet() ? displayRow(m_source->DataSet()->currentRow()) : -1);
    if (row < 0)
        return;
    ++m_codeMove;
    ++m_silentMove;
    selectionModel()->setCurrentIndex(m_model->index(row, index), QItemSelectionModel::ClearAndSelect);
    --m_silentMove;
    --m_codeMove;
}

TField *TDBGrid::SelectedField() const
{
    const int i = SelectedIndex();
    return i >= 0 ? m_columns[i]->Field() : nullptr;
}

void TDBGrid::setSelectedField(TField *field)
{
    if (!field)
        return;
    setSelectedIndex(m_columns.IndexOfField(field->FieldName()));
}

bool TDBGrid::EditorMode() const
{
    return state() == QAbstractItemView::EditingState && m_editor;
}

void TDBGrid::setEditorMode(bool open)
{
    if (open == EditorMode())
        return;
    if (open) {
        if (currentIndex().isValid() && canEditColumn(currentIndex().column()))
            edit(currentIndex());
        return;
    }
    QWidget *editor = m_editor;
    commitData(editor);
    QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
}

QString TDBGrid::CellText(TField *field, bool displayed) const
{
    if (!field)
        return {};
    const QModelIndex cur = currentIndex();
    if (EditorMode() && cur.isValid() && m_columns[cur.column()]->Field() == field)
        return static_cast<TMaskEdit *>(m_editor.data())->Text();
    return displayed ? field->DisplayText() : field->Text();
}

void TDBGrid::setEditor(QWidget *editor)
{
    m_editor = editor;
}

void TDBGrid::commitEditor()
{
    if (EditorMode())
        commitData(m_editor);
}

void TDBGrid::editorTextEdited()
{
    // The first change in a cell puts the record in edit state, as the screens expect
    // (other tabs are disabled at once).
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || ds->State() != dataset::dsBrowse)
        return;
    if (!guarded([ds] { ds->Edit(); })) {
        QWidget *editor = m_editor;
        QTableView::closeEditor(editor, QAbstractItemDelegate::RevertModelCache);
    }
}

bool TDBGrid::allowMove(const QModelIndex &from, QModelIndex &to)
{
    if (m_codeMove > 0 || !from.isValid() || !to.isValid() || from == to)
        return true;
    commitEditor();
    if (from.column() != to.column() && OnColExit && !guarded(OnColExit))
        return false;
    if (from.row() == to.row())
        return true;
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || !ds->Active())
        return true;
    // Posting (or dropping an untouched new row) may remove rows: keep the target by identity.
    const QPersistentModelIndex target(to);
    ++m_codeMove;
    bool ok = guarded([ds] { ds->CheckBrowseMode(); });
    if (ok && target.isValid())
        ok = guarded([this, ds, &target] { ds->setRecNo(dataRow(target.row()) + 1); });
    --m_codeMove;
    if (!ok || !target.isValid() || ds->currentRow() != dataRow(target.row())) {
        syncToDataSet();
        return false;
    }
    to = target;
    return true;
}

void TDBGrid::syncToDataSet()
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    const int row = ds && ds->Active() ? displayRow(ds->currentRow()) : -1;
    ++m_codeMove;
    ++m_silentMove;
    if (row < 0 || row >= m_model->rowCount()) {
        if (currentIndex().isValid())
            selectionModel()->clearCurrentIndex();
    } else {
        int col = currentIndex().isValid() ? currentIndex().column() : SelectedIndex();
        if (col < 0)
            col = 0;
        const QModelIndex target = m_model->index(row, col);
        if (target != currentIndex()) {
            selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
            scrollTo(target);
        }
    }
    --m_silentMove;
    --m_codeMove;
    updateEllipsis();
}

// The one selected cell is the current one. Qt's keys select the cell they aimed at even when
// the move there was refused (a post that failed), which would leave the highlight on a row
// other than the record a delete acts on.
void TDBGrid::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command)
{
    const QModelIndex current = currentIndex();
    if (!current.isValid()) {
        QTableView::setSelection(rect, command);
        return;
    }
    selectionModel()->select(current, command);
}

void TDBGrid::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    if (current != m_clickEditIndex)
        m_clickEdit.stop();
    QTableView::currentChanged(current, previous);
    updateEllipsis();
    viewport()->update();
    if (m_silentMove == 0 && current.isValid() && previous.isValid() && current.column() != previous.column()
        && OnColEnter)
        guarded(OnColEnter);
}

void TDBGrid::closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint)
{
    if (hint == QAbstractItemDelegate::EditNextItem || hint == QAbstractItemDelegate::EditPreviousItem) {
        // Tab in an open editor: move as Tab in the grid does, through the veto.
        QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
        const QModelIndex target =
            moveCursor(hint == QAbstractItemDelegate::EditNextItem ? MoveNext : MovePrevious, Qt::NoModifier);
        if (target.isValid() && target != currentIndex())
            selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
        return;
    }
    QTableView::closeEditor(editor, hint);
}

void TDBGrid::mousePressEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    const QModelIndex cur = currentIndex();
    if (index.isValid() && cur.isValid() && index != cur) {
        // The veto runs before Qt moves the current cell and the selection together.
        QModelIndex target = index;
        if (!allowMove(cur, target)) {
            event->accept();
            return;
        }
        ++m_codeMove;
        if (target == index)
            QTableView::mousePressEvent(event);
        else
            selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect);
        --m_codeMove;
        return;
    }
    QTableView::mousePressEvent(event);
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTableView::mouseDoubleClickEvent(event);
    if (OnDblClick)
        guarded(OnDblClick);
}

void TDBGrid::mouseReleaseEvent(QMouseEvent *event)
{
    QTableView::mouseReleaseEvent(event);
    const QModelIndex index = indexAt(event->position().toPoint());
    if (OnCellClick && index.isValid() && index == currentIndex())
        guarded([&] { OnCellClick(m_columns[index.column()]); });
}

void TDBGrid::setReadOnly(bool readOnly)
{
    m_readOnly = readOnly;
    updateEllipsis();
}

void TDBGrid::editButtonClick()
{
    if (m_readOnly)
        return;
    if (EditorMode()) {
        QWidget *editor = m_editor;
        commitData(editor);
        QTableView::closeEditor(editor, QAbstractItemDelegate::NoHint);
    }
    setFocus(Qt::OtherFocusReason);
    if (OnEditButtonClick)
        guarded(OnEditButtonClick);
}

void TDBGrid::updateEllipsis()
{
    if (!m_ellipsis)
        return;   // still being built
    const QModelIndex cur = currentIndex();
    bool show = cur.isValid() && (m_options & dgEditing) && !m_readOnly && cur.column() < m_columns.Count()
        && m_columns[cur.column()]->ButtonStyle() == cbsEllipsis && !isColumnHidden(cur.column());
    QRect r;
    if (show) {
        r = visualRect(cur);
        show = r.isValid() && viewport()->rect().intersects(r);
    }
    if (!show) {
        m_ellipsis->hide();
        return;
    }
    const int w = qMin(r.height(), r.width());
    m_ellipsis->setGeometry(r.right() - w + 1, r.top(), w, r.height());
    m_ellipsis->show();
    m_ellipsis->raise();
}

void TDBGrid::updateGeometries()
{
    QTableView::updateGeometries();
    updateEllipsis();
}

void TDBGrid::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    updateEllipsis();
}

void TDBGrid::resizeEvent(QResizeEvent *event)
{
    QTableView::resizeEvent(event);
    layoutFindBar();
    updateEllipsis();
}

void TDBGrid::focusInEvent(QFocusEvent *event)
{
    QTableView::focusInEvent(event);
    viewport()->update();
}

void TDBGrid::focusOutEvent(QFocusEvent *event)
{
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void TDBGrid::gridExit()
{
    if (!(m_options & dgCancelOnExit))
        return;
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    // Only an untouched new row is dropped; typed values are never thrown away silently.
    if (ds && ds->State() == dataset::dsInsert && !ds->Modified())
        ds->Cancel();
}

void TDBGrid::drawCell(QPainter &painter, const QRect &rect, int row, int column, TGridDrawState state)
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!OnDrawColumnCell || !ds || !ds->Active() || row >= ds->rowCount())
        return;
    TColumn *c = m_columns[column];
    guarded([&] { ds->withRowAsCurrent(dataRow(row), [&] { OnDrawColumnCell(painter, rect, column, c, state); }); });
}

QString TDBGrid::shownText(int row, int column) const
{
    QString text;
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (OnCellHint && ds && ds->Active() && row < ds->rowCount())
        guarded([&] { ds->withRowAsCurrent(dataRow(row), [&] { text = OnCellHint(column); }); });
    if (text.isEmpty())
        text = model()->index(row, column).data(Qt::DisplayRole).toString();
    return text;
}

} // namespace fiscal::vcl
