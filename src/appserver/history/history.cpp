#include "appserver/history/history.h"

#include "protocol/selectiondigest.h"
#include "rpc/caller.h"
#include "rpc/envelope.h"

#include <QCborMap>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <array>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fiscal::appserver::history {

namespace {

constexpr const char *kItemColumns =
    "IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT, CDGRUPONOVO, IDACAO";
constexpr std::size_t kKeyColumns = 4;
// An operation that wrote more set-based items than this is a bulk operation: its items stay
// out of the record index (see docs/storage.md). Fewer are moved into the index at finish().
constexpr std::int64_t kBulkItems = 1000;

void bindAll(storage::Statement &st, const Params &params, int first = 1)
{
    int i = first;
    for (const auto &p : params)
        st.bind(i++, p);
}

// A parameter in a select list has no type of its own on PostgreSQL, and one also compared
// with a column elsewhere in the statement would get two: give it the column's.
std::string typed(const std::string &expr)
{
    return !expr.empty() && expr.front() == '$' ? "CAST(" + expr + " AS VARCHAR)" : expr;
}

// "k1, k2, '', ''": the key expressions padded to the item's four key columns.
std::string keyList(const Table &t, const std::vector<std::string> &keys)
{
    if (!keys.empty() && keys.size() != t.keys.size())
        throw std::logic_error(std::string("history: wrong number of key expressions for ") + t.name);
    std::string s;
    for (std::size_t i = 0; i < kKeyColumns; ++i) {
        s += i ? ", " : "";
        if (i >= t.keys.size())
            s += "''";
        else
            s += keys.empty() ? std::string(t.keys[i]) : typed(keys[i]);
    }
    return s;
}

std::string quoted(const char *name) { return std::string("'") + name + "'"; }

} // namespace

