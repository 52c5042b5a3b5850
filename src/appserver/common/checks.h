#pragma once
// Checks that ask the database: whether a row exists, a count, and the codes every write
// must find (each a NotFound naming the code, see faults.h).

#include "storage/database.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace fiscal::appserver {

// exists() and scalar() keep their statements prepared on the connection (see
// Connection::prepareCached): fixed texts over permanent tables only.

// True when the query (with $1.. bound to `params`) returns a row.
bool exists(storage::Connection &c, std::string_view sql,
            std::initializer_list<std::optional<std::string_view>> params);

// One value of the first row of a query returning an integer (COUNT(*), ...).
std::int64_t scalar(storage::Connection &c, std::string_view sql,
                    std::initializer_list<std::optional<std::string_view>> params = {});

// Each throws notFound with a message naming the code. The codes are assumed non-empty.
void requireGroup(storage::Connection &c, std::string_view group);
void requireTax(storage::Connection &c, std::string_view tax);
void requireCompany(storage::Connection &c, std::string_view company);
void requireRegistration(storage::Connection &c, std::string_view company, std::string_view registration);
// requireGroup, and on PostgreSQL the group held against deletion until the commit, as the
// foreign key of each row written would hold it: a write that skips those per-row checks
// (ForeignKeys::HeldOnce) relies on it. Not for read-only transactions.
void holdGroup(storage::Connection &c, std::string_view group);

} // namespace fiscal::appserver
