#pragma once
// Reads the rows of a statement into a data packet: the client's queries and its local
// cache load what the database returns the same way.

#include "dataset/packet.h"
#include "storage/database.h"

namespace fiscal::clientlib {

// Runs the (already bound) statement to its end. Every column becomes a string field named
// as the column, upper case, also when there are no rows.
dataset::DataPacket readStatementPacket(storage::Statement &st);

} // namespace fiscal::clientlib
