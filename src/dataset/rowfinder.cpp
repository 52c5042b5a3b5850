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
    if (columns.size() != columns_.size())
        return false;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (columns[i].fields != columns_[i].fields || columns[i].displayText != columns_[i].displayText)
            return false;
    }
    return true;
}

void FindIndex::clear()
{
    built_ = false;
    std::string().swap(text_);
    std::vector<quint32>().swap(starts_);
    std::vector<bool>().swap(changed_);
    changedRows_.clear();
    columns_.clear();
}

void FindIndex::build(const TClientDataSet &ds, const RowOrder &order, std::span<const FindColumn> columns)
{
    clear();
    columns_.assign(columns.begin(), columns.end());
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
    text_.reserve(bound);
    starts_.resize(size_t(n) + 1);
    for (int d = 0; d < n; ++d) {
        starts_[size_t(d)] = quint32(text_.size());
        eachCell(ds, order.toData(d), columns, [&](std::span<const QAnyStringView> parts) {
            appendFoldedCell(text_, parts);
            text_.push_back(kCellEnd);
            return false;
        });
    }
    starts_[size_t(n)] = quint32(text_.size());
    changed_.assign(size_t(n), false);
    built_ = true;
}

void FindIndex::rowChanged(int dataRow)
{
    if (!built_ || dataRow < 0 || dataRow >= int(changed_.size()) || changed_[size_t(dataRow)])
        return;
    changed_[size_t(dataRow)] = true;
    changedRows_.push_back(dataRow);
}

int FindIndex::rowAt(qsizetype offset) const
{
    return int(std::upper_bound(starts_.begin(), starts_.end(), quint32(offset)) - starts_.begin()) - 1;
}

// The first row with a hit in [lo, hi) of the text, rows read live left out.
int FindIndex::firstHit(const TClientDataSet &, const RowOrder &order, const std::string &needle, qsizetype lo,
                        qsizetype hi) const
{
    const char *base = text_.data();
    const char *p = base + lo;
    while (const char *hit = findFolded(p, base + hi, needle)) {
        const int d = rowAt(hit - base);
        if (!changed_[size_t(order.toData(d))])
            return d;
        p = base + starts_[size_t(d) + 1];
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
        const qsizetype from = starts_[size_t(rowAt(std::max(lo, hi - Stretch)))];
        int last = -1;
        for (qsizetype at = std::max(from, lo); at < hi;) {
            const int d = firstHit(ds, order, needle, at, hi);
            if (d < 0)
                break;
            last = d;
            at = starts_[size_t(d) + 1];
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
        return findRow(ds, order, columns_, matcher, from, forward, wrapped);
    if (wrapped)
        *wrapped = false;
    const int n = int(starts_.size()) - 1;
    if (n <= 0)
        return -1;
    if (from < 0 || from >= n)
        from = forward ? -1 : n;
    const qsizetype here = forward ? starts_[size_t(from + 1)] : starts_[size_t(from)];
    int best = forward ? firstHit(ds, order, needle, here, qsizetype(text_.size()))
                       : lastHit(ds, order, needle, 0, here);
    if (best < 0)
        best = forward ? firstHit(ds, order, needle, 0, here) : lastHit(ds, order, needle, here, qsizetype(text_.size()));
    // Rows changed since the index was made, read as they are now.
    for (int r : changedRows_) {
        const int d = order.toDisplay(r);
        if ((best < 0 || steps(from, d, n, forward) < steps(from, best, n, forward))
            && rowMatches(ds, r, columns_, matcher))
            best = d;
    }
    if (best >= 0 && wrapped)
        *wrapped = forward ? best <= from : best >= from;
    return best;
}

} // namespace fiscal::dataset
