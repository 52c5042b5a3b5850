#pragma once
// Saving the grids' change sets ("where changed").
//
// Each saving method writes one fiscal-group column of one table. A change set row becomes
// an Item: its key, the group it had when it was loaded (oldGroup) and the group it has now
// (newGroup); the other fields (names, descriptions) are derived and not stored. An item is
// applied only where the stored group still equals oldGroup; anything but exactly one row
// found is a conflict and nothing of the change set is applied.
//
//   const TableSpec &spec = changeset::specFor("SetCliente");
//   std::vector<Item> items = changeset::decode(spec, dataset::ChangeSet::fromCbor(v));
//   changeset::apply(conn, spec, items, h);  // apply.h: inside the call's transaction
//
// Entity tables (suppliers, clients, ...) never lose a record: a deleted row clears the
// record's group. Parameter tables (per tax and branch / registration) hold a row only
// while there is a group: setting one inserts the row, clearing it deletes the row.

#include "dataset/packet.h"
#include "storage/database.h"

#include <QString>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver::changeset {

enum class TableKind {
    Entity,      // UPDATE of the group column; no inserts
    Parameter,   // one row per key while it has a group
    General,     // the interstate row of PARAMGERAL: update, or insert when absent
};

struct KeyColumn {
    const char *name;     // field of the change set and column of the table
    int width;
    const char *what;     // "código do fornecedor", for messages
};

// A table the key columns must exist in, e.g. INSCRESTAD for (CDEMPRESA, CDINSCESTA).
struct Reference {
    const char *table;
    std::vector<int> keys;             // indexes into TableSpec::keys
    std::vector<const char *> columns; // same length: the referenced columns
    const char *missing;               // "Filial %1 não cadastrada." (%1.. = the key values)
};

struct TableSpec {
    const char *method;
    const char *table;
    TableKind kind;
    std::vector<KeyColumn> keys;
    const char *groupColumn;           // field and column: CDGRUPOFISC or DSPARGERFIS
    std::vector<Reference> references;
    const char *record;                // "do fornecedor %1": completes the conflict message
    bool wholePacket = false;          // setTipoGest receives {fields, rows, changes}
    // Billing types: every group an update sets is also written into this table's rows of
    // the same key (each branch's copy, PARAMFILIAL), in the same transaction.
    const char *copiedTo = nullptr;
};

// The saving methods' specs, in registration order; specFor matches without regard to case.
const std::vector<TableSpec> &allSpecs();
const TableSpec &specFor(std::string_view method);

using Value = std::optional<std::string>;   // no value = no fiscal group

enum class Action {
    None,        // nothing stored changed; the key is still checked
    SetGroup,    // Entity/General: group := newGroup where group = oldGroup
    Insert,      // Parameter/General: new row; none may exist
    Update,      // Parameter: group := newGroup where group = oldGroup
    Delete,      // Parameter: delete where group = oldGroup
};

struct Item {
    int seq = 0;                       // position in the change set
    Action action = Action::None;
    std::vector<std::string> key;      // one per TableSpec::keys
    Value oldGroup;
    Value newGroup;
    bool deleted = false;              // a deleted row (its copies are left as they are)
};

// Checks every row (required fields present, key complete and within its width, key not
// changed, group within 3 characters, no key twice) and works out each row's action.
// Throws rpc::Fault InvalidParams on anything malformed.
std::vector<Item> decode(const TableSpec &spec, const dataset::ChangeSet &changes);

// "do fornecedor 000123": the record an item names in messages.
QString recordText(const TableSpec &spec, const Item &item);

} // namespace fiscal::appserver::changeset
