#include "rpc/deferred.h"

#include "rpc/deferred_p.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>

namespace fiscal::rpc {

namespace net = boost::asio;

namespace {
thread_local net::io_context *tl_loop = nullptr;
}

void detail::setServingLoop(net::io_context *loop)
{
    tl_loop = loop;
}

struct SocketWatch::Impl {
    explicit Impl(int fd) : descriptor(*tl_loop, fd) {}
    net::posix::stream_descriptor descriptor;
};

namespace {

Post postTo(net::io_context *loop)
{
    return [loop](std::function<void()> work) {
        if (loop->stopped())
            return false;
        net::post(*loop, std::move(work));
        return true;
    };
}

} // namespace

Post servingThreadPost()
{
    return tl_loop ? postTo(tl_loop) : Post{};
}

struct WatchThread::Impl {
    net::io_context ioc;
    net::executor_work_guard<net::io_context::executor_type> idle{ioc.get_executor()};
    Post post;
    std::thread thread;
};

WatchThread::WatchThread() : d(std::make_unique<Impl>())
{
    net::io_context *loop = &d->ioc;
    d->post = postTo(loop);
    d->thread = std::thread([loop] {
        detail::setServingLoop(loop);
        loop->run();
    });
}

WatchThread::~WatchThread()
{
    d->idle.reset();
    d->ioc.stop();
    d->thread.join();
}

const Post &WatchThread::post() const
{
    return d->post;
}

int callerConnection()
{
    return detail::callerSocket();
}

struct LoopTimer::Impl {
    explicit Impl(net::io_context &loop) : timer(loop) {}
    net::steady_timer timer;
    // Shared with the wait under way, which may complete after the timer has gone.
    struct State {
        std::uint64_t generation = 0;   // of the wait under way; a cancelled one finds it moved on
        bool waiting = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

LoopTimer::LoopTimer()
{
    if (!tl_loop)
        throw std::logic_error("LoopTimer outside a serving thread");
    d = std::make_unique<Impl>(*tl_loop);
}

LoopTimer::~LoopTimer()
{
    cancel();
}

void LoopTimer::after(std::chrono::microseconds delay, std::function<void()> done)
{
    const std::uint64_t generation = ++d->state->generation;
    d->state->waiting = true;
    d->timer.expires_after(delay);
    d->timer.async_wait([state = d->state, generation, done = std::move(done)](const boost::system::error_code &ec) {
        if (ec || state->generation != generation)
            return;
        state->waiting = false;
        done();
    });
}

void LoopTimer::cancel()
{
    ++d->state->generation;
    d->state->waiting = false;
    d->timer.cancel();
}

bool LoopTimer::waiting() const
{
    return d->state->waiting;
}

bool SocketWatch::available()
{
    return tl_loop != nullptr;
}

SocketWatch::SocketWatch(int fd)
{
    if (!tl_loop)
        throw std::logic_error("SocketWatch outside a serving thread");
    d = std::make_unique<Impl>(fd);
}

SocketWatch::~SocketWatch()
{
    boost::system::error_code ignored;
    d->descriptor.cancel(ignored);
    d->descriptor.release();   // the socket is the owner's to close
}

void SocketWatch::whenReadable(std::function<void(bool ok)> ready)
{
    d->descriptor.async_wait(net::posix::stream_descriptor::wait_read,
                             [ready = std::move(ready)](const boost::system::error_code &ec) { ready(!ec); });
}

} // namespace fiscal::rpc
