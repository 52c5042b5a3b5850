#include "appserver/saving/apply_combined.h"

#include "appserver/history/history.h"
#include "appserver/common/transaction.h"
#include "rpc/caller.h"
#include "rpc/deferred.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

namespace fiscal::appserver {

using changeset::Item;
using changeset::TableSpec;

struct CombinedSaves::Call {
    const TableSpec *spec;
    std::vector<Item> items;
    std::shared_ptr<rpc::DeferredReply> reply;
    rpc::Caller caller;   // as the history records the call, whoever runs it later
    std::string time;     // when it came, in UTC
    rpc::CallDeadline deadline;   // and its limits, whoever runs it
    rpc::Post owner;      // the serving thread the call came on, when the sender runs it
    int connection = -1;  // the client's, to tell how many clients are saving
};

// What one serving thread holds: its own connection for the combined statements (outside the
// pool, so that a statement under way never holds a connection the thread itself may wait
// for), the statement under way and the calls it answers, and the calls queued behind it.
struct CombinedSaves::Loop {
    std::vector<Call> queue;
    std::vector<Call> inFlight;
    std::unique_ptr<storage::Connection> conn;
    std::string sequence;   // the operations' sequence, as a literal for nextval on conn
    std::unique_ptr<rpc::SocketWatch> watch;
    std::unique_ptr<storage::Statement> statement;
    // Clients by when their last save came, and the short wait for the others' saves.
    std::unordered_map<int, std::chrono::steady_clock::time_point> seen;
    std::unique_ptr<rpc::LoopTimer> window;
    bool sender = false;   // the sending thread's, which takes its calls from the inbox
};

// Calls handed to the sender. It is woken only when it would not look here anyway: while a
// statement is under way, the calls that arrive wait here and its answer takes them, so that
// each save does not wake the sender once more.
struct CombinedSaves::Inbox {
    std::mutex mutex;
    std::vector<Call> calls;
    bool collecting = false;   // the sender takes what is here without being woken
    // While a statement is held back: wake the sender once this many calls are here, as many
    // as it waits for (0: never, a statement under way takes them).
    std::size_t wakeAt = 0;
};

struct CombinedSaves::Counts {
    static constexpr int kBuckets = 7;
    std::atomic<std::uint64_t> statements[kBuckets] = {};
    std::atomic<std::uint64_t> heldBack{0};   // statements that waited for other clients' saves

