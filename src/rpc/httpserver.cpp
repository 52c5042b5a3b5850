#include "rpc/httpserver.h"

#include "rpc/deferred_p.h"
#include "rpc/serverstate_p.h"
#include "rpc/session_p.h"

#include <boost/asio/post.hpp>

#include <linux/filter.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace fiscal::rpc {

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;

namespace detail {

ServerState::ServerState(const Dispatcher &d, ServerOptions o)
    : dispatcher(d), opt(std::move(o)), limitsHeader(limitsHeaderValue(opt.limits))
{
    for (int i = 0; i < std::max(1, opt.workers); ++i)
        loops.push_back(std::make_unique<Loop>());
}

void ServerState::enroll(Session *s, std::weak_ptr<Session> weak)
{
    std::lock_guard lock(sessionsMutex);
    sessions.emplace(s, std::move(weak));
}

void ServerState::leave(Session *s)
{
    std::lock_guard lock(sessionsMutex);
    sessions.erase(s);
}

std::size_t ServerState::connectionCount()
{
    // Counted from the accept, not from the start on a serving thread: while every serving
    // thread is busy, the connections waiting for theirs hold a socket and a buffer too.
    std::size_t n = 0;
    for (const auto &l : loops)
        n += l->connections.load();
    return n;
}

bool ServerState::reserveBody(std::size_t bytes)
{
    std::size_t held = bodyBytes.load();
    do {
        if (held != 0 && held + bytes > opt.maxBodiesBytes)
            return false;
    } while (!bodyBytes.compare_exchange_weak(held, held + bytes));
    return true;
}

namespace {

// The loop a new connection goes to: the one with the fewest, so that a loop busy with a
// long call holds up as few others as can be.
Loop &quietestLoop(const std::vector<std::unique_ptr<Loop>> &loops)
{
    Loop *best = loops.front().get();
    for (const auto &l : loops)
        if (l->connections < best->connections)
            best = l.get();
    return *best;
}

// Makes the listening socket drop new handshakes (a SYN without ACK) and keep the rest, so
// that handshakes already answered still complete. A client whose SYN is dropped sends it
// again a second later and, the socket closed by then, is refused: a load balancer moves on
// to another server without having sent the call. Closing with handshakes still arriving
// would instead reset connections that may already carry a request, which nginx cannot
// send again.
void stopHandshakes(tcp::acceptor &acceptor)
{
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 13),           // the TCP header's flags
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x12),        // SYN and ACK
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x02, 0, 1),  // SYN without ACK
        BPF_STMT(BPF_RET | BPF_K, 0),                     // dropped
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),            // kept
    };
    const sock_fprog fprog{std::size(program), program};
    if (setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0)
        std::perror("fiscal-server: the listening socket could not stop taking connections before closing");
}

// A handshake answered just before stopHandshakes completes within a round trip.
constexpr std::chrono::milliseconds kHandshakeSettle{50};

} // namespace

void ServerState::accept()
{
    Loop &loop = quietestLoop(loops);
    acceptor.async_accept(loop.ioc, [this, &loop](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted)
            return;
        if (stopping) {
            if (!ec && draining)
                adoptLate(std::move(socket), loop);
            return;
        }
        if (ec) {
            // Out of descriptors and the like: try again shortly instead of spinning.
            std::fprintf(stderr, "fiscal-server: accept: %s\n", ec.message().c_str());
            acceptRetry.expires_after(std::chrono::milliseconds(100));
            acceptRetry.async_wait([this](beast::error_code e) {
                if (!e && !stopping)
                    accept();
            });
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        auto session = std::make_shared<Session>(*this, loop, std::move(socket));
        const bool busy = connectionCount() > opt.maxConnections;   // this one counted already
        net::post(loop.ioc, [session, busy] {
            if (busy)
                session->rejectBusy();
            else
                session->start();
        });
        accept();
    });
}

// A connection the system accepted before the listening socket closed: after a drain its
// request is answered rather than reset (Session::start sees the stop).
void ServerState::adoptLate(tcp::socket socket, Loop &loop)
{
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(*this, loop, std::move(socket));
    net::post(loop.ioc, [session] { session->start(); });
}

