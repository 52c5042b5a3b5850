#include "clientlib/choicedialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace fiscal::clientlib {

namespace {
constexpr int kWidestColumn = 40;   // characters; longer fields still fit their contents
constexpr int kCellPadding = 12;
} // namespace

ChoiceDialog::ChoiceDialog(const ChoiceTable &table, const QString &title, bool multi,
                           QWidget *parent)
    : QDialog(parent), m_table(table), m_multi(multi)
{
    setWindowTitle(title);
    setModal(true);
    resize(520, 380);

    auto *layout = new QVBoxLayout(this);
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(new QLabel(QStringLiteral("Localizar:"), this));
    m_filter = new QLineEdit(this);
    searchRow->addWidget(m_filter);
    layout->addLayout(searchRow);

    m_view = new QTableWidget(int(table.rows.size()), int(table.titles.size()), this);
    m_view->setHorizontalHeaderLabels(table.titles);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(multi ? QAbstractItemView::ExtendedSelection
                                   : QAbstractItemView::SingleSelection);
    m_view->verticalHeader()->hide();
    m_view->horizontalHeader()->setStretchLastSection(true);
    for (int r = 0; r < table.rows.size(); ++r) {
        const QStringList &row = table.rows.at(r);
        for (int c = 0; c < table.titles.size(); ++c) {
            auto *item = new QTableWidgetItem(c < row.size() ? row.at(c) : QString());
            if (multi && c == 0) {
                item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                item->setCheckState(table.checked.contains(r) ? Qt::Checked : Qt::Unchecked);
            }
            m_view->setItem(r, c, item);
        }
    }
    m_view->resizeColumnsToContents();
    // A column is at least as wide as its field, so the list does not jump as it filters.
    const int charWidth = m_view->fontMetrics().averageCharWidth();
    for (int c = 0; c < table.widths.size() && c < m_view->columnCount(); ++c) {
        const int least = qMin(table.widths.at(c), kWidestColumn) * charWidth + kCellPadding;
        if (m_view->columnWidth(c) < least)
            m_view->setColumnWidth(c, least);
    }
    layout->addWidget(m_view);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
    if (multi) {
        QPushButton *all = buttons->addButton(QStringLiteral("Marcar todos"), QDialogButtonBox::ActionRole);
        QPushButton *none = buttons->addButton(QStringLiteral("Desmarcar todos"), QDialogButtonBox::ActionRole);
        connect(all, &QPushButton::clicked, this, [this] { setAllChecked(true); });
        connect(none, &QPushButton::clicked, this, [this] { setAllChecked(false); });
    }
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_filter, &QLineEdit::textChanged, this, &ChoiceDialog::applyFilter);
    if (!multi) {
        connect(m_view, &QTableWidget::cellDoubleClicked, this, [this] { accept(); });
    } else {
        // Space or a click on the row toggles it, as in any check list.
        connect(m_view, &QTableWidget::cellDoubleClicked, this, [this](int row) {
            QTableWidgetItem *item = m_view->item(row, 0);
            item->setCheckState(item->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
        });
    }
    if (table.current >= 0 && table.current < table.rows.size()) {
        m_view->selectRow(table.current);
    } else if (!table.rows.isEmpty()) {
        m_view->selectRow(0);
    }
    m_filter->setFocus();
}

void ChoiceDialog::applyFilter(const QString &text)
{
    const QString needle = text.trimmed();
    int firstShown = -1;
    for (int r = 0; r < m_view->rowCount(); ++r) {
        bool match = needle.isEmpty();
        for (int c = 0; !match && c < m_view->columnCount(); ++c) {
            match = m_view->item(r, c)->text().contains(needle, Qt::CaseInsensitive);
        }
        m_view->setRowHidden(r, !match);
        if (match && firstShown < 0) {
            firstShown = r;
        }
    }
    if (!m_multi && firstShown >= 0) {
        m_view->selectRow(firstShown);
    }
}

void ChoiceDialog::setAllChecked(bool checked)
{
    for (int r = 0; r < m_view->rowCount(); ++r) {
        if (!m_view->isRowHidden(r)) {
            m_view->item(r, 0)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        }
    }
}

int ChoiceDialog::chosenRow() const
{
    const QList<QTableWidgetItem *> selected = m_view->selectedItems();
    if (selected.isEmpty() || m_view->isRowHidden(selected.first()->row())) {
        return -1;
    }
    return selected.first()->row();
}

QList<int> ChoiceDialog::checkedRows() const
{
    QList<int> rows;
    for (int r = 0; r < m_view->rowCount(); ++r) {
        if (m_view->item(r, 0) && m_view->item(r, 0)->checkState() == Qt::Checked) {
            rows.append(r);
        }
    }
    return rows;
}

} // namespace fiscal::clientlib
