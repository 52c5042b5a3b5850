// The keyboard side of TDBGrid: cursor keys that append, the grid's own keys, the key
// filters, and opening the cell editor from a key or a click on the current cell.

#include "vcl/dbgrid.h"

#include "vcl/confirm.h"
#include "vcl/dbgridfindbar_p.h"
#include "vcl/dbgridmodel_p.h"
#include "vcl/guard.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTimerEvent>

namespace fiscal::vcl {

using dataset::TClientDataSet;

bool TDBGrid::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event)
{
    if (trigger == SelectedClicked) {
        // The item view would wait for a possible double click itself and, while it waits,
        // refuse every other way of opening an editor: the key typed right after clicking
        // the current cell (as after Down or a post moved the cursor there) would be lost.
        // Waiting here instead lets that key open the editor at once.
        if (!(editTriggers() & SelectedClicked) || state() == EditingState || !index.isValid()
            || !(model()->flags(index) & Qt::ItemIsEditable))
            return false;
        m_clickEditIndex = index;
        m_clickEdit.start(QApplication::doubleClickInterval(), this);
        return true;
    }
    m_clickEdit.stop();
    return QTableView::edit(index, trigger, event);
}

void TDBGrid::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_clickEdit.timerId()) {
        QTableView::timerEvent(event);
        return;
    }
    m_clickEdit.stop();
    if (m_clickEditIndex.isValid() && m_clickEditIndex == currentIndex() && hasFocus())
        edit(currentIndex());
}

QModelIndex TDBGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    const QModelIndex cur = currentIndex();
    const int lastRow = m_model->rowCount() - 1;
    if (cur.isValid() && cur.row() == lastRow && (m_options & dgEditing) && !m_readOnly) {
        bool below = cursorAction == MoveDown;
        if (cursorAction == MoveNext) {
            int lastVisible = -1;
            for (int i = 0; i < m_columns.Count(); ++i)
                lastVisible = isColumnHidden(i) ? lastVisible : i;
            below = cur.column() == lastVisible;
        }
        TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
        // A new row that was not typed into stays the only one: no second append.
        if (below && ds && ds->Active() && !(ds->State() == dataset::dsInsert && !ds->Modified())) {
            commitEditor();
            guarded([ds] { ds->Append(); });
            return currentIndex();
        }
    }
    return QTableView::moveCursor(cursorAction, modifiers);
}

bool TDBGrid::handleGridKey(int key, Qt::KeyboardModifiers modifiers)
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    const Qt::KeyboardModifiers mods = modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    if (key == Qt::Key_Insert && mods == Qt::NoModifier) {
        if (ds && ds->Active() && (m_options & dgEditing) && !m_readOnly) {
            commitEditor();
            guarded([ds] { ds->Insert(); });
        }
        return true;
    }
    if (key == Qt::Key_Delete && mods == Qt::ControlModifier) {
        // Asked first: "Não" leaves the text being typed where it was.
        if (ds && ds->Active() && !ds->IsEmpty() && !m_readOnly
            && (!(m_options & dgConfirmDelete) || confirm(QStringLiteral("Confirma exclusão?")))) {
            if (EditorMode())
                QTableView::closeEditor(m_editor, QAbstractItemDelegate::RevertModelCache);
            guarded([ds] { ds->Delete(); });
        }
        return true;
    }
    if (key == Qt::Key_F && mods == Qt::ControlModifier) {
        showFindBar();
        return true;
    }
    if (key == Qt::Key_F3 && (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) {
        const QString text = m_findBar ? m_findBar->text() : QString();
        if (text.isEmpty()) {
            showFindBar();
        } else {
            if (m_findBar->isHidden()) {   // shown again, for what the search says; the focus stays
                m_findBar->show();
                layoutFindBar();
            }
            findNext(text, mods == Qt::NoModifier);
        }
        return true;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && mods == Qt::ControlModifier) {
        const QModelIndex cur = currentIndex();
        if (cur.isValid() && m_columns[cur.column()]->ButtonStyle() == cbsEllipsis)
            editButtonClick();
        return true;
    }
    return false;
}

void TDBGrid::keyPressEvent(QKeyEvent *event)
{
    // Keys the open editor did not want come here after its filters already ran.
    const bool fromEditor = m_editor && QApplication::focusWidget() == m_editor;
    int key = event->key();
    if (!fromEditor && OnKeyDown) {
        if (!guarded([&] { OnKeyDown(key, event->modifiers()); }) || key == 0) {
            event->accept();
            return;
        }
    }
    if (handleGridKey(key, event->modifiers())) {
        event->accept();
        return;
    }
    if (!fromEditor && !EditorMode()) {
        TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
        if (key == Qt::Key_Escape && ds && (ds->State() == dataset::dsEdit || ds->State() == dataset::dsInsert)) {
            guarded([ds] { ds->Cancel(); });
            event->accept();
            return;
        }
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && currentIndex().isValid()
            && canEditColumn(currentIndex().column())) {
            edit(currentIndex());
            event->accept();
            return;
        }
    }
    const QString typed = event->text();
    if (!fromEditor && typed.size() == 1 && OnKeyPress) {
        QChar ch = typed.at(0);
        if (!guarded([&] { OnKeyPress(ch); }) || ch.isNull()) {
            event->accept();
            return;
        }
        if (ch != typed.at(0)) {
            QKeyEvent changed(event->type(), event->key(), event->modifiers(), QString(ch), event->isAutoRepeat(),
                              ushort(event->count()));
            m_editorFiltered = true;
            QTableView::keyPressEvent(&changed);
            m_editorFiltered = false;
            event->setAccepted(changed.isAccepted());
            return;
        }
    }
    m_editorFiltered = !fromEditor;
    QTableView::keyPressEvent(event);
    m_editorFiltered = false;
}

} // namespace fiscal::vcl
