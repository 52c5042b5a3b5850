#pragma once
// Whether this server should be sent calls, as GET /health answers it:
//   200 {"status":"ok",...}           the database answers and the server is not draining;
//   503 {"status":"unavailable",...}  the database does not answer, or the server is draining
//                                     after SIGTERM (so that a load balancer stops sending
//                                     it calls before it stops).
// A thread of its own asks the database every `interval`, on a connection of its own
// outside the call pool, so the answer is immediate and never waits for the database nor
// for a free connection. A probe that hangs counts as a failure once the last success is
// older than five intervals. Transitions are written to standard error; the body never
// says why the database failed (it is read without a token).

#include "rpc/serverhooks.h"
#include "storage/database.h"

#include <chrono>
#include <functional>
#include <memory>

namespace fiscal::ops {

class Health {
public:
    // Opens a connection for the probes; throws storage::Error (or std::exception) when it
    // cannot. Called on the probe thread.
    using Connect = std::function<std::unique_ptr<storage::Connection>()>;

    // Starts out healthy: the caller has just checked the database.
    explicit Health(Connect connect,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(1000));
    ~Health();
    Health(const Health &) = delete;
    Health &operator=(const Health &) = delete;

    void setDraining();

    struct Status {
        bool databaseUp = true;
        bool databaseReadOnly = false;   // not up because it takes no writes
        bool draining = false;
        bool healthy() const { return databaseUp && !draining; }
    };
    Status status() const;
    rpc::PlainAnswer answer() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m;
};

} // namespace fiscal::ops
