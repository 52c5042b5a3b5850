#include "clientlib/search.h"

#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/selection.h"
#include "dataset/databaseerror.h"
#include "dataset/datasource.h"

#include <QPointer>
#include <QSet>

namespace fiscal::clientlib {

namespace {

dataset::TClientDataSet *rowsOf(dataset::TDataSource *dataSource)
{
    if (!dataSource || !dataSource->DataSet()) {
        throw dataset::EDatabaseError(QStringLiteral("Pesquisa sem fonte de dados."));
    }
    return dataSource->DataSet();
}

} // namespace

ChoiceTable choiceTableOf(dataset::TDataSource *dataSource, const QString &keyField)
{
    dataset::TClientDataSet *ds = rowsOf(dataSource);
    ChoiceTable table;
    QList<int> columns;
    if (!keyField.isEmpty()) {
        const int key = ds->FieldByName(keyField)->Index();
        columns.append(key);
        if (!ds->Fields(key)->Visible()) {
            table.hidden.append(0);
        }
    }
    for (int i = 0; i < ds->FieldCount(); ++i) {
        if (ds->Fields(i)->Visible() && !columns.contains(i)) {
            columns.append(i);
        }
    }
    for (int c : columns) {
        table.fieldNames.append(ds->Fields(c)->FieldName());
        table.titles.append(ds->Fields(c)->DisplayLabel());
        table.widths.append(ds->Fields(c)->Size());
    }
    if (!ds->Active()) {
        return table;
    }
    // Read from the data set as the list needs them; a data set gone away reads as empty.
    const QPointer<dataset::TClientDataSet> rows(ds);
    table.rows = ChoiceRows(
        ds->rowCount(), int(columns.size()),
        [rows, columns](int r, int c) { return rows ? rows->textAt(r, columns.at(c), true) : QString(); },
        [rows, columns](int r, int c) { return rows ? rows->valueAt(r, columns.at(c)).value_or(QString()) : QString(); });
    table.current = ds->currentRow();
    return table;
}

bool Pesquisar(dataset::TDataSource *dataSource, const QString &title, bool, bool position)
{
    dataset::TClientDataSet *ds = rowsOf(dataSource);
    const ChoiceTable table = choiceTableOf(dataSource);
    if (table.rows.isEmpty()) {
        interaction().message(mtInformation, title, QStringLiteral("Não há registros para pesquisar."),
                              mbOK, dialogParent());
        return false;
    }
    const int row = interaction().chooseOne(table, title, dialogParent());
    if (row < 0 || row >= table.rows.size()) {
        return false;
    }
    if (position) {
        ds->setRecNo(row + 1);
    }
    return true;
}

bool PesquisaLista(dataset::TDataSource *dataSource, const QString &keyField,
                   const QString &titleAndEmptyText, bool, QString &selection)
{
    const qsizetype bar = titleAndEmptyText.indexOf(QLatin1Char('|'));
    const QString title = bar < 0 ? titleAndEmptyText : titleAndEmptyText.left(bar);
    const QString emptyText = bar < 0 ? QStringLiteral("Não há registros para pesquisar.")
                                      : titleAndEmptyText.mid(bar + 1);

    ChoiceTable table = choiceTableOf(dataSource, keyField);
    if (table.rows.isEmpty()) {
        interaction().message(mtInformation, title, emptyText, mbOK, dialogParent());
        return false;
    }
    // Keys already chosen start checked, so a second search refines the first.
    dataset::TClientDataSet *ds = rowsOf(dataSource);
    const int keyIndex = ds->FieldByName(keyField)->Index();
    if (const std::optional<QStringList> current = parseSelection(selection)) {
        const QSet<QString> chosen(current->begin(), current->end());
        for (int r = 0; r < table.rows.size(); ++r) {
            if (chosen.contains(ds->valueAt(r, keyIndex).value_or(QString()))) {
                table.checked.append(r);
            }
        }
    }
    const std::optional<QList<int>> rows = interaction().chooseMany(table, 0, title, dialogParent());
    if (!rows) {
        return false;
    }
    // The key itself, not its display text: a GetText hook must not change what the
    // server receives.
    QStringList keys;
    QSet<QString> seen;
    for (int r : *rows) {
        const QString key = ds->valueAt(r, keyIndex).value_or(QString());
        if (!seen.contains(key)) {
            seen.insert(key);
            keys.append(key);
        }
    }
    selection = formatSelection(keys);
    return true;
}

} // namespace fiscal::clientlib
