#pragma once
// Applying a decoded change set (changeset.h). A save takes one of three ways, alternatives
// that give the same rows and the same history. A change set refused for more than one
// reason may name a different one by way: row by row stops at the first item that fails,
// in the set's order, while the set-based way checks every reference before any write.
//
//   1. Row by row (apply_rowbyrow.cpp): each item with prepared statements, in the call's
//      transaction. Taken by change sets of fewer than kSetBasedFrom items, and always by
//      the interstate parameter (one row). The usual one-row save of an entity is a single
//      statement (singleStatement); on PostgreSQL that statement is its own transaction and
//      records its history too.
//   2. Set-based (apply_settemp.cpp): the items in a temporary table, one statement per kind
//      of action over it, checks and conflicts found with one query each. Taken by change
//      sets of kSetBasedFrom items or more.
//   3. Combined (apply_combined.h): on PostgreSQL, the saves of several calls in one UPDATE.
//      Taken by combinable() saves that arrive on a serving thread while its previous
//      combined statement runs; a call that misses a row runs again alone, by way 1.
//
// saves.h decides between 3 and the others for each call; apply() between 1 and 2.

#include "appserver/saving/changeset.h"
#include "storage/database.h"

#include <cstddef>
#include <vector>

namespace fiscal::appserver::history {
class Recorder;
}

namespace fiscal::appserver::changeset {

// Change sets of at least this many items are applied set-based.
constexpr std::size_t kSetBasedFrom = 16;

// Writes the items inside the caller's transaction, by way 1 or 2. Every new group must
// exist, every key must exist in its references (NotFound); a stored group that is not the
// item's oldGroup is a Conflict naming the first such record. Copies (TableSpec::copiedTo)
// are written after every item was applied, so a conflict leaves them untouched too. Every
// row written goes into the history through `h`.
void apply(storage::Connection &c, const TableSpec &spec, const std::vector<Item> &items, history::Recorder &h);

// True when apply() writes with one statement and reads nothing before it (a one-row entity
// save): that statement is a transaction by itself.
bool singleStatement(const TableSpec &spec, const std::vector<Item> &items);

// True when the items are entity rows moved to one group with nothing else to write, as
// singleStatement() but of any count below kSetBasedFrom: such saves of several calls can
// go in one statement (way 3).
bool combinable(const TableSpec &spec, const std::vector<Item> &items);

} // namespace fiscal::appserver::changeset
