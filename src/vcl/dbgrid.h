#pragma once
// TDBGrid: a data-aware grid (QTableView) over a TDataSource.
//
// Binding
//   DataSource()/setDataSource(src)  the grid follows the data source, also when it is
//                                    rebound to another data set
//   Columns()                        see dbgridcolumns.h; default columns = visible fields
//   The data set's current record and the grid's current row follow each other. A move to
//   another row by the user posts a pending edit first (the data set does it); when the
//   post fails (BeforePost throws) the cursor stays where it is and the error shows
//   through the guard (EAbort silently).
// Editing
//   Typing in an editable cell opens the cell editor (a TMaskEdit honouring the field's
//   EditMask, limited to the field's Size) and puts the data set in edit state at the
//   first change; leaving the cell writes the field's Text. Display text comes from the
//   field's DisplayText, editor text from its Text (both through OnGetText).
//   A click on the current cell opens its editor after the double-click interval; a key
//   typed before that opens it at once and is not lost.
//   A cell is editable when dgEditing is set, the grid and the column are not ReadOnly and
//   the field exists and is not ReadOnly.
//   EditorMode()                     a cell editor is open
// Options (TDBGridOptions, flags): dgEditing, dgTitles, dgIndicator, dgColumnResize,
//   dgColLines, dgRowLines, dgTabs (Tab moves between cells), dgRowSelect,
//   dgAlwaysShowSelection, dgConfirmDelete, dgCancelOnExit. Default: editing, titles,
//   column resize, lines, tabs, confirm delete, cancel on exit. Without
//   dgAlwaysShowSelection the current cell is not highlighted while the grid has no focus.
//   setColor(clInfoBk()) gives the pale-yellow background; setFrameShape(QFrame::NoFrame)
//   removes the border.
//   dgCancelOnExit: leaving the grid while a new row was started and nothing typed into it
//   drops that row; an edited existing row is kept pending (it is posted by the next move
//   or by the navigator) and never dropped silently.
// Keys
//   OnKeyDown(int &key, modifiers) and OnKeyPress(QChar &key) see every key first, also
//   keys typed into the cell editor; set key to 0 / QChar() to drop it.
//   Insert: the data set's Insert. Down on the last row, Tab on the last cell: Append.
//   (Both run BeforeInsert; a refusal by EAbort leaves nothing behind.)
//   Ctrl+Delete: deletes the current row, after confirm("Confirma exclusão?") when
//   dgConfirmDelete is set. Ctrl+Enter: OnEditButtonClick on an ellipsis column.
//   Esc with no editor open cancels the data set's pending edit.
// Events (run through guarded())
//   OnColEnter(), OnColExit()        when the selected column changes by the user (click,
//                                    arrows, Tab). OnColExit runs before the move, with the
//                                    editor's text already written; throwing refuses the
//                                    move (the cursor stays in the column)
//   OnEditButtonClick()              the ellipsis button of the current cell (or Ctrl+Enter);
//                                    an open editor is written and closed first
//   OnDrawColumnCell(painter, rect, dataCol, column, state)
//                                    after the grid painted a cell; the painter's brush and
//                                    pen hold the colours the grid chose for the cell, its
//                                    font the grid's; while the handler runs the painted
//                                    row is the data set's current record for reading
//   OnCellHint(dataCol)              the text a painted cell shows, for the tip that gives
//                                    a cell's whole text when its column is too narrow for
//                                    it; empty means the cell's own text. The row asked
//                                    about is the current record meanwhile, as above
//   OnEnter(), OnExit()              focus comes into / leaves the grid (focuswatch.h)
//   OnDblClick(), OnCellClick(column)
// Columns and selection
//   SelectedIndex()/setSelectedIndex(i), SelectedField()/setSelectedField(field): code moves
//   fire no OnColExit. A field's FocusControl() (fieldFocusRequested) selects its column and
//   focuses the grid.
//   CellText(field, displayed)       the text being edited in that field's cell when its
//                                    editor is open, else the field's (display) text
//   EditButton()                     the ellipsis button widget (tests, styling)
// Sorting (a view: the data set's records, cursor, change log and saving stay as they are)
//   A click on a column title sorts by that column's stored values, case and accents
//   ignored; another click on it sorts the other way round. The title shows the order.
//   The sort holds through reloads; a row edited later keeps its place until the next sort.
//   setSort(column, order) / clearSort() / sortColumn() (-1: the data set's order) /
//   sortOrder()
// Rows in display order (printing, export): rowsInDisplayOrder() gives the data set's row
//   (0-based) of every grid row, top to bottom; dataRow(gridRow) / displayRow(dataRow)
//   translate one row.
// Finding
//   Ctrl+F opens the find bar under the grid (FindBar(); in the grid's parent layout, and
//   part of the grid for focus and enter/exit events). Typing there moves to the first
//   row, from the current one on, whose shown text contains what was typed (case, accents,
//   the punctuation of registration numbers and repeated blanks ignored); Enter or F3 goes
//   to the next match, Shift+Enter or Shift+F3 to the previous one, going round at the end.
//   The bar says "Texto não encontrado" when no row matches, and "Continuando do início"
//   (or "do fim") when it went round. Esc closes it. F3 and Shift+F3 work from the grid
//   too. Moving to a match is a move of the cursor like a click: a pending edit is posted
//   first, and when that fails the cursor stays.
//   A column's cells are searched through the fields TColumn::FindFields() names, or its
//   field's display text.
//   findNext(text, forward) does what the bar does and returns whether it found a row.

#include "vcl/dbgridcolumns.h"

#include <QFlags>
#include "dataset/datasource.h"
#include "dataset/rowfinder.h"