    void add(std::size_t saves)
    {
        const int b = saves <= 4 ? int(saves) - 1 : saves <= 8 ? 4 : saves <= 16 ? 5 : 6;
        statements[std::max(b, 0)].fetch_add(1, std::memory_order_relaxed);
    }
    void print() const
    {
        static const char *const names[kBuckets] = {"1", "2", "3", "4", "5-8", "9-16", "17+"};
        std::string line;
        for (int b = 0; b < kBuckets; ++b)
            if (const std::uint64_t n = statements[b].load(std::memory_order_relaxed))
                line += std::string(line.empty() ? "" : ", ") + names[b] + ": " + std::to_string(n);
        if (!line.empty())
            std::cerr << "fiscal-server: combined saves, statements by saves carried: " << line << "; held back for"
                      << " other clients' saves: " << heldBack.load(std::memory_order_relaxed) << std::endl;
    }
};

namespace {

// Rows in one statement at most (a call has fewer than changeset::kSetBasedFrom).
constexpr std::size_t kMostRows = 64;

std::atomic<std::uint64_t> g_nextId{1};

using Loops = std::unordered_map<std::uint64_t, std::unique_ptr<CombinedSaves::Loop>>;
Loops &threadLoops()
{
    thread_local Loops loops;
    return loops;
}

std::optional<std::string_view> view(const std::optional<std::string> &v)
{
    return v ? std::optional<std::string_view>(*v) : std::nullopt;
}

// Statements hold a power of two of rows, so that a connection keeps a handful of them
// prepared; the rows beyond the batch are NULL and match nothing.
std::size_t slotsFor(std::size_t rows)
{
    std::size_t slots = 1;
    while (slots < rows)
        slots *= 2;
    return slots;
}

// One UPDATE over the rows, matched as the lone save matches them: key, group as loaded,
// new group existing. It answers the numbers of the rows it changed. Scalar parameters (not
// arrays) let PostgreSQL keep one generic plan instead of planning every run.
//
// The same statement records the history of each call whose rows it changed, exactly as the
// call alone would (history::Recorder::inlineSql): one operation per call, with its user,
// time and arguments, and one item per row whose group it changed. When every call has one
// row (the usual save) each changed row is an operation of its own, and the statement needs
// no grouping: executing a grouping step costs PostgreSQL more than the writes themselves.
// `sequence` is the operations' sequence as a literal (resolved once per connection), so
// that no run looks its name up again.
template <class Calls>
std::unique_ptr<storage::Statement> updateStatement(storage::Connection &c, const std::string &sequence,
                                                    const TableSpec &spec, const Calls &calls)
{
    std::vector<std::size_t> callOf;
    std::vector<const Item *> rows;
    for (std::size_t i = 0; i < calls.size(); ++i)
        for (const Item &item : calls[i].items) {
            rows.push_back(&item);
            callOf.push_back(i);
        }
    const bool rowPerCall = rows.size() == calls.size();
    constexpr int kPerRow = 8;   // key, group as loaded, new group, call, user, time, arguments, address
    const std::size_t slots = slotsFor(rows.size());
    const std::string g = spec.groupColumn;
    std::string values;
    for (std::size_t n = 0; n < slots; ++n) {
        const auto p = [&](int k) { return "$" + std::to_string(kPerRow * n + k) + "::text"; };
        values += n ? ", (" : "(";
        values += p(1) + ", " + p(2) + ", " + p(3) + ", " + std::to_string(n) + ", " + p(4) + ", " + p(5) + ", " + p(6)
                  + ", " + p(7) + ", " + p(8) + ")";
    }
    const std::string method = spec.method;
    const std::string nextId = "nextval(" + sequence + "::regclass)";
    // ops: one row per call with changed rows (c, id, u, tm, args, addr, cnt); items: the
    // changed rows with their operation's id.
    const std::string ops = rowPerCall
        ? " ops AS (SELECT c, " + nextId + " AS id, u, tm, args, addr, 1 AS cnt, k, oldg, newg FROM d),"
        : " ops AS (SELECT c, " + nextId + " AS id, u, tm, args, addr, cnt FROM (SELECT c, MIN(u) AS u, MIN(tm) AS tm,"
          " MIN(args) AS args, MIN(addr) AS addr, COUNT(*) AS cnt FROM d GROUP BY c) x),";
    const std::string items = rowPerCall ? "ops" : "d JOIN ops ON ops.c = d.c";
    auto st = c.prepareCached(
        "WITH w AS (UPDATE " + std::string(spec.table) + " AS t SET " + g + " = v.newg FROM (VALUES " + values
        + ") AS v(k, oldg, newg, n, c, u, tm, args, addr) WHERE t." + spec.keys[0].name + " = v.k AND t." + g
        + " IS NOT DISTINCT FROM v.oldg AND (v.newg IS NULL OR"
          " EXISTS (SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = v.newg)) RETURNING v.*),"
          " d AS (SELECT * FROM w WHERE oldg IS DISTINCT FROM newg)," + ops
        + " o AS (INSERT INTO HISTOPERACAO (IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS,"
          " QTINCLUIDOS, QTEXCLUIDOS, DSENDERECO) SELECT id, tm, u, '" + method + "', args, cnt, 0, 0, addr FROM ops),"
          " i AS (INSERT INTO HISTITEM (IDOPERACAO, NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT,"
          " CDGRUPONOVO, IDACAO) SELECT ops.id, '" + std::string(spec.table) + "', k, '', '', '', oldg, newg, 'A'"
          " FROM " + items + ")"
          " SELECT n FROM w");
    for (std::size_t n = 0; n < rows.size(); ++n) {
        const auto &call = calls[callOf[n]];
        const int b = int(kPerRow * n);
        st->bind(b + 1, rows[n]->key[0]);
        st->bind(b + 2, view(rows[n]->oldGroup));
        st->bind(b + 3, view(rows[n]->newGroup));
        st->bind(b + 4, std::to_string(callOf[n]));
        st->bind(b + 5, call.caller.user);
        st->bind(b + 6, call.time);
        st->bind(b + 7, "[" + std::to_string(call.items.size()) + "]");
        st->bind(b + 8, call.caller.peer);
    }
    return st;
}

std::vector<bool> changedRows(storage::Statement &st, std::size_t rows)
{
    std::vector<bool> changed(rows, false);
    while (st.step()) {
        const std::string_view text = st.text(0);
        std::size_t n = 0;
        std::from_chars(text.data(), text.data() + text.size(), n);
        if (n < rows)
            changed[n] = true;
    }
    return changed;
}

template <class Calls>
std::vector<const Item *> rowsOf(const Calls &calls, std::vector<std::size_t> *callOf = nullptr)
{
    std::vector<const Item *> rows;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        for (const Item &item : calls[i].items) {
            rows.push_back(&item);
            if (callOf)
                callOf->push_back(i);
        }
    }
    return rows;
}

} // namespace

