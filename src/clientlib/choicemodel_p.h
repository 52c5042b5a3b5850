#pragma once
// The rows of a search list as the view shows them: the visible columns of a ChoiceTable,
// narrowed by what the user typed, with a check box per row in multi-choice lists.
//
// Nothing is copied out of the table to show it: a row's texts are read when the view
// paints it, so half a million rows open at once. The first search folds the values of
// the visible columns of every row into one buffer (dataset::TextMatcher's form: case,
// accents and a number's punctuation do not count; about 60 bytes a row of clients);
// every search after it is one scan of that buffer. The view rows map to table rows
// through tableRow(); checks are kept per table row, so a row checked and then filtered
// out stays checked.

#include "clientlib/interaction.h"

#include <QAbstractTableModel>
#include <string>
#include <vector>

namespace fiscal::dataset { class TextMatcher; }

namespace fiscal::clientlib {

class ChoiceModel : public QAbstractTableModel {
public:
    ChoiceModel(const ChoiceTable &table, bool checkable, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The table column shown in a view column.
    int tableColumn(int viewColumn) const { return m_columns.value(viewColumn, -1); }
    int tableRow(int viewRow) const;
    // -1 when the row is filtered out.
    int viewRow(int tableRow) const;

    // Shows the rows with a visible column that holds `typed` (all rows for an empty text);
    // the rows' values are compared when they have them (a number without its mask).
    void filter(const QString &typed);
    bool isChecked(int tableRow) const { return m_checked.at(size_t(tableRow)); }
    void toggle(int viewRow);
    // Checks or clears every row shown.
    void setShownChecked(bool checked);
    QList<int> checkedRows() const;

private:
    QString searchedText(int tableRow, int column) const;
    void buildIndex();
    void findInIndex(const std::string &needle);
    void findRowByRow(const dataset::TextMatcher &matcher);

    const ChoiceTable &m_table;
    QList<int> m_columns;
    bool m_checkable;
    bool m_filtered = false;
    std::vector<int> m_shown;     // table rows, when filtered
    std::vector<bool> m_checked;  // per table row
    std::string m_index;          // the folded cells of every row, each cell ended by kCellEnd
    std::vector<quint32> m_starts;  // where each row starts in m_index; then its end
};

} // namespace fiscal::clientlib
