#pragma once
// The list dialogs of the Qt interaction service: one row (Pesquisar) or several rows
// (PesquisaLista). Typing in the search box narrows the rows shown (accents, case and a
// number's punctuation do not count); the count beside it says how many are left. The
// rows are read as they come on screen, so a list of half a million opens at once.
//
// Keys: Down in the search box goes to the list; Space in the list checks or clears the
// row (multi-choice); Enter confirms; a double click chooses the row (single choice) or
// checks it (multi-choice).

#include "clientlib/interaction.h"

#include <QDialog>
#include <QList>

class QLabel;
class QLineEdit;
class QTableView;

namespace fiscal::clientlib {

class ChoiceModel;

class ChoiceDialog : public QDialog {
    Q_OBJECT
public:
    // multi: rows get check boxes in the first column shown.
    ChoiceDialog(const ChoiceTable &table, const QString &title, bool multi, QWidget *parent);

    // Single choice: the chosen row (table index) or -1.
    int chosenRow() const;
    // Multi choice: the checked rows (table indexes), in table order.
    QList<int> checkedRows() const;

    QLineEdit *searchBox() const { return m_filter; }
    QTableView *view() const { return m_view; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyFilter(const QString &text);
    void showCount();

    const ChoiceTable &m_table;
    bool m_multi;
    ChoiceModel *m_model = nullptr;
    QLineEdit *m_filter = nullptr;
    QLabel *m_count = nullptr;
    QTableView *m_view = nullptr;
};

} // namespace fiscal::clientlib
