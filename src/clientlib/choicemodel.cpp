#include "clientlib/choicemodel_p.h"

#include "dataset/textfold.h"

#include <algorithm>

namespace fiscal::clientlib {

ChoiceModel::ChoiceModel(const ChoiceTable &table, bool checkable, QObject *parent)
    : QAbstractTableModel(parent), m_table(table), m_checkable(checkable),
      m_checked(size_t(table.rows.size()), false)
{
    for (int c = 0; c < table.titles.size(); ++c) {
        if (!table.hidden.contains(c))
            m_columns.append(c);
    }
    for (int r : table.checked) {
        if (r >= 0 && r < table.rows.size())
            m_checked[size_t(r)] = true;
    }
}

int ChoiceModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return m_filtered ? int(m_shown.size()) : m_table.rows.size();
}

int ChoiceModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_columns.size());
}

int ChoiceModel::tableRow(int viewRow) const
{
    if (viewRow < 0 || viewRow >= rowCount())
        return -1;
    return m_filtered ? m_shown[size_t(viewRow)] : viewRow;
}

int ChoiceModel::viewRow(int tableRow) const
{
    if (!m_filtered)
        return tableRow >= 0 && tableRow < m_table.rows.size() ? tableRow : -1;
    const auto it = std::lower_bound(m_shown.begin(), m_shown.end(), tableRow);
    return it != m_shown.end() && *it == tableRow ? int(it - m_shown.begin()) : -1;
}

QVariant ChoiceModel::data(const QModelIndex &index, int role) const
{
    const int row = tableRow(index.row());
    if (row < 0 || !index.isValid())
        return {};
    if (role == Qt::DisplayRole)
        return m_table.rows.text(row, tableColumn(index.column()));
    if (role == Qt::CheckStateRole && m_checkable && index.column() == 0)
        return m_checked[size_t(row)] ? Qt::Checked : Qt::Unchecked;
    return {};
}

bool ChoiceModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    const int row = tableRow(index.row());
    if (row < 0 || role != Qt::CheckStateRole || !m_checkable || index.column() != 0)
        return false;
    m_checked[size_t(row)] = value.toInt() == Qt::Checked;
    Q_EMIT dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags ChoiceModel::flags(const QModelIndex &index) const
{
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (m_checkable && index.column() == 0)
        f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant ChoiceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_table.titles.value(tableColumn(section));
    return QAbstractTableModel::headerData(section, orientation, role);
}

QString ChoiceModel::searchedText(int tableRow, int column) const
{
    // The stored value when the rows have one: a number's mask is not worked out half a
    // million times, and its punctuation does not count in a search anyway.
    const ChoiceRows &rows = m_table.rows;
    return rows.hasValues() ? rows.value(tableRow, column) : rows.text(tableRow, column);
}

void ChoiceModel::buildIndex()
{
    const int n = m_table.rows.size();
    m_index.clear();
    m_starts.assign(size_t(n) + 1, 0);
    for (int r = 0; r < n; ++r) {
        m_starts[size_t(r)] = quint32(m_index.size());
        for (int c : std::as_const(m_columns)) {
            const QString text = searchedText(r, c);
            const QAnyStringView cell(text);
            dataset::appendFoldedCell(m_index, std::span<const QAnyStringView>(&cell, 1));
            m_index.push_back(dataset::kCellEnd);
        }
    }
    m_starts[size_t(n)] = quint32(m_index.size());
}

void ChoiceModel::findInIndex(const std::string &needle)
{
    if (m_starts.empty())
        buildIndex();
    const char *begin = m_index.data();
    const char *end = begin + m_index.size();
    const char *from = begin;
    while (const char *hit = dataset::findFolded(from, end, needle)) {
        // A hit never spans two cells (kCellEnd is in no folded text): its row is the last
        // one starting at or before it; the search goes on from the next row.
        const auto next = std::upper_bound(m_starts.begin(), m_starts.end(), quint32(hit - begin));
        const int row = int(next - m_starts.begin()) - 1;
        m_shown.push_back(row);
        from = begin + m_starts[size_t(row) + 1];
    }
}

void ChoiceModel::findRowByRow(const dataset::TextMatcher &matcher)
{
    for (int r = 0; r < m_table.rows.size(); ++r) {
        for (int c : std::as_const(m_columns)) {
            const QString text = searchedText(r, c);
            if (matcher.matches(QAnyStringView(text))) {
                m_shown.push_back(r);
                break;
            }
        }
    }
}

void ChoiceModel::filter(const QString &typed)
{
    const dataset::TextMatcher matcher(typed);
    beginResetModel();
    m_shown.clear();
    m_filtered = !matcher.isEmpty();
    if (m_filtered) {
        // A needle beyond Latin-1 cannot be in the folded buffer: it is looked for row by row.
        if (!matcher.latin1().empty())
            findInIndex(matcher.latin1());
        else
            findRowByRow(matcher);
    }
    endResetModel();
}

void ChoiceModel::toggle(int viewRow)
{
    const int row = tableRow(viewRow);
    if (row < 0 || !m_checkable)
        return;
    setData(index(viewRow, 0), m_checked[size_t(row)] ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
}

void ChoiceModel::setShownChecked(bool checked)
{
    if (!m_checkable || rowCount() == 0)
        return;
    for (int v = 0; v < rowCount(); ++v)
        m_checked[size_t(tableRow(v))] = checked;
    Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::CheckStateRole});
}

QList<int> ChoiceModel::checkedRows() const
{
    QList<int> rows;
    for (size_t r = 0; r < m_checked.size(); ++r) {
        if (m_checked[r])
            rows.append(int(r));
    }
    return rows;
}

} // namespace fiscal::clientlib
