#pragma once
// PostgreSQL backend over libpq: server-side prepared statements, rows streamed in
// single-row mode, COPY for bulk loads.

#include "storage/database.h"

namespace fiscal::storage::postgresql {

// A postgresql:// URL or a libpq keyword string; PGHOST and friends fill the gaps.
std::unique_ptr<Connection> open(const std::string &conninfo);

} // namespace fiscal::storage::postgresql
