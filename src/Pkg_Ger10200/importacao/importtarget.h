#pragma once
// Where an import goes: the table and the tax, company and registration of the tab on
// screen, how the dialog names it, and the group each record has now as the tab shows it
// and the groups' names (for the sample of changes).

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace fiscal::ger10200 {

struct ImportTarget {
    QString entity;                 // FORNECEDOR, CLIENTE, ... GRFISIMPIECLIE
    QString tax, company, registration;
    QString caption;                // "Cliente", "Imposto/Filial - imposto 01"
    struct Shown {
        QString record;             // code and name, as the person knows it
        QString group;              // now; empty: none
    };
    // The records lines name (each its code, or a CNPJ/CPF), as the tab shows them, in the
    // order of `keys`; nullopt where the tab does not hold it. One pass over the tab's rows
    // per call, so ask for many keys at once.
    std::function<std::vector<std::optional<Shown>>(const QStringList &keys)> find;
    // A group as the grids name it ("004 - Revenda"); the code alone where it has no name.
    // Unset: codes alone.
    std::function<QString(const QString &code)> groupText;
};

} // namespace fiscal::ger10200
