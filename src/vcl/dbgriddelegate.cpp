#include "vcl/dbgriddelegate_p.h"

#include "vcl/dbgrid.h"
#include "vcl/focuswatch.h"
#include "vcl/maskedit.h"

#include "dataset/field.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QToolButton>
#include <QToolTip>

namespace fiscal::vcl {

DBGridDelegate::DBGridDelegate(TDBGrid *grid)
    : QStyledItemDelegate(grid)
    , m_grid(grid)
{
}

void DBGridDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt(option);
    QWidget *focus = QApplication::focusWidget();
    // The find bar is part of the grid: while the user types there the row found shows.
    const bool gridFocused = FocusWatch::instance().contains(m_grid, focus);
    const bool current = m_grid->currentIndex() == index;
    bool selected = (opt.state & QStyle::State_Selected)
        && (gridFocused || (m_grid->Options() & dgAlwaysShowSelection));
    if (!selected)
        opt.state &= ~QStyle::State_Selected;
    opt.state &= ~QStyle::State_HasFocus;
    QStyledItemDelegate::paint(painter, opt, index);

    if (!m_grid->OnDrawColumnCell)
        return;
    TGridDrawState state;
    if (selected)
        state |= gdSelected;
    if (current && focus == m_grid)
        state |= gdFocused;
    const QPalette::ColorGroup cg = gridFocused ? QPalette::Active : QPalette::Inactive;
    const QPalette &pal = m_grid->viewport()->palette();
    painter->save();
    painter->setClipRect(opt.rect);
    painter->setBrush(selected ? pal.color(cg, QPalette::Highlight) : pal.color(cg, QPalette::Base));
    painter->setPen(selected ? pal.color(cg, QPalette::HighlightedText) : pal.color(cg, QPalette::Text));
    painter->setFont(opt.font);
    m_grid->drawCell(*painter, opt.rect, index.row(), index.column(), state);
    painter->restore();
}

bool DBGridDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                               const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    // Columns keep the widths the screens give them, so a long name or group description is
    // cut at the edge; the tip gives it whole. A cell that fits needs none.
    const QString text = m_grid->shownText(index.row(), index.column());
    const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, &option, view) + 1);
    if (text.isEmpty() || option.fontMetrics.horizontalAdvance(text) + margins <= option.rect.width())
        return QStyledItemDelegate::helpEvent(event, view, option, index);   // the grid's own tip, if any
    QToolTip::showText(event->globalPos(), text, view->viewport(), option.rect);
    return true;
}

QWidget *DBGridDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &, const QModelIndex &index) const
{
    auto *editor = new TMaskEdit(parent);
    editor->setFrame(false);
    editor->setAutoSelect(false);   // setEditorData selects; a key that opened it must stay
    if (dataset::TField *field = m_grid->Columns()[index.column()]->Field()) {
        if (!field->EditMask().isEmpty())
            editor->setEditMask(field->EditMask());
        else if (field->Size() > 0)
            editor->setMaxLength(field->Size());
    }
    TDBGrid *grid = m_grid;
    editor->OnKeyDown = [grid](int &key, Qt::KeyboardModifiers modifiers) {
        if (grid->m_editorFiltered)
            return;
        if (grid->OnKeyDown)
            grid->OnKeyDown(key, modifiers);
        if (key != 0 && grid->handleGridKey(key, modifiers))
            key = 0;
    };
    editor->OnKeyPress = [grid](QChar &key) {
        if (!grid->m_editorFiltered && grid->OnKeyPress)
            grid->OnKeyPress(key);
    };
    connect(editor, &QLineEdit::textEdited, grid, [grid] { grid->editorTextEdited(); });
    m_grid->setEditor(editor);
    return editor;
}

void DBGridDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *edit = static_cast<TMaskEdit *>(editor);
    const QString text = index.data(Qt::EditRole).toString();
    if (edit->Text() != text)
        edit->setText(text);
    edit->selectAll();
}

void DBGridDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    model->setData(index, static_cast<TMaskEdit *>(editor)->Text(), Qt::EditRole);
}

void DBGridDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QRect r = option.rect;
    // Leave the ellipsis button uncovered.
    if (m_grid->Columns()[index.column()]->ButtonStyle() == cbsEllipsis && m_grid->EditButton()->isVisible())
        r.setRight(m_grid->EditButton()->geometry().left() - 1);
    editor->setGeometry(r);
}

} // namespace fiscal::vcl
