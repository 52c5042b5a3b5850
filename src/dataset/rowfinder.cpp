#include "dataset/rowfinder.h"

#include "dataset/clientdataset.h"

#include <QVarLengthArray>

#include <algorithm>

namespace fiscal::dataset {
namespace {

// Calls use(parts) with what each column shows of the row.
template <class Use>
bool eachCell(const TClientDataSet &ds, int row, std::span<const FindColumn> columns, Use &&use)
{
    const RowRef r = ds.rowRef(row);
    QVarLengthArray<QAnyStringView, 4> parts;
    for (const FindColumn &c : columns) {
        parts.clear();
        QString shown;
        if (c.displayText) {
            shown = ds.textAt(row, c.fields.front());
            parts.append(QAnyStringView(shown));
        } else {
            for (int f : c.fields)
                parts.append(r.view(f));
        }
        if (use(std::span<const QAnyStringView>(parts.data(), size_t(parts.size()))))
            return true;
    }
    return false;
}

bool rowMatches(const TClientDataSet &ds, int row, std::span<const FindColumn> columns, const TextMatcher &matcher)
{
    return eachCell(ds, row, columns, [&](std::span<const QAnyStringView> parts) { return matcher.matches(parts); });
}

// Distance from `from` to `to` in the direction of the search, going round: 1 for the next row.
int steps(int from, int to, int n, bool forward)
{
    const int d = forward ? to - from : from - to;
    return ((d % n) + n - 1) % n + 1;
}

} // namespace

int findRow(const TClientDataSet &ds, const RowOrder &order, std::span<const FindColumn> columns,
            const TextMatcher &matcher, int from, bool forward, bool *wrapped)
{
    if (wrapped)
        *wrapped = false;
    const int n = ds.rowCount();
    if (n == 0 || matcher.isEmpty() || columns.empty())
        return -1;
    if (from < 0 || from >= n)
        from = forward ? -1 : n;
    int d = from;
    for (int k = 0; k < n; ++k) {
        d += forward ? 1 : -1;
        if (d >= n || d < 0) {
            d = forward ? 0 : n - 1;
            if (wrapped)
                *wrapped = from != -1 && from != n;
        }
        if (rowMatches(ds, order.toData(d), columns, matcher))
            return d;
    }
    if (wrapped)
        *wrapped = false;
    return -1;
}

// ---- FindIndex ----------------------------------------------------------------------------

bool FindIndex::isFor(std::span<const FindColumn> columns) const
{
    if (columns.size() != m_columns.size())
        return false;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].fields != m_columns[i].fields || columns[i].displayText != m_columns[i].displayText)
            return false;
    }
    return true;
}

void FindIndex::clear()
{
    m_built = false;
    std::string().swap(m_text);
    std::vector<quint32>().swap(m_starts);
    std::vector<bool>().swap(m_changed);
    m_changedRows.clear();
    m_columns.clear();
}

void FindIndex::build(const TClientDataSet &ds, const RowOrder &order, std::span<const FindColumn> columns)
{
    clear();
    m_columns.assign(columns.begin(), columns.end());
    const int n = ds.rowCount();
    // Folding only drops and merges characters: the stored lengths bound the text.
    size_t bound = 0;
    for (int r = 0; r < n; ++r) {
        const RowRef row = ds.rowRef(r);
        for (const FindColumn &c : columns) {
            bound += c.fields.size() + 1;
            for (int f : c.fields)
                bound += c.displayText ? 64 : size_t(row.length(f));
        }
    }
    m_text.reserve(bound);
    m_starts.resize(size_t(n) + 1);
    for (int d = 0; d < n; ++d) {
        m_starts[size_t(d)] = quint32(m_text.size());
        eachCell(ds, order.toData(d), columns, [&](std::span<const QAnyStringView> parts) {
            appendFoldedCell(m_text, parts);
            m_text.push_back(kCellEnd);
            return false;
        });
    }
    m_starts[size_t(n)] = quint32(m_text.size());
    m_changed.assign(size_t(n), false);
    m_built = true;
}

void FindIndex::rowChanged(int dataRow)
{
    if (!m_built || dataRow < 0 || dataRow >= int(m_changed.size()) || m_changed[size_t(dataRow)])
        return;
    m_changed[size_t(dataRow)] = true;
    m_changedRows.push_back(dataRow);
}

int FindIndex::rowAt(qsizetype offset) const
{
    return int(std::upper_bound(m_starts.begin(), m_starts.end(), quint32(offset)) - m_starts.begin()) - 1;
}

// The first row with a hit in [lo, hi) of the text, rows read live left out.
int FindIndex::firstHit(const TClientDataSet &, const RowOrder &order, const std::string &needle, qsizetype lo,
                        qsizetype hi) const
{
    const char *base = m_text.data();
    const char *p = base + lo;
    while (const char *hit = findFolded(p, base + hi, needle)) {
        const int d = rowAt(hit - base);
        if (!m_changed[size_t(order.toData(d))])
            return d;
        p = base + m_starts[size_t(d) + 1];
    }
    return -1;
}

// The last row with a hit in [lo, hi), looking back a stretch at a time.
int FindIndex::lastHit(const TClientDataSet &ds, const RowOrder &order, const std::string &needle, qsizetype lo,
                       qsizetype hi) const
{
    constexpr qsizetype Stretch = 64 * 1024;
    while (hi > lo) {
        // Whole rows, so that no hit is cut in two.
        const qsizetype from = m_starts[size_t(rowAt(std::max(lo, hi - Stretch)))];
        int last = -1;
        for (qsizetype at = std::max(from, lo); at < hi;) {
            const int d = firstHit(ds, order, needle, at, hi);
            if (d < 0)
                break;
            last = d;
            at = m_starts[size_t(d) + 1];
        }
        if (last >= 0)
            return last;
        hi = std::max(from, lo);
    }
    return -1;
}

int FindIndex::find(const TClientDataSet &ds, const RowOrder &order, const TextMatcher &matcher, int from,
                    bool forward, bool *wrapped) const
{
    const std::string &needle = matcher.latin1();
    if (needle.empty())
        return findRow(ds, order, m_columns, matcher, from, forward, wrapped);
    if (wrapped)
        *wrapped = false;
    const int n = int(m_starts.size()) - 1;
    if (n <= 0)
        return -1;
    if (from < 0 || from >= n)
        from = forward ? -1 : n;
    const qsizetype here = forward ? m_starts[size_t(from + 1)] : m_starts[size_t(from)];
    int best = forward ? firstHit(ds, order, needle, here, qsizetype(m_text.size()))
                       : lastHit(ds, order, needle, 0, here);
    if (best < 0)
        best = forward ? firstHit(ds, order, needle, 0, here) : lastHit(ds, order, needle, here, qsizetype(m_text.size()));
    // Rows changed since the index was made, read as they are now.
    for (int r : m_changedRows) {
        const int d = order.toDisplay(r);
        if ((best < 0 || steps(from, d, n, forward) < steps(from, best, n, forward))
            && rowMatches(ds, r, m_columns, matcher))
            best = d;
    }
    if (best >= 0 && wrapped)
        *wrapped = forward ? best <= from : best >= from;
    return best;
}

} // namespace fiscal::dataset
