#pragma once
// The change history: every write call that changes rows is recorded, in its own
// transaction, as one operation (HISTOPERACAO: id, UTC time, user, method, arguments, counts)
// and one item per changed row (HISTITEM: table, key, group before and after, action).
//
// A Recorder is the one place that writes them. The write methods tell it which rows they
// are about to change, as a query, before they change them, so that bulk work is recorded
// with one INSERT ... SELECT per table and kind of change:
//
//   history::Recorder h(c, {"CadastroAutomatico", history::argumentsJson(params)});
//   h.capture(history::table("CLIENTE"), history::Action::Changed, "CDGRUPOFISC", "$1",
//             "FROM CLIENTE WHERE CDGRUPOFISC IS NULL", {group});
//   h.write("UPDATE CLIENTE SET CDGRUPOFISC = $1 WHERE CDGRUPOFISC IS NULL", {group});
//   h.finish();
//
// Rows whose change is already known (a change set's rows once written) go in with add() or
// record(). Set-based items of a bulk operation stay out of the record index (finish()).
// In a preview (Mode::Preview) capture() only counts and write() does nothing, so
// a preview runs the same code as the call it previews and counts exactly what it would
// record. An operation that changed nothing leaves no trace.

#include "storage/database.h"

#include <QCborArray>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fiscal::appserver::history {

enum class Kind {
    Entity,      // records that always exist; only their group changes
    Parameter,   // a row exists while there is a group
    General,     // PARAMGERAL: no group may be NULL or ""
};

// A table the key columns of a parameter row must exist in (for undoing a deletion).
struct Reference {
    const char *table;
    std::vector<int> keys;              // indexes into Table::keys
    std::vector<const char *> columns;  // the referenced columns, same length
};

struct Table {
    const char *name;
    std::vector<const char *> keys;     // in key order, 1 to 4
    const char *group;                  // CDGRUPOFISC, or DSPARGERFIS
    Kind kind;
    std::vector<Reference> references;
};

// Every table the history records, in the order their locks are taken.
const std::vector<Table> &tables();
// Exact name; nullptr when the history does not know it. table() throws std::logic_error.
const Table *findTable(std::string_view name);
const Table &table(std::string_view name);

enum class Action : char { Changed = 'A', Inserted = 'I', Deleted = 'E' };

struct Counts {
    std::int64_t changed = 0, inserted = 0, deleted = 0;
    std::int64_t total() const { return changed + inserted + deleted; }
    void add(Action a, std::int64_t n);
};

struct Operation {
    std::string method;                // as registered: "SetCliente", "CadastroAutomatico"
    std::string arguments;             // a JSON array, see argumentsJson
    std::optional<std::int64_t> undoes;   // DesfazOperacao: the operation it undid
};

// The call's arguments as a JSON array: strings and booleans as they came; a change set
// (or setTipoGest's packet) as the number of rows it carried.
std::string argumentsJson(const QCborArray &params);

// Now, in UTC: "2026-12-08T10:15:30.123Z".
std::string utcNow();

using Params = std::vector<std::optional<std::string_view>>;

class Recorder {
public:
    enum class Mode { Record, Preview };
    Recorder(storage::Connection &c, Operation op, Mode mode = Mode::Record);
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    bool previewing() const { return m_mode == Mode::Preview; }
    storage::Connection &connection() const { return m_c; }