CombinedSaves::CombinedSaves(ConnectionPool &pool, Alone alone)
    : m_pool(pool), m_alone(std::move(alone)),
      m_postgres(storage::backendOf(pool.url()) == storage::Backend::Postgres), m_id(g_nextId++),
      m_inbox(std::make_unique<Inbox>()), m_counts(std::make_unique<Counts>())
{
    if (m_postgres)
        m_sender = std::make_unique<rpc::WatchThread>();
}

CombinedSaves::~CombinedSaves()
{
    m_sender.reset();   // its loop, with its connection, ends with its thread
    threadLoops().erase(m_id);
    m_counts->print();
}

bool CombinedSaves::accepts(const TableSpec &spec, const std::vector<Item> &items) const
{
    return m_postgres && changeset::combinable(spec, items);
}

CombinedSaves::Loop &CombinedSaves::loop()
{
    auto &slot = threadLoops()[m_id];
    if (!slot)
        slot = std::make_unique<Loop>();
    return *slot;
}

namespace {

// A reply given on the thread of its call, whichever thread settles it.
class ForwardedReply : public rpc::DeferredReply {
public:
    ForwardedReply(std::shared_ptr<rpc::DeferredReply> reply, rpc::Post owner)
        : m_reply(std::move(reply)), m_owner(std::move(owner))
    {}
    void succeed(const std::function<void(dataset::ValueWriter &)> &result) override
    {
        m_owner([reply = m_reply, result] { reply->succeed(result); });
    }
    void fail(std::exception_ptr failure) override
    {
        m_owner([reply = m_reply, failure] { reply->fail(failure); });
    }
    bool callerHasLeft() const override { return m_reply->callerHasLeft(); }
    void runAs(const std::function<void()> &work) const override { m_reply->runAs(work); }

private:
    const std::shared_ptr<rpc::DeferredReply> m_reply;
    const rpc::Post m_owner;
};

} // namespace

void CombinedSaves::save(const TableSpec &spec, std::vector<Item> items)
{
    std::shared_ptr<rpc::DeferredReply> reply = rpc::SocketWatch::available() ? rpc::deferReply() : nullptr;
    if (!reply)
        return m_alone(spec, items);
    auto call = std::make_shared<Call>(Call{&spec, std::move(items), reply, rpc::currentCaller(), history::utcNow(),
                                            rpc::currentDeadline(), {}, rpc::callerConnection()});
    if (m_sender) {
        call->owner = rpc::servingThreadPost();
        call->reply = std::make_shared<ForwardedReply>(reply, call->owner);
        std::unique_lock lock(m_inbox->mutex);
        m_inbox->calls.push_back(std::move(*call));
        const bool idle = !std::exchange(m_inbox->collecting, true);
        const bool awaited = m_inbox->wakeAt && m_inbox->calls.size() >= m_inbox->wakeAt;
        if (!idle && !awaited)
            return;
        m_inbox->wakeAt = 0;
        lock.unlock();
        if (m_sender->post()([this] { settleInbox(loop()); }))
            return;
        // The sender has ended (the server is stopping): this thread sends what it was handed.
        std::vector<Call> left;
        lock.lock();
        left.swap(m_inbox->calls);
        m_inbox->collecting = false;
        lock.unlock();
        Loop &l = loop();
        for (Call &c : left)
            admit(l, std::move(c));
        return sendNext(l);
    }
    admit(loop(), std::move(*call));
    sendNext(loop());
}