#include <QBasicTimer>
#include <QHash>
#include <QPointer>
#include <QTableView>
#include <functional>
#include <vector>

class QToolButton;


namespace fiscal::vcl {

class DBGridModel;
class DBGridDelegate;
class GridSelectionModel;
class GridFindBar;

enum TDBGridOption {
    dgEditing = 0x1,
    dgTitles = 0x2,
    dgIndicator = 0x4,
    dgColumnResize = 0x8,
    dgColLines = 0x10,
    dgRowLines = 0x20,
    dgTabs = 0x40,
    dgRowSelect = 0x80,
    dgAlwaysShowSelection = 0x100,
    dgConfirmDelete = 0x200,
    dgCancelOnExit = 0x400,
};
Q_DECLARE_FLAGS(TDBGridOptions, TDBGridOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TDBGridOptions)

enum TGridDrawStateFlag { gdSelected = 0x1, gdFocused = 0x2, gdFixed = 0x4 };
Q_DECLARE_FLAGS(TGridDrawState, TGridDrawStateFlag)
Q_DECLARE_OPERATORS_FOR_FLAGS(TGridDrawState)

class TDBGrid : public QTableView {
    Q_OBJECT
public:
    using TDrawColumnCellEvent =
        std::function<void(QPainter &canvas, const QRect &rect, int dataCol, TColumn *column, TGridDrawState state)>;

    explicit TDBGrid(QWidget *parent = nullptr);
    ~TDBGrid() override;

    dataset::TDataSource *DataSource() const { return m_source; }
    void setDataSource(dataset::TDataSource *source);
    TDBGridColumns &Columns() { return m_columns; }
    const TDBGridColumns &Columns() const { return m_columns; }

    TDBGridOptions Options() const { return m_options; }
    void setOptions(TDBGridOptions options);
    bool ReadOnly() const { return m_readOnly; }
    // A read-only grid also offers no ellipsis: its handler would start an edit.
    void setReadOnly(bool readOnly);
    void setColor(const QColor &colour);

    int SelectedIndex() const;
    void setSelectedIndex(int index);
    dataset::TField *SelectedField() const;
    void setSelectedField(dataset::TField *field);
    bool EditorMode() const;
    void setEditorMode(bool open);
    QString CellText(dataset::TField *field, bool displayed = true) const;
    QToolButton *EditButton() const { return m_ellipsis; }

    void setSort(int column, Qt::SortOrder order);
    void clearSort();
    int sortColumn() const;
    Qt::SortOrder sortOrder() const;
    std::vector<int> rowsInDisplayOrder() const;
    int dataRow(int displayRow) const;
    int displayRow(int dataRow) const;

    QWidget *FindBar() const;
    void showFindBar();
    void hideFindBar();
    bool findNext(const QString &text, bool forward = true);

    std::function<void()> OnColEnter;
    std::function<void()> OnColExit;
    std::function<void()> OnEditButtonClick;
    TDrawColumnCellEvent OnDrawColumnCell;
    std::function<QString(int dataCol)> OnCellHint;
    std::function<void(QChar &key)> OnKeyPress;
    std::function<void(int &key, Qt::KeyboardModifiers modifiers)> OnKeyDown;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;
    std::function<void()> OnDblClick;
    std::function<void(TColumn *column)> OnCellClick;

    // For the columns, model and delegate.
    bool canEditColumn(int column) const;
    void columnChanged(TColumn *column, bool binding);
    QString shownText(int row, int column) const;
    void beginColumnsChange();
    void endColumnsChange();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags command) override;
    void closeEditor(QWidget *editor, QAbstractItemDelegate::EndEditHint hint) override;
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyboardSearch(const QString &) override {}   // typing never jumps to another row
    using QTableView::edit;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    void timerEvent(QTimerEvent *event) override;

private:
    friend class DBGridDelegate;
    friend class DBGridModel;
    friend class GridSelectionModel;

    bool allowMove(const QModelIndex &from, QModelIndex &to);
    void syncToDataSet();
    void applyColumns();
    int defaultColumnWidth(const TColumn *column) const;
    void rebuildDefaultColumns();
    void updateEllipsis();
    void editButtonClick();
    bool handleGridKey(int key, Qt::KeyboardModifiers modifiers);
    void commitEditor();
    void gridExit();
    void drawCell(QPainter &painter, const QRect &rect, int row, int column, TGridDrawState state);
    void editorTextEdited();
    void setEditor(QWidget *editor);
    void titleClicked(int column);
    void showSortIndicator();
    bool find(const QString &text, int from, bool forward);
    std::vector<dataset::FindColumn> findColumns() const;
    void prepareFind();
    bool moveToDisplayRow(int row);
    void layoutFindBar();

    TDBGridColumns m_columns;
    DBGridModel *m_model;
    DBGridDelegate *m_delegate;
    QPointer<dataset::TDataSource> m_source;
    QList<QMetaObject::Connection> m_sourceConnections;
    QToolButton *m_ellipsis = nullptr;
    QPointer<QWidget> m_editor;
    TDBGridOptions m_options;
    bool m_readOnly = false;
    int m_codeMove = 0;          // > 0: cursor moves that need no veto (already checked, or by code)
    int m_silentMove = 0;        // > 0: moves by code, which fire no OnColEnter
    bool m_editorFiltered = false;
    QBasicTimer m_clickEdit;     // a click on the current cell opens its editor when it runs out
    QPersistentModelIndex m_clickEditIndex;
    QPointer<GridFindBar> m_findBar;
    // Widths the user dragged, by field name: they outlive the column updates and reloads
    // that put the designed widths back.
    QHash<QString, int> m_userWidths;
    bool m_applyingColumns = false;
};

} // namespace fiscal::vcl