    // The rows `from` ("FROM ... WHERE ...", with $1.. bound to params) selects are about
    // to change: records them as items, or counts them in a preview. `keys` are the
    // expressions of the table's key columns in key order (empty: the columns themselves),
    // `before` and `after` those of the group. Call before the write that changes them.
    // On PostgreSQL the table is locked against other writers (readers go on) until the
    // call ends, so that the write changes exactly the rows captured. Returns how many.
    std::int64_t capture(const Table &t, Action a, const std::string &before, const std::string &after,
                         const std::string &from, const Params &params, const std::vector<std::string> &keys = {});
    // The lock capture() takes, for a caller that must look at the table before capturing.
    void lock(const Table &t);
    // The locks of every table a call captures, in the order of tables(), for a call that
    // captures more than one: taken before its first capture, which gives the operation its
    // number, so that no writer of a later table commits a higher number and writes first.
    void lockAll(const std::vector<std::string_view> &names);
    // A table the call reads for its capture and again for its write (the records that get
    // rows): on PostgreSQL nobody adds, removes or changes its rows until the call ends, so
    // that both see the same ones. Readers, and other calls that hold it, go on. Take it
    // before the locks of the tables captured.
    void hold(const std::string &table);
    // Like capture(), for rows the caller has already changed and knows exactly (no lock).
    std::int64_t record(const Table &t, Action a, const std::string &before, const std::string &after,
                        const std::string &from, const Params &params, const std::vector<std::string> &keys = {});
    // In a preview, rows counted by the caller's own query (`sql` answers one number, with
    // $1.. bound to params) where capture() would walk every row: it must count exactly the
    // rows the call's capture() records. Returns how many.
    std::int64_t previewCount(const Table &t, Action a, const std::string &sql, const Params &params);
    // One row the caller has changed.
    void add(const Table &t, Action a, const std::vector<std::string> &key, std::optional<std::string_view> before,
             std::optional<std::string_view> after);
    // Lists the table in a preview even when nothing of it changes.
    void touch(const Table &t);

    // Runs a write statement, except in a preview (0). Returns the rows it changed.
    std::int64_t write(const std::string &sql, const Params &params);

    // PostgreSQL, a call that writes one row with one statement: `writeSql` (an UPDATE,
    // INSERT or DELETE of that row, without RETURNING) becomes one statement that also
    // records the operation and the item when the row was written, and still answers 0 or 1.
    // The operation's values are bound from `firstParam` on with bindInline(). keyParams,
    // before and after are expressions over the write's parameters.
    std::string inlineSql(const std::string &writeSql, const Table &t, Action a,
                          const std::vector<std::string> &keyParams, const std::string &before,
                          const std::string &after, int firstParam) const;
    void bindInline(storage::Statement &st, int firstParam) const;
    // After an inline statement wrote its row.
    void inlined(const Table &t, Action a);

    // The operation's id, written now if it was not yet (not in a preview).
    std::int64_t id();
    // The operation's id if it has been written already, else 0.
    std::int64_t recordedId() const { return m_id; }

    // Writes the operation's counts. Returns its id; 0 when it changed nothing (then
    // nothing of it is kept) and in a preview.
    std::int64_t finish();

    // Per table, in the order they were first captured or touched.
    const std::vector<std::pair<const Table *, Counts>> &perTable() const { return m_perTable; }
    Counts total() const;

private:
    std::int64_t itemsFrom(const Table &t, Action a, const std::string &before, const std::string &after,
                           const std::string &from, const Params &params, const std::vector<std::string> &keys);
    Counts &countsOf(const Table &t);

    storage::Connection &m_c;
    Operation m_op;
    Mode m_mode;
    std::string m_time;
    std::int64_t m_id = 0;
    std::int64_t m_setBased = 0;   // items written by capture() and record()
    bool m_inline = false;
    std::vector<const Table *> m_locked;
    std::vector<std::pair<const Table *, Counts>> m_perTable;
};

// Deletes the operations older than `days` days and their items; returns how many. Between
// its short transactions it asks `stopping` (when given) and returns early when told to:
// the operations already taken are gone whole, their items left go at the next round.
std::int64_t prune(storage::Connection &c, int days, const std::function<bool()> &stopping = {});

// Prunes at once and then every hour, on a thread of its own and a connection opened for
// each round, until destroyed. Failures are written to standard error and tried again the next hour.
class HistoryPruner {
public:
    HistoryPruner(std::string url, int days, std::chrono::milliseconds every = std::chrono::hours(1));
    ~HistoryPruner();
    HistoryPruner(const HistoryPruner &) = delete;
    HistoryPruner &operator=(const HistoryPruner &) = delete;

private:
    void run();

    std::string m_url;
    int m_days;
    std::chrono::milliseconds m_every;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

} // namespace fiscal::appserver::history

namespace fiscal::appserver {
using history::HistoryPruner;
}
