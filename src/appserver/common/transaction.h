#pragma once
// One database transaction per remote call. Storage failures leave as rpc::Fault with a
// Portuguese message; rpc::Fault thrown by the call passes through unchanged, after the
// transaction is rolled back.
//
//   withTransaction(pool, [&](storage::Connection &c) { ...writes...; });
//   withReadTransaction(pool, [&](storage::Connection &c) { ...SELECTs... });
//   withPreviewTransaction(pool, [&](storage::Connection &c) { ...work, always undone... });
//
// A read transaction is one consistent snapshot without taking SQLite's write lock, so a
// 500k-row read does not hold up the savers.

#include "appserver/common/connectionpool.h"
#include "rpc/dispatcher.h"
#include "storage/database.h"

#include <optional>
#include <type_traits>
#include <utility>

namespace fiscal::appserver {

// The fault a storage error becomes (logged to stderr with its detail).
rpc::Fault faultFromStorage(const storage::Error &e);
// The fault of a write whose connection broke while it was committed (on PostgreSQL, also a
// write that is its own statement): it may be in the database.
rpc::Fault writeMayHaveBeenMade();
// What a save that waited too long for a row someone else holds answers.
rpc::Fault lockedFault();
// What a call that ran past its deadline answers.
rpc::Fault timedOut(const rpc::CallDeadline &call);

namespace detail {

// A failure inside a call's work: a broken connection is closed instead of reused.
[[noreturn]] void fail(ConnectionPool::Lease &lease, const storage::Error &e);
// A write whose connection broke under it on PostgreSQL (its COMMIT, or a statement that is
// its own transaction) may have been written: the connection is dropped and the caller told.
[[noreturn]] void outcomeUnknown(ConnectionPool::Lease &lease);
// Commits; a broken connection on PostgreSQL ends in outcomeUnknown.
void commit(ConnectionPool::Lease &lease, storage::Transaction &tx);

// SQLite's per-row foreign-key lookups off for one transaction (made before it, as the
// setting cannot change inside one), back on after it; a connection where they could not
// be put back on is closed. With `postgresToo`, PostgreSQL's per-row checks likewise, from
// begun() to the transaction's end (session_replication_role), where the connection's role
// may set that; else they stay.
class ForeignKeysCheckedOnce {
public:
    ForeignKeysCheckedOnce(ConnectionPool::Lease &lease, bool postgresToo);
    ~ForeignKeysCheckedOnce();
    ForeignKeysCheckedOnce(const ForeignKeysCheckedOnce &) = delete;
    ForeignKeysCheckedOnce &operator=(const ForeignKeysCheckedOnce &) = delete;
    void begun();   // right after BEGIN
private:
    ConnectionPool::Lease &m_lease;
    bool m_sqliteOff = false;
    bool m_postgresOff = false;
};

// Waits for a connection of the pool; a failure to open one becomes a Fault. One the database
// has ended is never handed out, nor a read-only one to a call that is to write. The
// connection works under the limits of the call's kind (rpc/calllimits.h).
class CallConnection {
public:
    CallConnection(ConnectionPool &pool, bool forWriting);
    ~CallConnection();
    CallConnection(const CallConnection &) = delete;
    CallConnection &operator=(const CallConnection &) = delete;
    ConnectionPool::Lease &lease() { return *m_lease; }
    storage::Connection &get() { return m_lease->connection(); }
private:
    std::optional<ConnectionPool::Lease> m_lease;
};

// Throws (so the write rolls back) when the client of this call has gone: it has told its
// user the call failed, and committing would make that untrue behind the user's back. Also
// past the call's deadline: its client has been told, or is about to be, that it failed.
void refuseIfCallerLeft();
void refuseIfPastDeadline();
// The answer of a write refused so.
rpc::Fault callerLeft();

class ReadTransaction {
public:
    // `readOnly` false: a snapshot that may still create temporary tables (a preview),
    // never committed.
    explicit ReadTransaction(ConnectionPool::Lease &lease, bool readOnly = true);
    ~ReadTransaction();
    ReadTransaction(const ReadTransaction &) = delete;
    ReadTransaction &operator=(const ReadTransaction &) = delete;
    void commit();
private:
    ConnectionPool::Lease &m_lease;
    bool m_done = false;
};

} // namespace detail

// `CheckedOnce`: the work checks each foreign value it writes once, in the transaction
// (the group, tax or registration a bulk call names; record keys read from their own
// table), so SQLite need not look the same parent up again for each of 500,000 rows.
// `HeldOnce`: the work writes no foreign value but ones it checked and holds until the
// commit (holdGroup), so PostgreSQL may skip its per-row checks as well; there a check per
// row is a query and a row lock, and half the time of a 500,000-row UPDATE.
enum class ForeignKeys { PerRow, CheckedOnce, HeldOnce };

template <class F>
decltype(auto) withTransaction(ConnectionPool &pool, F &&fn, ForeignKeys keys = ForeignKeys::PerRow)
{
    detail::CallConnection conn(pool, true);
    try {
        storage::Connection &c = conn.get();
        std::optional<detail::ForeignKeysCheckedOnce> checkedOnce;
        if (keys != ForeignKeys::PerRow)
            checkedOnce.emplace(conn.lease(), keys == ForeignKeys::HeldOnce);
        storage::Transaction tx(c);
        if (checkedOnce)
            checkedOnce->begun();
        if constexpr (std::is_void_v<std::invoke_result_t<F &, storage::Connection &>>) {
            fn(c);
            detail::refuseIfCallerLeft();
            detail::commit(conn.lease(), tx);
        } else {
            auto result = fn(c);
            detail::refuseIfCallerLeft();
            detail::commit(conn.lease(), tx);
            return result;
        }
    } catch (const storage::Error &e) {
        detail::fail(conn.lease(), e);
    }
}

// For work that writes with one statement and reads nothing before it. On PostgreSQL the
// statement is its own transaction, which saves the BEGIN and COMMIT round trips (and so
// commits with the statement, whether its client is still there or not). SQLite
// still takes the write lock first (BEGIN IMMEDIATE): a lone statement that reads and then
// writes could fail at once on a snapshot another writer has moved past, where a waiting
// BEGIN IMMEDIATE queues.
template <class F>
void withSingleStatement(ConnectionPool &pool, F &&fn)
{
    detail::CallConnection conn(pool, true);
    try {
        storage::Connection &c = conn.get();
        if (c.backend() == storage::Backend::Postgres) {
            try {
                fn(c);
            } catch (const storage::Error &e) {
                if (e.kind() == storage::Error::Kind::Connection)
                    detail::outcomeUnknown(conn.lease());
                throw;
            }
            return;
        }
        storage::Transaction tx(c);
        fn(c);
        detail::refuseIfCallerLeft();
        detail::commit(conn.lease(), tx);
    } catch (const storage::Error &e) {
        detail::fail(conn.lease(), e);
    }
}

template <class F>
decltype(auto) withReadTransaction(ConnectionPool &pool, F &&fn)
{
    detail::CallConnection conn(pool, false);
    try {
        storage::Connection &c = conn.get();
        detail::ReadTransaction tx(conn.lease());
        if constexpr (std::is_void_v<std::invoke_result_t<F &, storage::Connection &>>) {
            fn(c);
            tx.commit();
        } else {
            auto result = fn(c);
            tx.commit();
            return result;
        }
    } catch (const storage::Error &e) {
        detail::fail(conn.lease(), e);
    }
}

// A preview: one snapshot in which the work may fill temporary tables, always rolled back,
// so nothing it did stays. On SQLite it does not take the write lock.
template <class F>
void withPreviewTransaction(ConnectionPool &pool, F &&fn)
{
    detail::CallConnection conn(pool, false);
    try {
        detail::ReadTransaction tx(conn.lease(), false);
        fn(conn.get());
    } catch (const storage::Error &e) {
        detail::fail(conn.lease(), e);
    }
}

} // namespace fiscal::appserver
