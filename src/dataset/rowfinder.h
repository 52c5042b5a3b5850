#pragma once
// Finding the next row whose shown text contains what the user typed (TextMatcher: case,
// accents, registration-number punctuation and repeated blanks ignored), in a view's order.
//
//   FindColumn{fields}            the stored values of these fields, read as one text with a
//                                 blank between them (a cell showing a code and its name)
//   FindColumn{{f}, true}         the field's display text, through its OnGetText
//   findRow(ds, order, columns, matcher, from, forward, &wrapped)
//       the display row of the first match after display row `from` (-1: start at the top,
//       or at the bottom going back), going round past the end once; -1 when no row
//       matches. `wrapped` tells whether the match lies past the end.
//
// FindIndex: for searching many rows again and again (a find bar), the folded text of the
// searched cells of every row in one buffer, in display order; a search is then one scan
// of that buffer (about 60 bytes a row of the client grid). Rows changed after it was made
// (rowChanged) are read live. It holds for one order and one set of columns: whoever
// changes the order, adds or removes rows or reloads clears it.

#include "dataset/roworder.h"
#include "dataset/textfold.h"

#include <span>
#include <string>
#include <vector>

namespace fiscal::dataset {

class TClientDataSet;

struct FindColumn {
    std::vector<int> fields;
    bool displayText = false;
};

int findRow(const TClientDataSet &ds, const RowOrder &order, std::span<const FindColumn> columns,
            const TextMatcher &matcher, int from, bool forward, bool *wrapped = nullptr);

class FindIndex {
public:
    bool isBuilt() const { return m_built; }
    bool isFor(std::span<const FindColumn> columns) const;
    // Worth making again: many rows changed since.
    bool isStale() const { return m_changedRows.size() > 1000; }
    qsizetype byteSize() const { return qsizetype(m_text.capacity() + m_starts.capacity() * sizeof(quint32)); }

    void build(const TClientDataSet &ds, const RowOrder &order, std::span<const FindColumn> columns);
    void clear();
    void rowChanged(int dataRow);

    // As findRow, over the rows the index was made for.
    int find(const TClientDataSet &ds, const RowOrder &order, const TextMatcher &matcher, int from, bool forward,
             bool *wrapped = nullptr) const;

private:
    int rowAt(qsizetype offset) const;
    int firstHit(const TClientDataSet &ds, const RowOrder &order, const std::string &needle, qsizetype lo,
                 qsizetype hi) const;
    int lastHit(const TClientDataSet &ds, const RowOrder &order, const std::string &needle, qsizetype lo,
                qsizetype hi) const;

    bool m_built = false;
    std::vector<FindColumn> m_columns;
    std::string m_text;               // per display row its cells, each ended by kCellEnd
    std::vector<quint32> m_starts;    // where each display row starts; then the end
    std::vector<bool> m_changed;      // per data row: read live
    std::vector<int> m_changedRows;
};

} // namespace fiscal::dataset
