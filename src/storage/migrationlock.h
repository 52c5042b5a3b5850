#pragma once
// The lock that processes changing one PostgreSQL database's schema or its grants take
// turns by. Session-level, as a migration's steps span transactions, and taken by polling:
// a session waiting inside pg_advisory_lock holds a snapshot, which a concurrent index
// build of the session holding the lock would wait for in turn.

#include "storage/database.h"

#include <chrono>

namespace fiscal::storage {

class MigrationLock {
public:
    // Waits up to `wait` for another process's turn to end; then throws Error (kind Busy).
    MigrationLock(Connection &c, std::chrono::seconds wait);
    ~MigrationLock();
    MigrationLock(const MigrationLock &) = delete;
    MigrationLock &operator=(const MigrationLock &) = delete;

private:
    Connection &m_c;
};

} // namespace fiscal::storage
