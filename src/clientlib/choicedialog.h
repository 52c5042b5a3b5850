#pragma once
// The list dialogs of the Qt interaction service: one row (Pesquisar) or several rows
// (PesquisaLista). Typing in the search box narrows the rows shown.

#include "clientlib/interaction.h"

#include <QDialog>
#include <QList>

class QLineEdit;
class QTableWidget;
class QPushButton;

namespace fiscal::clientlib {

class ChoiceDialog : public QDialog {
    Q_OBJECT
public:
    // multi: rows get check boxes; keyColumn is shown first.
    ChoiceDialog(const ChoiceTable &table, const QString &title, bool multi, QWidget *parent);

    // Single choice: the chosen row (table index) or -1.
    int chosenRow() const;
    // Multi choice: the checked rows, in table order.
    QList<int> checkedRows() const;

private:
    void applyFilter(const QString &text);
    void setAllChecked(bool checked);

    const ChoiceTable &m_table;
    bool m_multi;
    QLineEdit *m_filter = nullptr;
    QTableWidget *m_view = nullptr;
};

} // namespace fiscal::clientlib
