#pragma once
// The search lists over a data source's rows, shown through the interaction service.
//
//   if (Pesquisar(dtsEmpresa, "Empresas", false, true)) ...   // data set now on the row
//
//   QString lista;                                             // "" at first
//   PesquisaLista(dtsGrupoFiscal, "CDGRUPOFISC",
//                 "Grupo Fiscal|Não há grupo fiscal cadastrado.", false, lista);
//   // lista == "'001','014'" (selection.h) once the user confirmed a choice
//
// Both list the visible fields with their display texts. PesquisaLista puts the key field
// first and starts with the keys of the current selection checked. With an empty (or
// closed) data set it shows the text after the bar in an information box instead of a
// list. Cancelling, or an empty data set, leaves the selection as it was; confirming with
// nothing checked empties it.

#include <QString>

namespace fiscal::dataset { class TDataSource; }

namespace fiscal::clientlib {

struct ChoiceTable;

// `reserved` is kept for the callers' argument list; `position` false leaves the data set
// where it was even when a row was chosen. True when a row was chosen.
bool Pesquisar(dataset::TDataSource *dataSource, const QString &title, bool reserved = false,
               bool position = true);

// True when the user confirmed a choice (selection then rewritten).
bool PesquisaLista(dataset::TDataSource *dataSource, const QString &keyField,
                   const QString &titleAndEmptyText, bool reserved, QString &selection);

// The rows of the data source as a list shows them; key field first when given.
ChoiceTable choiceTableOf(dataset::TDataSource *dataSource, const QString &keyField = QString());

} // namespace fiscal::clientlib