// On the sender: takes the calls handed to it and sends what can go, until a statement is
// under way (its answer comes back here) or nothing is left.
void CombinedSaves::settleInbox(Loop &l, bool waited)
{
    l.sender = true;
    for (;;) {
        std::vector<Call> arrived;
        {
            std::lock_guard lock(m_inbox->mutex);
            arrived.swap(m_inbox->calls);
        }
        for (Call &c : arrived)
            admit(l, std::move(c));
        sendNext(l, waited);
        waited = false;
        const std::size_t missing = l.inFlight.empty() && l.window && l.window->waiting() ? awaited(l) : 0;
        std::lock_guard lock(m_inbox->mutex);
        if (m_inbox->calls.empty()) {
            // Held back on a timer, the sender is woken by the calls that may complete the
            // statement, or by the timer.
            m_inbox->collecting = !l.inFlight.empty() || missing;
            m_inbox->wakeAt = missing;
            return;
        }
    }
}

namespace {

// A client that saved this recently is taken to be saving still.
constexpr auto kRecent = std::chrono::milliseconds(10);
// How long a statement waits, at most, for the saves of those clients: about what one of
// them takes from its answer to its next save. A few saves in one statement cost the
// database little more than one.
constexpr auto kWindow = std::chrono::microseconds(500);
// Holding back pays only with many clients saving: with a few, the statement under way
// gathers the next one's saves by itself, and a timer's wake-up costs more than it spares
// (idle machine, alternated: 4 clients 0.35x against 0.24x without it, 8 clients 0.64x
// against 0.52x).
constexpr std::size_t kHoldFrom = 16;
// How long a combined statement waits for a row another transaction holds (a bulk call, a
// save of the same row on another thread). Every save of the server queues behind it, so
// its calls go alone soon instead, where each waits its full time on its own thread.
constexpr auto kCombinedLockWait = std::chrono::milliseconds(50);

storage::Limits combinedLimits(const rpc::CallDeadline &d)
{
    const auto wait = d.lockWait.count() > 0 ? std::min(d.lockWait, kCombinedLockWait) : kCombinedLockWait;
    return {std::chrono::steady_clock::time_point::max(), d.length, wait};
}

} // namespace

void CombinedSaves::next(Loop &l, bool waited)
{
    l.sender ? settleInbox(l, waited) : sendNext(l, waited);
}

// Whether to hold the next statement back: many clients are saving lately and some of them
// have no save queued yet.
bool CombinedSaves::worthWaiting(Loop &l)
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = l.seen.begin(); it != l.seen.end();)
        it = now - it->second > kRecent ? l.seen.erase(it) : std::next(it);
    return l.seen.size() >= kHoldFrom && awaited(l) > 0;
}

// How many of the clients seen saving lately have no save queued.
std::size_t CombinedSaves::awaited(Loop &l)
{
    std::set<int> queued;
    for (const Call &c : l.queue)
        queued.insert(c.connection);
    std::size_t missing = 0;
    for (const auto &[connection, when] : l.seen)
        missing += queued.count(connection) ? 0 : 1;
    return missing;
}

void CombinedSaves::admit(Loop &l, Call c)
{
    if (c.connection >= 0)
        l.seen[c.connection] = std::chrono::steady_clock::now();
    l.queue.push_back(std::move(c));
}

storage::Connection &CombinedSaves::connection(Loop &l)
{
    // One the database ended while it waited (a restart) is replaced before it is used.
    if (l.conn && l.conn->lostWhileIdle())
        closeConnection(l);
    if (!l.conn) {
        auto conn = storage::open(m_pool.url());
        auto st = conn->prepare("SELECT quote_literal(pg_get_serial_sequence('histoperacao', 'idoperacao'))");
        if (!st->step() || st->isNull(0))
            throw storage::Error(storage::Error::Kind::Other, "the operations have no sequence");
        l.sequence = std::string(st->text(0));
        st.reset();
        l.conn = std::move(conn);
        l.watch = std::make_unique<rpc::SocketWatch>(l.conn->socket());
    }
    return *l.conn;
}

void CombinedSaves::closeConnection(Loop &l)
{
    l.watch.reset();   // before the socket it watches closes
    l.conn.reset();
}

