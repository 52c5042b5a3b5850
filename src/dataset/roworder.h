#pragma once
// RowOrder: the order in which a view shows a data set's rows, without touching the data
// set: its records, cursor, change log and saving stay as they are.
//
//   order.isIdentity()                 rows in the data set's own order (no memory held)
//   order.sort(ds, field, order)       by the field's stored values, case and accents
//                                      ignored (nulls as empty text, first when ascending);
//                                      equal values keep the data set's order
//   order.toData(displayRow) / order.toDisplay(dataRow)
//   order.inserted(dataRow, displayRow)   a row the data set inserted at dataRow shows at
//                                          displayRow; order.removed(dataRow) returns where
//                                          the row was shown. Rows edited later keep their
//                                          place until the view sorts again.
//   order.rows()                       data rows in display order (empty for identity)

#include <Qt>
#include <vector>

namespace fiscal::dataset {

class TClientDataSet;

class RowOrder {
public:
    bool isIdentity() const { return m_toData.empty(); }
    int toData(int displayRow) const { return isIdentity() ? displayRow : m_toData[size_t(displayRow)]; }
    int toDisplay(int dataRow) const { return isIdentity() ? dataRow : m_toDisplay[size_t(dataRow)]; }
    const std::vector<int> &rows() const { return m_toData; }

    void clear();
    void sort(const TClientDataSet &ds, int field, Qt::SortOrder order);
    void inserted(int dataRow, int displayRow);
    int removed(int dataRow);

private:
    void rebuildInverse();

    std::vector<int> m_toData;
    std::vector<int> m_toDisplay;
};

} // namespace fiscal::dataset
