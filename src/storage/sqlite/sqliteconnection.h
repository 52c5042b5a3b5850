#pragma once
// SQLite backend: one database file, WAL journal, writers serialised by BEGIN IMMEDIATE.

#include "storage/database.h"

namespace fiscal::storage::sqlite {

// `create` false: a missing file is an error.
std::unique_ptr<Connection> open(const std::string &path, bool create = true);

// The error kind of a SQLite result code (extended codes too).
Error::Kind kindOf(int code);

} // namespace fiscal::storage::sqlite