void CombinedSaves::runAlone(Call &c)
{
    if (c.owner) {
        // On the call's own thread, so that the sender goes on meanwhile. That thread is
        // alive: its connection waits for this answer.
        auto moved = std::make_shared<Call>(std::move(c));
        const rpc::Post owner = std::move(moved->owner);
        moved->owner = nullptr;
        owner([this, moved] { runAlone(*moved); });
        return;
    }
    try {
        // As part of its own call, not of the one this thread may be running.
        c.reply->runAs([&] {
            const rpc::CallerScope caller(c.caller);
            const rpc::DeadlineScope deadline(c.deadline);
            m_alone(*c.spec, c.items);
        });
        c.reply->succeed([](dataset::ValueWriter &w) { w.null(); });
    } catch (...) {
        c.reply->fail(std::current_exception());
    }
}

// Sends the queued calls of the oldest one's table, as many as fit, one per record.
void CombinedSaves::sendNext(Loop &l, bool waited)
{
    // Other clients are saving: their next saves are on their way, so wait briefly and send
    // them in one statement (a lone client never waits: its save is the only one expected).
    if (!l.inFlight.empty() || l.queue.empty())
        return;
    if (!waited && worthWaiting(l)) {
        if (!l.window)
            l.window = std::make_unique<rpc::LoopTimer>();
        if (!l.window->waiting()) {
            l.window->after(kWindow, [this, &l] { next(l, true); });
            m_counts->heldBack.fetch_add(1, std::memory_order_relaxed);
        }
        return;
    }
    if (l.window)
        l.window->cancel();
    while (l.inFlight.empty() && !l.queue.empty()) {
        std::vector<Call> batch, rest;
        std::set<std::string> keys;
        std::size_t rows = 0;
        const TableSpec *spec = l.queue.front().spec;
        for (Call &c : l.queue) {
            bool fits = c.spec == spec && rows + c.items.size() <= kMostRows;
            for (const Item &i : c.items)
                fits = fits && !keys.count(i.key[0]);
            if (!fits) {
                rest.push_back(std::move(c));
                continue;
            }
            for (const Item &i : c.items)
                keys.insert(i.key[0]);
            rows += c.items.size();
            batch.push_back(std::move(c));
        }
        l.queue = std::move(rest);
        // Rows in key order: statements of two threads over the same records then lock them
        // in the same order instead of deadlocking.
        std::sort(batch.begin(), batch.end(),
                  [](const Call &a, const Call &b) { return a.items.front().key[0] < b.items.front().key[0]; });

        const bool severalRows = std::any_of(batch.begin(), batch.end(), [](const Call &c) { return c.items.size() > 1; });
        if (severalRows) {
            applyTogether(l, batch);
            continue;
        }
        try {
            storage::Connection &c = connection(l);
            c.setLimits(combinedLimits(batch.front().deadline));
            l.statement = updateStatement(c, l.sequence, *spec, batch);
            l.statement->start();
            m_counts->add(batch.size());
        } catch (...) {
            // Nothing was applied: each call goes alone, on a connection of the pool.
            l.statement.reset();
            closeConnection(l);
            for (Call &c : batch)
                runAlone(c);
            continue;
        }
        l.inFlight = std::move(batch);
        l.watch->whenReadable([this, &l](bool ok) { onAnswer(l, ok); });
    }
}

void CombinedSaves::onAnswer(Loop &l, bool ok)
{
    std::vector<bool> changed;
    try {
        if (!ok)
            throw storage::Error(storage::Error::Kind::Connection, "waiting for the combined save failed");
        if (!l.statement->arrived()) {
            l.watch->whenReadable([this, &l](bool more) { onAnswer(l, more); });
            return;
        }
        changed = changedRows(*l.statement, rowsOf(l.inFlight).size());
        l.statement.reset();
    } catch (const storage::Error &e) {
        std::vector<Call> batch = std::move(l.inFlight);
        l.inFlight.clear();
        l.statement.reset();
        if (e.kind() == storage::Error::Kind::Connection) {
            // The answer is lost, not the statement: it may have been applied, and each call is
            // told so, as a lone save is; the next statement opens a new connection.
            faultFromStorage(e);   // logs it
            closeConnection(l);
            const std::exception_ptr failure = std::make_exception_ptr(writeMayHaveBeenMade());
            for (Call &c : batch)
                c.reply->fail(failure);
            next(l);
            return;
        }
        // The statement failed whole (a group removed meanwhile, a deadlock, a held row): nothing of it
        // stays, and each call gets its own answer alone.
        faultFromStorage(e);   // logs it
        next(l);
        for (Call &c : batch)
            runAlone(c);
        return;
    }

    std::vector<Call> batch = std::move(l.inFlight);
    l.inFlight.clear();
    std::vector<Call> missed;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        if (changed[i])
            batch[i].reply->succeed([](dataset::ValueWriter &w) { w.null(); });
        else
            missed.push_back(std::move(batch[i]));
    }
    // The next statement goes first; the calls that missed then run alone meanwhile.
    next(l);
    for (Call &c : missed)
        runAlone(c);
}

