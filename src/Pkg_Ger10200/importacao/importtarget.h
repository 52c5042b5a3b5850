#pragma once
// Where an import goes: the table and the tax, company and registration of the tab on
// screen, how the dialog names it, and the group each record has now as the tab shows it
// (for the sample of changes).

#include <QString>

#include <functional>
#include <optional>

namespace fiscal::ger10200 {

struct ImportTarget {
    QString entity;                 // FORNECEDOR, CLIENTE, ... GRFISIMPIECLIE
    QString tax, company, registration;
    QString caption;                // "Cliente", "Imposto/Filial - imposto 01"
    struct Shown {
        QString record;             // code and name, as the person knows it
        QString group;              // now; empty: none
    };
    // The record a line names (its code, or a CNPJ/CPF), as the tab shows it; nullopt when
    // the tab does not hold it.
    std::function<std::optional<Shown>(const QString &key)> find;
};

} // namespace fiscal::ger10200
