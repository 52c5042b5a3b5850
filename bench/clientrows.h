#pragma once
// Clients of the demo database for one-row saves: picked spread over the whole table, each
// with the change set the client grid sends after its group cell was edited and posted.
//
//   std::vector<ClientRow> rows = pickClients(conn, 2000, 0);   // offset 1: a disjoint set
//   client.call(kParamGrupFiscal, "SetCliente", changeSetFor(rows[0]));

#include "storage/database.h"

#include <QCborArray>

#include <optional>
#include <string>
#include <vector>

namespace fiscal::bench {

using Value = std::optional<std::string>;

struct ClientRow {
    std::vector<Value> row;   // the seven fields of the client grid, as loaded
    Value group, newGroup;
    Value description, newDescription;
};

// The raw side of a one-row save: this statement, prepared once, in its own transaction.
inline constexpr const char *kRawUpdate =
    "UPDATE CLIENTE SET CDGRUPOFISC = $1 WHERE CDCLIENTE = $2 AND CDGRUPOFISC IS NOT DISTINCT FROM $3";
// One raw single-row transaction moving `key` from one group to another; its time, seconds.
// Anything but one row changed is a fault of the setup (thrown).
double rawSave(storage::Connection &c, storage::Statement &st, const std::string &key, const Value &from,
               const Value &to);

// The change set moving the client to its next group.
QCborArray changeSetFor(const ClientRow &c);

// `count` clients spread over the table, the `offset`-th (0 or 1) of every pair of steps;
// each gets the next group.
std::vector<ClientRow> pickClients(storage::Connection &c, int count, int offset);

} // namespace fiscal::bench
