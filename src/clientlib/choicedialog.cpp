#include "clientlib/choicedialog.h"

#include "clientlib/choicemodel_p.h"
#include "vcl/cursor.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTableView>
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
    resize(560, 400);

    auto *layout = new QVBoxLayout(this);
    auto *searchRow = new QHBoxLayout;
    searchRow->addWidget(new QLabel(QStringLiteral("Localizar:"), this));
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("edtLocalizar"));
    m_filter->setClearButtonEnabled(true);
    searchRow->addWidget(m_filter, 1);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("lblQuantidade"));
    searchRow->addWidget(m_count);
    layout->addLayout(searchRow);

    m_model = new ChoiceModel(table, multi, this);
    m_view = new QTableView(this);
    m_view->setModel(m_model);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->setTabKeyNavigation(false);   // Shift+Tab goes back to the search box
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setWordWrap(false);
    m_view->verticalHeader()->hide();
    // Rows of one height: the view never measures half a million of them.
    m_view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_view->verticalHeader()->setDefaultSectionSize(m_view->fontMetrics().height() + 6);
    m_view->horizontalHeader()->setStretchLastSection(true);
    m_view->resizeColumnsToContents();   // the rows on screen only
    // A column is at least as wide as its field, so the list does not jump as it filters.
    const int charWidth = m_view->fontMetrics().averageCharWidth();
    for (int c = 0; c < m_model->columnCount(); ++c) {
        const int least = qMin(table.widths.value(m_model->tableColumn(c)), kWidestColumn) * charWidth + kCellPadding;
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
        connect(all, &QPushButton::clicked, this, [this] { m_model->setShownChecked(true); });
        connect(none, &QPushButton::clicked, this, [this] { m_model->setShownChecked(false); });
    }
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    connect(m_filter, &QLineEdit::textChanged, this, &ChoiceDialog::applyFilter);
    connect(m_view, &QTableView::doubleClicked, this, [this](const QModelIndex &index) {
        if (m_multi)
            m_model->toggle(index.row());
        else
            accept();
    });
    m_filter->installEventFilter(this);
    m_view->installEventFilter(this);

    const int start = table.current >= 0 && table.current < table.rows.size() ? table.current : 0;
    if (!table.rows.isEmpty())
        m_view->selectRow(start);
    m_view->scrollTo(m_model->index(start, 0), QAbstractItemView::PositionAtCenter);
    showCount();
    m_filter->setFocus();
}

bool ChoiceDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (watched == m_filter && (key == Qt::Key_Down || key == Qt::Key_PageDown) && m_model->rowCount() > 0) {
            m_view->setFocus();
            if (!m_view->currentIndex().isValid())
                m_view->selectRow(0);
            return true;
        }
        if (watched == m_view && key == Qt::Key_Space && m_multi) {
            m_model->toggle(m_view->currentIndex().row());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ChoiceDialog::applyFilter(const QString &text)
{
    const int before = chosenRow();
    {
        vcl::HourGlass hourglass;
        m_model->filter(text);
    }
    // The row chosen before stays chosen when still shown; else the first one shown.
    const int row = before >= 0 ? m_model->viewRow(before) : -1;
    if (row >= 0) {
        m_view->selectRow(row);
        m_view->scrollTo(m_model->index(row, 0));
    } else if (m_model->rowCount() > 0) {
        m_view->selectRow(0);
        m_view->scrollToTop();
    }
    showCount();
}

void ChoiceDialog::showCount()
{
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    const int shown = m_model->rowCount();
    const int all = m_table.rows.size();
    m_count->setText(shown == all ? (all == 1 ? QStringLiteral("1 registro") : QStringLiteral("%1 registros").arg(brazil.toString(all)))
                                  : QStringLiteral("%1 de %2").arg(brazil.toString(shown), brazil.toString(all)));
}

int ChoiceDialog::chosenRow() const
{
    const QModelIndexList selected = m_view->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : m_model->tableRow(selected.first().row());
}

QList<int> ChoiceDialog::checkedRows() const
{
    return m_model->checkedRows();
}

} // namespace fiscal::clientlib
