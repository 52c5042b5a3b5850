#pragma once
// A table as it was at a past moment, rebuilt from the history: every record's group then
// and now, and the operation that last changed it before that moment.
//
// The operations after the moment are those from the first one recorded later than it on,
// in the order of their ids (the order their writes took effect). The group a record had
// is the group before its first item among them, or its group now when none touched it.
// Each record's first item after the moment and last one before it are sought by its key:
// a few index lookups per record (one more per bulk operation), however long the history.

#include "dataset/valuewriter.h"
#include "storage/database.h"

#include <QString>

#include <optional>
#include <string>

namespace fiscal::appserver::history {

// A UTC moment in ISO 8601 ("2026-03-15T14:30:00Z", seconds and fraction optional, or an
// offset instead of Z) as the history stores DTOPERACAO: "2026-03-15T14:30:00.000Z".
// nullopt when the text is not such a moment. Digits beyond milliseconds are cut: an
// operation recorded in the same millisecond is then still at or before it.
std::optional<std::string> normalizedMoment(const QString &text);

struct SituationQuery {
    std::string table;              // one of tables()
    std::string imposto, empresa, inscricao;   // where the table has them, else empty
    std::string moment;             // normalized, not in the future
};

// The statement writeSituation runs for a table: the filters it takes at $1.. and the id of
// the first operation after the moment next. Throws std::invalid_argument for a table
// without a grid. (For measuring it against the server.)
std::string situationStatement(const std::string &table, storage::Backend backend);

// Writes the packet (protocol::history::kSituacao after the grid's fields). Throws
// rpc::Fault -32602 for a table without a grid, filters it does not take, or a moment
// before the history is complete (with the moment from which it is, as "completoDesde").
void writeSituation(storage::Connection &c, const SituationQuery &q, dataset::ValueWriter &w);

} // namespace fiscal::appserver::history
