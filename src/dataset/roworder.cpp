#include "dataset/roworder.h"

#include "dataset/clientdataset.h"
#include "dataset/textfold.h"

#include <algorithm>

namespace fiscal::dataset {
namespace {

// The first 24 folded characters as three big-endian words, so that comparing the words
// compares the texts; most comparisons end there, and equal names of up to 24 characters
// need nothing else. A character beyond Latin-1 counts as 0xff (above every folded Latin-1
// one) and sends equal keys to the full comparison.
constexpr qsizetype KeyChars = 24;

struct SortEntry {
    quint64 key[3] = {0, 0, 0};
    qint32 row = 0;
    bool exact = true;   // the key is the whole folded text
};

SortEntry keyOf(QAnyStringView v, int row)
{
    SortEntry e;
    e.row = row;
    const qsizetype n = std::min(v.size(), KeyChars);
    e.exact = v.size() <= KeyChars;
    quint8 bytes[KeyChars] = {};
    if (isLatin1View(v)) {
        const quint8 *fold = latin1FoldTable();
        const auto *p = static_cast<const quint8 *>(v.data());
        for (qsizetype i = 0; i < n; ++i) {
            bytes[i] = fold[p[i]];
            e.exact = e.exact && bytes[i] != 0;   // NUL would read as the end of a shorter text
        }
    } else {
        const auto *p = static_cast<const char16_t *>(v.data());
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t f = foldChar(p[i]);
            bytes[i] = f > 0xff ? 0xff : quint8(f);
            e.exact = e.exact && f != 0 && f <= 0xff;
        }
    }
    for (int w = 0; w < 3; ++w) {
        for (int i = 0; i < 8; ++i)
            e.key[w] = (e.key[w] << 8) | bytes[8 * w + i];
    }
    return e;
}

} // namespace

void RowOrder::clear()
{
    m_toData.clear();
    m_toData.shrink_to_fit();
    m_toDisplay.clear();
    m_toDisplay.shrink_to_fit();
}

void RowOrder::sort(const TClientDataSet &ds, int field, Qt::SortOrder order)
{
    const int n = ds.rowCount();
    std::vector<SortEntry> entries(static_cast<size_t>(n));
    for (int r = 0; r < n; ++r)
        entries[size_t(r)] = keyOf(ds.rowRef(r).view(field), r);
    const bool ascending = order == Qt::AscendingOrder;
    auto folded = [&](const SortEntry &a, const SortEntry &b) {
        return compareFolded(ds.rowRef(a.row).view(field), ds.rowRef(b.row).view(field));
    };
    std::sort(entries.begin(), entries.end(), [&](const SortEntry &a, const SortEntry &b) {
        for (int w = 0; w < 3; ++w) {
            if (a.key[w] != b.key[w])
                return ascending == (a.key[w] < b.key[w]);
        }
        if (!(a.exact && b.exact)) {
            const int c = folded(a, b);
            if (c != 0)
                return ascending == (c < 0);
        }
        return a.row < b.row;
    });
    m_toData.resize(size_t(n));
    for (int i = 0; i < n; ++i)
        m_toData[size_t(i)] = entries[size_t(i)].row;
    rebuildInverse();
}

void RowOrder::rebuildInverse()
{
    m_toDisplay.resize(m_toData.size());
    for (size_t i = 0; i < m_toData.size(); ++i)
        m_toDisplay[size_t(m_toData[i])] = int(i);
}

void RowOrder::inserted(int dataRow, int displayRow)
{
    if (isIdentity())
        return;
    for (int &r : m_toData) {
        if (r >= dataRow)
            ++r;
    }
    m_toData.insert(m_toData.begin() + displayRow, dataRow);
    rebuildInverse();
}

int RowOrder::removed(int dataRow)
{
    if (isIdentity())
        return dataRow;
    const int displayRow = m_toDisplay[size_t(dataRow)];
    m_toData.erase(m_toData.begin() + displayRow);
    for (int &r : m_toData) {
        if (r > dataRow)
            --r;
    }
    rebuildInverse();
    return displayRow;
}

} // namespace fiscal::dataset
