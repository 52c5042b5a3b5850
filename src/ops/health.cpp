#include "ops/health.h"

#include "ops/calllog.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <unistd.h>

namespace fiscal::ops {

using Clock = std::chrono::steady_clock;

namespace {

// One write, so that the line never mixes with the call log's lines of the serving threads,
// and under the journal with its priority, as those carry theirs. The database's message may
// span lines (libpq's do).
void say(const char *journalPriority, std::string text)
{
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    }
    const std::string line = (CallLog::forJournal() ? journalPriority : "") + ("fiscal-server: " + text) + '\n';
    [[maybe_unused]] const ssize_t written = ::write(2, line.data(), line.size());
}

} // namespace

struct Health::Shared {
    Connect connect;
    std::chrono::milliseconds interval;

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    bool exited = false;
    bool draining = false;
    bool lastProbeOk = true;
    bool lastReadOnly = false;
    Clock::time_point lastSuccess = Clock::now();

    // The probe thread; owns the connection.
    void run()
    {
        std::unique_ptr<storage::Connection> conn;
        for (;;) {
            {
                std::unique_lock lock(mutex);
                if (stop)
                    break;
            }
            std::string problem;
            bool readOnly = false;
            try {
                // A SQLite file removed or replaced meanwhile: the probe opens it anew, and
                // finds it gone.
                if (conn && conn->lostWhileIdle())
                    conn.reset();
                if (!conn)
                    conn = connect();
                conn->prepare("SELECT 1 FROM PARAMGERAL LIMIT 1")->step();
                // Reads alone would pass on a standby, where every save fails.
                readOnly = conn->readOnly();
                if (readOnly) {
                    problem = "it takes no writes (a standby, or read-only)";
                    conn.reset();
                }
            } catch (const std::exception &e) {
                problem = e.what();
                conn.reset();   // reopened on the next round
            }
            std::unique_lock lock(mutex);
            const bool ok = problem.empty();
            if (ok != lastProbeOk || readOnly != lastReadOnly) {
                if (ok)
                    say("<5>", "the database answers again");
                else
                    say("<3>", (readOnly ? "the database answers but " : "the database does not answer: ") + problem);
            }
            lastProbeOk = ok;
            lastReadOnly = readOnly;
            if (ok)
                lastSuccess = Clock::now();
            cv.wait_for(lock, interval, [this] { return stop; });
        }
        std::lock_guard lock(mutex);
        exited = true;
        cv.notify_all();
    }
};

Health::Health(Connect connect, std::chrono::milliseconds interval)
    : m(std::make_shared<Shared>())
{
    m->connect = std::move(connect);
    m->interval = interval;
    // The thread holds the state, so a probe stuck in the database may outlive this object.
    std::thread([shared = m] { shared->run(); }).detach();
}

Health::~Health()
{
    std::unique_lock lock(m->mutex);
    m->stop = true;
    m->cv.notify_all();
    m->cv.wait_for(lock, std::chrono::seconds(2), [this] { return m->exited; });
}

void Health::setDraining()
{
    std::lock_guard lock(m->mutex);
    m->draining = true;
}

Health::Status Health::status() const
{
    std::lock_guard lock(m->mutex);
    Status s;
    s.draining = m->draining;
    s.databaseUp = m->lastProbeOk && Clock::now() - m->lastSuccess <= 5 * m->interval;
    s.databaseReadOnly = !m->lastProbeOk && m->lastReadOnly;
    return s;
}

rpc::PlainAnswer Health::answer() const
{
    const Status s = status();
    rpc::PlainAnswer a;
    a.status = s.healthy() ? 200 : 503;
    a.contentType = "application/json";
    a.body = std::string("{\"status\":\"") + (s.healthy() ? "ok" : "unavailable")
             + "\",\"database\":\"" + (s.databaseUp ? "ok" : s.databaseReadOnly ? "read-only" : "down")
             + "\",\"draining\":" + (s.draining ? "true" : "false") + "}\n";
    return a;
}

} // namespace fiscal::ops
