#pragma once
// SQLite backend: one database file, WAL journal, writers serialised by BEGIN IMMEDIATE.

#include "storage/database.h"

namespace fiscal::storage::sqlite {

std::unique_ptr<Connection> open(const std::string &path);

} // namespace fiscal::storage::sqlite