const std::vector<Table> &tables()
{
    static const std::vector<Table> list{
        {"FORNECEDOR", {"CDFORNECED"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"CLIENTE", {"CDCLIENTE"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"FILIAL", {"CDFILIAL"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"TIPOOPERAC", {"CDTIPOOPER"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"TIPOFATUR", {"CDTIPOFATUR"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"PARAMFILIAL", {"CDFILIAL", "CDTIPOFATUR"}, "CDGRUPOFISC", Kind::Entity,
         {{"FILIAL", {0}, {"CDFILIAL"}}, {"TIPOFATUR", {1}, {"CDTIPOFATUR"}}}},
        {"PARAMGERAL", {"CDPARGERAL"}, "DSPARGERFIS", Kind::General, {}},
        {"TPFATURFIS", {"CDTPFATURFIS"}, "CDGRUPOFISC", Kind::Entity, {}},
        {"GRFISCIMPOSFILI", {"CDIMPOSTO", "CDFILIAL"}, "CDGRUPOFISC", Kind::Parameter,
         {{"IMPOSTO", {0}, {"CDIMPOSTO"}}, {"FILIAL", {1}, {"CDFILIAL"}}}},
        {"GRFISIMPIECLIE", {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDCLIENTE"}, "CDGRUPOFISC", Kind::Parameter,
         {{"IMPOSTO", {0}, {"CDIMPOSTO"}}, {"INSCRESTAD", {1, 2}, {"CDEMPRESA", "CDINSCESTA"}},
          {"CLIENTE", {3}, {"CDCLIENTE"}}}},
        {"GRFISIMPIEFORN", {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDFORNECED"}, "CDGRUPOFISC", Kind::Parameter,
         {{"IMPOSTO", {0}, {"CDIMPOSTO"}}, {"INSCRESTAD", {1, 2}, {"CDEMPRESA", "CDINSCESTA"}},
          {"FORNECEDOR", {3}, {"CDFORNECED"}}}},
    };
    return list;
}

const Table *findTable(std::string_view name)
{
    for (const Table &t : tables())
        if (name == t.name)
            return &t;
    return nullptr;
}

const Table &table(std::string_view name)
{
    if (const Table *t = findTable(name))
        return *t;
    throw std::logic_error("history: unknown table " + std::string(name));
}

void Counts::add(Action a, std::int64_t n)
{
    switch (a) {
    case Action::Changed: changed += n; break;
    case Action::Inserted: inserted += n; break;
    case Action::Deleted: deleted += n; break;
    }
}

std::string argumentsJson(const QCborArray &params)
{
    QJsonArray out;
    for (const QCborValue &v : params) {
        if (v.isString())
            out.append(protocol::keptSelection(rpc::textOf(v)));
        else if (v.isBool())
            out.append(v.toBool());
        else if (v.isMap() && v.toMap().contains(QStringLiteral("changes")))
            out.append(qint64(v.toMap().value(QStringLiteral("changes")).toArray().size()));
        else if (v.isMap())   // the lines of an import
            out.append(qint64(v.toMap().value(QStringLiteral("rows")).toArray().size()));
        else if (v.isArray())
            out.append(qint64(v.toArray().size()));
        else if (v.isInteger())
            out.append(v.toInteger());
        else
            out.append(QJsonValue());
    }
    return QJsonDocument(out).toJson(QJsonDocument::Compact).toStdString();
}

std::string utcNow()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

// ---- Recorder ---------------------------------------------------------------------------

Recorder::Recorder(storage::Connection &c, Operation op, Mode mode)
    : m_c(c), m_op(std::move(op)), m_mode(mode), m_time(utcNow())
{
}

Counts &Recorder::countsOf(const Table &t)
{
    for (auto &[table, counts] : m_perTable)
        if (table == &t)
            return counts;
    return m_perTable.emplace_back(&t, Counts{}).second;
}

void Recorder::touch(const Table &t)
{
    countsOf(t);
}

Counts Recorder::total() const
{
    Counts sum;
    for (const auto &[table, counts] : m_perTable) {
        sum.changed += counts.changed;
        sum.inserted += counts.inserted;
        sum.deleted += counts.deleted;
    }
    return sum;
}

std::int64_t Recorder::id()
{
    if (m_id)
        return m_id;
    if (previewing())
        throw std::logic_error("history: a preview has no operation");
    auto st = m_c.prepareCached(
        "INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS,"
        " QTEXCLUIDOS, IDDESFAZ, DSENDERECO) VALUES ($1, $2, $3, $4, 0, 0, 0, $5, $6) RETURNING IDOPERACAO");
    const std::string undoes = m_op.undoes ? std::to_string(*m_op.undoes) : std::string();
    bindAll(*st, {m_time, rpc::currentCaller().user, m_op.method, m_op.arguments,
                  m_op.undoes ? std::optional<std::string_view>(undoes) : std::nullopt, rpc::currentCaller().peer});
    if (!st->step())
        throw std::logic_error("history: the new operation has no id");
    m_id = std::stoll(std::string(st->text(0)));
    return m_id;
}

std::int64_t Recorder::itemsFrom(const Table &t, Action a, const std::string &before, const std::string &after,
                                 const std::string &from, const Params &params, const std::vector<std::string> &keys)
{
    const std::string columns = keyList(t, keys) + ", " + typed(before) + ", " + typed(after);
    std::unique_ptr<storage::Statement> st;
    if (previewing()) {
        // The same select list as the record, so that the same parameters bind.
        st = m_c.prepare("SELECT COUNT(*) FROM (SELECT " + columns + " " + from + ") x");
        bindAll(*st, params);
        st->step();
        const std::int64_t n = std::stoll(std::string(st->text(0)));
        countsOf(t).add(a, n);
        return n;
    }
    st = m_c.prepare(std::string("INSERT INTO HISTITEM (") + kItemColumns + ", FLLOTE) SELECT " + std::to_string(id())
                     + ", " + quoted(t.name) + ", " + columns + ", '" + char(a) + "', 'S' " + from);
    bindAll(*st, params);
    const std::int64_t n = st->execute();
    countsOf(t).add(a, n);
    m_setBased += n;
    return n;
}

std::int64_t Recorder::capture(const Table &t, Action a, const std::string &before, const std::string &after,
                               const std::string &from, const Params &params, const std::vector<std::string> &keys)
{
    lock(t);
    return itemsFrom(t, a, before, after, from, params, keys);
}

void Recorder::lock(const Table &t)
{
    // Between the capture and the write no other call may change these rows. SQLite
    // writers already queue for the whole database; PostgreSQL needs the table.
    if (!previewing() && m_c.backend() == storage::Backend::Postgres
        && std::find(m_locked.begin(), m_locked.end(), &t) == m_locked.end()) {
        m_c.exec(std::string("LOCK TABLE ") + t.name + " IN SHARE ROW EXCLUSIVE MODE");
        m_locked.push_back(&t);
    }
}

void Recorder::lockAll(const std::vector<std::string_view> &names)
{
    for (const Table &t : tables())
        if (std::find(names.begin(), names.end(), std::string_view(t.name)) != names.end())
            lock(t);
}

void Recorder::hold(const std::string &table)
{
    if (!previewing() && m_c.backend() == storage::Backend::Postgres)
        m_c.exec("LOCK TABLE " + table + " IN SHARE MODE");
}

std::int64_t Recorder::record(const Table &t, Action a, const std::string &before, const std::string &after,
                              const std::string &from, const Params &params, const std::vector<std::string> &keys)
{
    return itemsFrom(t, a, before, after, from, params, keys);
}

std::int64_t Recorder::previewCount(const Table &t, Action a, const std::string &sql, const Params &params)
{
    if (!previewing())
        throw std::logic_error("history: previewCount outside a preview");
    auto st = m_c.prepare(sql);
    bindAll(*st, params);
    st->step();
    const std::int64_t n = std::stoll(std::string(st->text(0)));
    countsOf(t).add(a, n);
    return n;
}

void Recorder::add(const Table &t, Action a, const std::vector<std::string> &key,
                   std::optional<std::string_view> before, std::optional<std::string_view> after)
{
    countsOf(t).add(a, 1);
    if (previewing())
        return;
    auto st = m_c.prepareCached(std::string("INSERT INTO HISTITEM (") + kItemColumns
                                + ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)");
    st->bindInt(1, id());
    st->bind(2, std::string_view(t.name));
    for (std::size_t i = 0; i < kKeyColumns; ++i)
        st->bind(int(3 + i), i < key.size() ? std::string_view(key[i]) : std::string_view(""));
    st->bind(7, before);
    st->bind(8, after);
    const char action = char(a);
    st->bind(9, std::string_view(&action, 1));
    st->execute();
}

std::int64_t Recorder::write(const std::string &sql, const Params &params)
{
    if (previewing())
        return 0;
    auto st = m_c.prepare(sql);
    bindAll(*st, params);
    return st->execute();
}

std::string Recorder::inlineSql(const std::string &writeSql, const Table &t, Action a,
                                const std::vector<std::string> &keyParams, const std::string &before,
                                const std::string &after, int firstParam) const
{
    Counts one;
    one.add(a, 1);
    const auto p = [firstParam](int i) { return "$" + std::to_string(firstParam + i); };
    return "WITH w AS (" + writeSql + " RETURNING 1), o AS (INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO,"
           " NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS, DSENDERECO) SELECT " + p(0) + ", " + p(1)
        + ", " + p(2) + ", " + p(3) + ", " + std::to_string(one.changed) + ", " + std::to_string(one.inserted) + ", "
        + std::to_string(one.deleted) + ", " + p(4) + " FROM w RETURNING IDOPERACAO) INSERT INTO HISTITEM (" + kItemColumns
        + ") SELECT o.IDOPERACAO, " + quoted(t.name) + ", " + keyList(t, keyParams) + ", " + typed(before) + ", "
        + typed(after) + ", '" + char(a) + "' FROM o";
}

void Recorder::bindInline(storage::Statement &st, int firstParam) const
{
    bindAll(st, {m_time, rpc::currentCaller().user, m_op.method, m_op.arguments, rpc::currentCaller().peer},
            firstParam);
}

void Recorder::inlined(const Table &t, Action a)
{
    m_inline = true;
    countsOf(t).add(a, 1);
}

std::int64_t Recorder::finish()
{
    if (previewing() || m_inline)
        return 0;
    const Counts sum = total();
    if (sum.total() == 0) {
        if (m_id) {
            auto st = m_c.prepareCached("DELETE FROM HISTOPERACAO WHERE IDOPERACAO = $1");
            st->bindInt(1, m_id);
            st->execute();
        }
        return 0;
    }
    const bool bulk = m_setBased > kBulkItems;
    if (m_setBased && !bulk) {
        auto indexed = m_c.prepareCached("UPDATE HISTITEM SET FLLOTE = 'N' WHERE IDOPERACAO = $1 AND FLLOTE = 'S'");
        indexed->bindInt(1, id());
        indexed->execute();
    }
    auto st = m_c.prepareCached("UPDATE HISTOPERACAO SET QTALTERADOS = $1, QTINCLUIDOS = $2, QTEXCLUIDOS = $3,"
                                " FLLOTE = $4 WHERE IDOPERACAO = $5");
    st->bindInt(1, sum.changed);
    st->bindInt(2, sum.inserted);
    st->bindInt(3, sum.deleted);
    st->bind(4, std::string_view(bulk ? "S" : "N"));
    st->bindInt(5, id());
    st->execute();
    return m_id;
}

// ---- pruning ----------------------------------------------------------------------------

namespace {

// Short transactions, so that saves get the database between them: on SQLite a transaction
// that writes holds every other writer off, and a bulk operation has 500,000 items.
constexpr std::size_t kOperationsPerBatch = 500;
constexpr int kItemsPerBatch = 20000;

// On SQLite a save waiting for the write lock looks for it again every few milliseconds (at
// most 20): taken again at once by the next short transaction, the lock stayed the pruner's
// for a whole round of a year's history, and a save that waited its lock wait out failed.
// After every 100 ms of the pruner's transactions, a pause longer than a waiter's sleep lets
// the saves waiting in.
class WriterTurns {
public:
    explicit WriterTurns(storage::Connection &c) : m_sqlite(c.backend() == storage::Backend::Sqlite) {}
    void afterCommit()
    {
        using namespace std::chrono_literals;
        if (!m_sqlite || std::chrono::steady_clock::now() - m_since < 100ms)
            return;
        std::this_thread::sleep_for(50ms);
        m_since = std::chrono::steady_clock::now();
    }

private:
    bool m_sqlite;
    std::chrono::steady_clock::time_point m_since = std::chrono::steady_clock::now();
};

// The items of an operation already removed, a batch at a time in key order; false when
// `stopping` said to stop first (what is left goes at the next round).
bool removeItemsOf(storage::Connection &c, std::int64_t id, const std::function<bool()> &stopping, WriterTurns &turns)
{
    for (;;) {
        if (stopping && stopping())
            return false;
        storage::Transaction tx(c);
        std::optional<std::array<std::string, 5>> edge;
        {
            auto st = c.prepareCached("SELECT NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4 FROM HISTITEM"
                                      " WHERE IDOPERACAO = $1 ORDER BY NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4"
                                      " LIMIT 1 OFFSET " + std::to_string(kItemsPerBatch - 1));
            st->bindInt(1, id);
            if (st->step()) {
                edge.emplace();
                for (int i = 0; i < 5; ++i)
                    (*edge)[std::size_t(i)] = std::string(st->text(i));
            }
            st->reset();
        }
        if (!edge) {
            auto st = c.prepareCached("DELETE FROM HISTITEM WHERE IDOPERACAO = $1");
            st->bindInt(1, id);
            st->execute();
        } else {
            auto st = c.prepareCached("DELETE FROM HISTITEM WHERE IDOPERACAO = $1 AND (NMTABELA, CDCHAVE1, CDCHAVE2,"
                                      " CDCHAVE3, CDCHAVE4) <= ($2, $3, $4, $5, $6)");
            st->bindInt(1, id);
            for (int i = 0; i < 5; ++i)
                st->bind(i + 2, (*edge)[std::size_t(i)]);
            st->execute();
        }
        tx.commit();
        turns.afterCommit();
        if (!edge)
            return true;
    }
}

std::vector<std::int64_t> idsOf(storage::Statement &st)
{
    std::vector<std::int64_t> ids;
    while (st.step())
        ids.push_back(std::stoll(std::string(st.text(0))));
    st.reset();
    return ids;
}

} // namespace

std::int64_t prune(storage::Connection &c, int days, const std::function<bool()> &stopping)
{
    const std::string cutoff =
        QDateTime::currentDateTimeUtc().addDays(-days).toString(Qt::ISODateWithMs).toStdString();
    // Items a round stopped short of (the server stopped) lie below the oldest operation kept.
    std::vector<std::int64_t> leftover;
    {
        storage::Transaction tx(c);
        auto st = c.prepareCached("SELECT DISTINCT IDOPERACAO FROM HISTITEM WHERE IDOPERACAO <"
                                  " (SELECT COALESCE(MIN(IDOPERACAO), 9223372036854775807) FROM HISTOPERACAO)"
                                  " ORDER BY IDOPERACAO");
        leftover = idsOf(*st);
        tx.commit();
    }
    WriterTurns turns(c);
    for (std::int64_t id : leftover)
        if (!removeItemsOf(c, id, stopping, turns))
            return 0;

    // Only operations below the first young one go: an operation is stamped when its call
    // begins and numbered when it first writes, so one that waited for a lock may be older by
    // its time than others before it. The history kept must be every operation from its
    // first on, which the situation at a moment and the undo count on.
    std::int64_t boundary = 0;
    {
        storage::Transaction tx(c);
        auto st = c.prepareCached("SELECT IDOPERACAO FROM HISTOPERACAO WHERE DTOPERACAO >= $1 ORDER BY IDOPERACAO"
                                  " LIMIT 1");
        st->bind(1, cutoff);
        if (st->step()) {
            boundary = std::stoll(std::string(st->text(0)));
        } else {
            st = c.prepareCached("SELECT COALESCE(MAX(IDOPERACAO), 0) + 1 FROM HISTOPERACAO");
            st->step();
            boundary = std::stoll(std::string(st->text(0)));
        }
        st.reset();
        tx.commit();
    }

    // The operations go first, whole, so that nobody sees one with only some of its items;
    // their items follow.
    std::int64_t removed = 0;
    for (;;) {
        if (stopping && stopping())
            return removed;
        std::vector<std::int64_t> ids;
        {
            storage::Transaction tx(c);
            auto pick = c.prepareCached("SELECT IDOPERACAO FROM HISTOPERACAO WHERE DTOPERACAO < $1 AND IDOPERACAO < $2"
                                        " ORDER BY IDOPERACAO LIMIT " + std::to_string(kOperationsPerBatch));
            pick->bind(1, cutoff);
            pick->bindInt(2, boundary);
            ids = idsOf(*pick);
            pick.reset();
            if (!ids.empty()) {
                // The lowest ids of the old ones: every old one between the first and the last.
                auto st = c.prepareCached("DELETE FROM HISTOPERACAO WHERE IDOPERACAO BETWEEN $1 AND $2"
                                          " AND DTOPERACAO < $3");
                st->bindInt(1, ids.front());
                st->bindInt(2, ids.back());
                st->bind(3, cutoff);
                removed += st->execute();
            }
            tx.commit();
        }
        turns.afterCommit();
        for (std::int64_t id : ids)
            if (!removeItemsOf(c, id, stopping, turns))
                return removed;
        if (ids.size() < kOperationsPerBatch)
            return removed;
    }
}

HistoryPruner::HistoryPruner(std::string url, int days, std::chrono::milliseconds every)
    : m_url(std::move(url)), m_days(days), m_every(every), m_thread([this] { run(); })
{
}

HistoryPruner::~HistoryPruner()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HistoryPruner::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        lock.unlock();
        try {
            // A connection of each round's own: one kept idle for the hour between would be
            // cut by the database's idle timeout or restart, and the next round fail for it.
            const auto c = storage::openExisting(m_url);
            // Named, so that its long deletes are told apart from the calls' work.
            if (storage::backendOf(m_url) == storage::Backend::Postgres)
                c->exec("SET application_name = 'fiscal-server history'");
            const auto stopping = [this] {
                std::lock_guard lock(m_mutex);
                return m_stop;
            };
            if (const std::int64_t n = prune(*c, m_days, stopping))
                std::cerr << "fiscal-server: history: " << n << " operations older than " << m_days
                          << " days removed" << std::endl;
        } catch (const std::exception &e) {
            std::cerr << "fiscal-server: history: pruning failed: " << e.what() << std::endl;
        }
        lock.lock();
        m_wake.wait_for(lock, m_every, [this] { return m_stop; });
    }
}

} // namespace fiscal::appserver::history