// Calls of several rows (and the one-row calls queued with them) in one transaction on the
// thread's connection for them, answered before this returns. A call that misses some of its
// rows rolls the round back and goes alone; the others are tried again.
void CombinedSaves::applyTogether(Loop &l, std::vector<Call> &batch)
{
    // Thrown out of the transaction to roll it back: calls that missed some of their rows,
    // and calls whose client has gone (never committed, as a lone save's would not be).
    struct Missed {
        std::vector<std::size_t> calls;
        std::vector<std::size_t> gone;
    };
    std::vector<Call> trying = std::move(batch);
    std::vector<Call> alone;
    for (int round = 0; round < 3 && !trying.empty(); ++round) {
        std::vector<std::size_t> callOf;
        const std::vector<const Item *> rows = rowsOf(trying, &callOf);
        std::vector<std::size_t> changed(trying.size(), 0);
        bool committing = false;
        try {
            storage::Connection &c = connection(l);
            c.setLimits(combinedLimits(trying.front().deadline));
            storage::Transaction tx(c);
            auto st = updateStatement(c, l.sequence, *trying.front().spec, trying);
            m_counts->add(trying.size());
            const std::vector<bool> rowChanged = changedRows(*st, rows.size());
            for (std::size_t n = 0; n < rows.size(); ++n)
                changed[callOf[n]] += rowChanged[n] ? 1 : 0;
            Missed m;
            for (std::size_t i = 0; i < trying.size(); ++i) {
                if (changed[i] != 0 && changed[i] != trying[i].items.size())
                    m.calls.push_back(i);
                else if (changed[i] != 0 && trying[i].reply->callerHasLeft())
                    m.gone.push_back(i);
            }
            if (!m.calls.empty() || !m.gone.empty())
                throw m;
            committing = true;
            tx.commit();
        } catch (const Missed &m) {
            const auto listed = [](const std::vector<std::size_t> &list, std::size_t i) {
                return std::find(list.begin(), list.end(), i) != list.end();
            };
            std::vector<Call> again;
            for (std::size_t i = 0; i < trying.size(); ++i) {
                if (listed(m.gone, i))
                    trying[i].reply->fail(std::make_exception_ptr(detail::callerLeft()));
                else if (listed(m.calls, i))
                    alone.push_back(std::move(trying[i]));
                else
                    again.push_back(std::move(trying[i]));
            }
            trying = std::move(again);
            continue;
        } catch (const storage::Error &e) {
            const rpc::Fault fault = faultFromStorage(e);   // logs it
            if (e.kind() != storage::Error::Kind::Connection)
                break;   // rolled back whole (a deadlock, say): each call gets its answer alone
            // Lost before the COMMIT (the connection could not be opened, the BEGIN or the
            // UPDATE failed), nothing was written, as a lone save is told. Lost in the COMMIT,
            // its answer may be what was lost: the calls are told that they may have been
            // made, rather than run again.
            closeConnection(l);
            const std::exception_ptr failure = std::make_exception_ptr(committing ? writeMayHaveBeenMade() : fault);
            for (Call &c : trying)
                c.reply->fail(failure);
            trying.clear();
            break;
        } catch (...) {
            const std::exception_ptr failure = std::current_exception();
            for (Call &c : trying)
                c.reply->fail(failure);
            trying.clear();
            break;
        }
        // Committed.
        for (std::size_t i = 0; i < trying.size(); ++i) {
            if (changed[i])
                trying[i].reply->succeed([](dataset::ValueWriter &w) { w.null(); });
            else
                alone.push_back(std::move(trying[i]));
        }
        trying.clear();
    }
    for (Call &c : trying)
        alone.push_back(std::move(c));
    for (Call &c : alone)
        runAlone(c);
}

} // namespace fiscal::appserver