void ServerState::doStop()
{
    if (stopping.exchange(true))
        return;
    beast::error_code ignored;
    if (draining) {
        // No new connection from here on; what waits in the backlog, or completes its
        // handshake still, is taken and answered.
        stopHandshakes(acceptor);
        acceptor.non_blocking(true, ignored);
        auto quietSince = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - quietSince < kHandshakeSettle) {
            Loop &loop = quietestLoop(loops);
            tcp::socket socket(loop.ioc);
            acceptor.accept(socket, ignored);
            if (ignored) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            adoptLate(std::move(socket), loop);
            quietSince = std::chrono::steady_clock::now();
        }
    }
    acceptor.close(ignored);
    acceptRetry.cancel();
    std::vector<std::shared_ptr<Session>> live;
    {
        std::lock_guard lock(sessionsMutex);
        for (auto &entry : sessions)
            if (auto s = entry.second.lock())
                live.push_back(std::move(s));
    }
    for (auto &s : live)
        net::post(s->executor(), [s, grace = draining.load()] { s->onServerStop(grace); });
    // A loop ends once its last connection has closed, but not before the accept handlers
    // already queued here have run: one may carry a connection taken just before the stop,
    // which adoptLate hands to a loop. Handed to a loop that had ended, it would be closed
    // unanswered as the process exits, its request read by nobody.
    net::post(ioc, [this] {
        for (auto &l : loops)
            net::post(l->ioc, [loop = l.get()] { loop->idle.reset(); });
    });
}

} // namespace detail

struct HttpServer::Impl : detail::ServerState {
    using ServerState::ServerState;
};

HttpServer::HttpServer(const Dispatcher &dispatcher, ServerOptions options)
    : d(std::make_unique<Impl>(dispatcher, std::move(options)))
{
    const std::string where = d->opt.address + ":" + std::to_string(d->opt.port);
    try {
        tcp::resolver resolver(d->ioc);
        const auto results = resolver.resolve(d->opt.address, std::to_string(d->opt.port),
                                              tcp::resolver::numeric_service);
        if (results.empty())
            throw std::runtime_error("endereço não encontrado");
        const tcp::endpoint endpoint = results.begin()->endpoint();
        d->acceptor.open(endpoint.protocol());
        d->acceptor.set_option(net::socket_base::reuse_address(true));
        d->acceptor.bind(endpoint);
        d->acceptor.listen(net::socket_base::max_listen_connections);
        d->boundPort = d->acceptor.local_endpoint().port();
    } catch (const std::exception &e) {
        throw std::runtime_error("não foi possível escutar em " + where + ": " + e.what());
    }
}

HttpServer::~HttpServer()
{
    stop();
}

std::uint16_t HttpServer::port() const
{
    return d->boundPort;
}

std::string HttpServer::address() const
{
    return d->opt.address;
}

namespace {

void serve(net::io_context &ioc, bool servesCalls)
{
    if (servesCalls)
        detail::setServingLoop(&ioc);
    for (;;) {
        try {
            ioc.run();
            return;
        } catch (const std::exception &e) {
            // A handler must never throw; if one does, keep serving the others.
            std::fprintf(stderr, "fiscal-server: I/O handler failed: %s\n", e.what());
        }
    }
}

} // namespace

void HttpServer::run()
{
    {
        std::lock_guard lock(d->mutex);
        if (d->running || d->finished)
            throw std::logic_error("HttpServer::run called twice");
        d->running = true;
    }
    d->cv.notify_all();
    for (auto &l : d->loops)
        l->thread = std::thread([loop = l.get()] { serve(loop->ioc, true); });
    // The calling thread listens.
    d->accept();
    serve(d->ioc, false);
    for (auto &l : d->loops)
        l->thread.join();
    {
        std::lock_guard lock(d->mutex);
        d->running = false;
        d->finished = true;
    }
    d->cv.notify_all();
}

void HttpServer::start()
{
    if (d->ownThread.joinable())
        throw std::logic_error("HttpServer::start called twice");
    d->ownThread = std::thread([this] { run(); });
    // Wait until run() has claimed the server, so that stop() right after start() waits too.
    std::unique_lock lock(d->mutex);
    d->cv.wait(lock, [this] { return d->running || d->finished; });
}

void HttpServer::requestStop()
{
    net::post(d->ioc, [impl = d.get()] { impl->doStop(); });
}

void HttpServer::beginDrain()
{
    d->draining = true;
}

std::size_t HttpServer::openConnections() const
{
    return d->connectionCount();
}

void HttpServer::stop()
{
    requestStop();
    if (d->ownThread.joinable()) {
        if (d->ownThread.get_id() == std::this_thread::get_id())
            return;
        d->ownThread.join();
        return;
    }
    std::unique_lock lock(d->mutex);
    d->cv.wait(lock, [this] { return !d->running; });
}

} // namespace fiscal::rpc
