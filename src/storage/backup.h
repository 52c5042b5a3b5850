#pragma once
// Copies of a SQLite database taken while servers keep writing to it, and putting one
// back. PostgreSQL has pg_dump and pg_restore for that (docs/deploy.md).

#include <string>

namespace fiscal::storage {

// Writes a copy of the SQLite database `database` to the new file `copy`: one moment of
// it, taken while other connections go on writing (SQLite's online backup, in one read
// transaction). The copy is one self-contained file, readable by its owner only, checked
// before it takes its name; an existing file is never overwritten. Throws Error.
void backupSqlite(const std::string &database, const std::string &copy);

// Replaces the content of `database` (created when missing) by the copy `copy`, in one
// write transaction: a connection open on the database sees the old content or the new,
// never a mix. The copy is checked first (sound pages, the fiscal tables, a schema not
// newer than this program's); one that fails leaves the database untouched. Returns the
// copy's schema version. Throws Error.
int restoreSqlite(const std::string &copy, const std::string &database);

} // namespace fiscal::storage
