#pragma once
// What the threads of one HttpServer share. The listener thread accepts connections and
// gives each to the serving loop with the fewest; a loop is one thread with an io_context
// of its own, which reads its connections' requests, runs their calls and writes the
// replies. Nothing of a call moves between threads.

#include "rpc/httpserver.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace fiscal::rpc {

class Dispatcher;

namespace detail {

class Session;

// One serving thread and what runs on it.
struct Loop {
    std::atomic<std::size_t> connections{0};   // first: the sessions that ioc destroys count down
    boost::asio::io_context ioc{1};
    // Keeps run() going while the loop has no connection; dropped when the server stops.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> idle{
        ioc.get_executor()};
    std::thread thread;
};

struct ServerState {
    ServerState(const Dispatcher &d, ServerOptions o);

    // Listener thread.
    void accept();
    void adoptLate(boost::asio::ip::tcp::socket socket, Loop &loop);
    void doStop();

    // Any thread.
    void enroll(Session *s, std::weak_ptr<Session> weak);
    void leave(Session *s);
    std::size_t connectionCount();
    // Room for a request body within opt.maxBodiesBytes, taken or handed back.
    bool reserveBody(std::size_t bytes);
    void releaseBody(std::size_t bytes) { bodyBytes -= bytes; }

    // Declared first so that they outlive the handlers (and their sessions) that the
    // io_contexts destroy.
    std::mutex sessionsMutex;
    std::unordered_map<Session *, std::weak_ptr<Session>> sessions;
    std::atomic<bool> stopping{false};
    std::atomic<bool> draining{false};
    std::atomic<std::size_t> bodyBytes{0};

    const Dispatcher &dispatcher;
    const ServerOptions opt;
    const std::string limitsHeader;   // X-Fiscal-Limits of every answer
    std::vector<std::unique_ptr<Loop>> loops;
    boost::asio::io_context ioc{1};   // the listener's
    boost::asio::ip::tcp::acceptor acceptor{ioc};
    boost::asio::steady_timer acceptRetry{ioc};

    // run() and stop().
    std::thread ownThread;
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;
    bool finished = false;
    std::uint16_t boundPort = 0;
};

} // namespace detail
} // namespace fiscal::rpc
