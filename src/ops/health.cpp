#include "ops/health.h"

#include <condition_variable>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace fiscal::ops {

using Clock = std::chrono::steady_clock;

struct Health::Shared {
    Connect connect;
    std::chrono::milliseconds interval;

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    bool exited = false;
    bool draining = false;
    bool lastProbeOk = true;
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
            try {
                if (!conn)
                    conn = connect();
                auto stmt = conn->prepare("SELECT 1 FROM PARAMGERAL LIMIT 1");
                stmt->step();
            } catch (const std::exception &e) {
                problem = e.what();
                conn.reset();   // reopened on the next round
            }
            std::unique_lock lock(mutex);
            const bool ok = problem.empty();
            if (ok != lastProbeOk) {
                if (ok)
                    std::cerr << "fiscal-server: the database answers again" << std::endl;
                else
                    std::cerr << "fiscal-server: the database does not answer: " << problem << std::endl;
            }
            lastProbeOk = ok;
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
    return s;
}

rpc::PlainAnswer Health::answer() const
{
    const Status s = status();
    rpc::PlainAnswer a;
    a.status = s.healthy() ? 200 : 503;
    a.contentType = "application/json";
    a.body = std::string("{\"status\":\"") + (s.healthy() ? "ok" : "unavailable")
             + "\",\"database\":\"" + (s.databaseUp ? "ok" : "down")
             + "\",\"draining\":" + (s.draining ? "true" : "false") + "}\n";
    return a;
}

} // namespace fiscal::ops
