#pragma once
// The third way of applying a change set (apply.h): one-row saves that arrive together,
// sent to PostgreSQL as one statement.
//
// A serving thread reads a save, sends its UPDATE and, instead of waiting for the answer,
// goes on reading its other connections; the saves that arrive meanwhile queue. When the
// answer comes, each of its calls is answered and the queued ones go as one UPDATE over all
// their rows. Every call still gets its own answer:
// - a call whose rows were all changed succeeds;
// - a call with a row that was not (a conflict, an unknown group or record) runs again alone
//   on the usual path, which gives the answer it would have had alone;
// - calls of several rows go, with the calls queued beside them, in one transaction that is
//   tried again without any call that missed a row: each is applied whole or not at all.
// Two calls on the same record never share a statement. A statement whose connection fails
// fails its calls, as a lone save would; none is run again, since it may have been applied.
//
// The saves of every serving thread go to one thread of its own, which sends the statements,
// so that saves arriving together on different threads share a statement too: with a few
// clients each serving thread rarely holds more than one. It runs no call, so no long call
// holds the saves up. Answers go back to the thread of each call, and a call that must run
// alone runs there. The sender is woken only when it is idle: calls handed to it while a
// statement is under way wait in its inbox, which that statement's answer takes, and while
// it holds a statement back only the call that may complete it wakes it.
//
// When several clients have saved in the last few milliseconds, the sender holds a statement
// back until each of them has a save queued or half a millisecond has passed, whichever comes
// first, so that a few busy clients share statements instead of taking turns. A client saving
// alone never waits.
//
//   CombinedSaves combined(pool, saveAlone);
//   if (combined.accepts(spec, items))
//       combined.save(spec, std::move(items));   // answers later, or saves alone at once

#include "appserver/saving/apply.h"
#include "appserver/common/connectionpool.h"

#include "rpc/deferred.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fiscal::appserver {

class CombinedSaves {
public:
    // The usual save of one call, in its own transaction; throws what the call gets.
    using Alone = std::function<void(const changeset::TableSpec &, const std::vector<changeset::Item> &)>;

    CombinedSaves(ConnectionPool &pool, Alone alone);
    ~CombinedSaves();
    CombinedSaves(const CombinedSaves &) = delete;
    CombinedSaves &operator=(const CombinedSaves &) = delete;

    // True for the saves this combines: on PostgreSQL, entity rows moved to one group,
    // fewer than changeset::kSetBasedFrom of them, no copies to write.
    bool accepts(const changeset::TableSpec &spec, const std::vector<changeset::Item> &items) const;

    // Queues the call to be answered later (rpc::deferReply) when the serving thread can do
    // so; otherwise saves it alone at once.
    void save(const changeset::TableSpec &spec, std::vector<changeset::Item> items);

    struct Loop;   // what one serving thread holds

private:
    struct Call;
    Loop &loop();
    void sendNext(Loop &l, bool waited = false);
    void settleInbox(Loop &l, bool waited = false);
    void next(Loop &l, bool waited = false);
    bool worthWaiting(Loop &l);
    std::size_t awaited(Loop &l);
    void onAnswer(Loop &l, bool ok);
    void applyTogether(Loop &l, std::vector<Call> &batch);
    storage::Connection &connection(Loop &l);
    void closeConnection(Loop &l);
    void runAlone(Call &c);
    void admit(Loop &l, Call c);

    ConnectionPool &m_pool;
    const Alone m_alone;
    const bool m_postgres;
    const std::uint64_t m_id;   // this object's state on each serving thread
    std::unique_ptr<rpc::WatchThread> m_sender;   // sends every combined statement (PostgreSQL)
    struct Inbox;
    std::unique_ptr<Inbox> m_inbox;

    // Statements sent by how many saves each carried (1, 2, 3, 4, 5-8, 9-16, 17+) and how many
    // were held back for other clients' saves, written to standard error when the server
    // stops: what tells whether saves are combined.
    struct Counts;
    std::unique_ptr<Counts> m_counts;
};

} // namespace fiscal::appserver
