#pragma once
// A call answered after its method has returned, on the same serving thread, and a wait for
// a socket of one's own on that thread: how a method waits for its database without holding
// up the other connections of its thread.
//
//   if (std::shared_ptr<rpc::DeferredReply> reply = rpc::deferReply()) {
//       queue(work, reply);      // and return; later, on this thread:
//       reply->succeed([](dataset::ValueWriter &w) { w.null(); });
//   }
//
//   rpc::SocketWatch watch(PQsocket(conn));          // on a serving thread
//   watch.whenReadable([&](bool ok) { ... });        // runs on this thread
//
//   rpc::Post here = rpc::servingThreadPost();       // on a serving thread
//   here([] { ... });                                // from any thread: runs on that one

#include "dataset/valuewriter.h"

#include <chrono>
#include <exception>
#include <functional>
#include <memory>

namespace fiscal::rpc {

class DeferredReply {
public:
    virtual ~DeferredReply() = default;
    // The call succeeded; `result` writes its result.
    virtual void succeed(const std::function<void(dataset::ValueWriter &)> &result) = 0;
    // The call failed: an rpc::Fault is answered as it is, anything else as an internal error
    // (and written to the server's standard error).
    virtual void fail(std::exception_ptr failure) = 0;
    // As rpc::callerHasLeft, for this call, wherever it is asked.
    virtual bool callerHasLeft() const = 0;
    // Runs `work` as part of this call: rpc::callerHasLeft asks about this call's client.
    virtual void runAs(const std::function<void()> &work) const = 0;
};

// For a method while it runs: a reply it may give after it has returned, on this thread, or
// nullptr when the call must be answered as the method returns (a call of a batch, a
// notification, a method not run by a serving thread). Once a method has taken it, what it
// writes is ignored; if it throws, the error is the answer and the reply does nothing.
std::shared_ptr<DeferredReply> deferReply();

// Hands work to the serving thread it was made on, from any thread; that thread runs it
// later in its loop. False, and the work not taken, once that loop has ended (a server
// stopping). Empty when not made on a serving thread.
using Post = std::function<bool(std::function<void()>)>;
Post servingThreadPost();

// A thread of its own running a loop like a serving thread's (SocketWatch and
// servingThreadPost work on it), for work that must not wait behind any call. Ending it
// drops the work not yet run.
class WatchThread {
public:
    WatchThread();
    ~WatchThread();
    WatchThread(const WatchThread &) = delete;
    WatchThread &operator=(const WatchThread &) = delete;
    // Hands it work from any thread.
    const Post &post() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The connection the call running on this thread came on, as a number no other open
// connection has (-1 outside a call): tells the calls of one client from another's.
int callerConnection();

// Runs work after a delay on the serving thread (or WatchThread) that creates it; one wait
// at a time, cancelled by the next one or by the timer going first.
class LoopTimer {
public:
    LoopTimer();
    ~LoopTimer();
    LoopTimer(const LoopTimer &) = delete;
    LoopTimer &operator=(const LoopTimer &) = delete;
    // `done` runs once the delay has passed, never when cancelled.
    void after(std::chrono::microseconds delay, std::function<void()> done);
    void cancel();
    bool waiting() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Waits, on the serving thread that creates it, until a socket can be read. The socket stays
// the owner's: the watch never reads nor closes it.
class SocketWatch {
public:
    // True on a serving thread, the only place a watch can be made.
    static bool available();

    explicit SocketWatch(int fd);
    ~SocketWatch();
    SocketWatch(const SocketWatch &) = delete;
    SocketWatch &operator=(const SocketWatch &) = delete;

    // ready(true) once the socket can be read, ready(false) when the wait failed or the watch
    // went first; on this thread, one wait at a time.
    void whenReadable(std::function<void(bool ok)> ready);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace fiscal::rpc
