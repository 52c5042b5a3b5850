#include "rpc/plainstream_p.h"

#include <boost/asio/error.hpp>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace fiscal::rpc::detail {

std::size_t PlainStream::send(iovec *iov, int n, boost::system::error_code &ec)
{
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = std::size_t(n);
    for (;;) {
        const ssize_t sent = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            ec = {};
            return std::size_t(sent);
        }
        if (!again(POLLOUT, ec))
            return 0;
    }
}

std::size_t PlainStream::receive(iovec *iov, int n, boost::system::error_code &ec)
{
    if (m_waitFirst) {
        m_waitFirst = false;
        if (!await(POLLIN, ec))
            return 0;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = std::size_t(n);
    for (;;) {
        const ssize_t got = ::recvmsg(m_fd, &msg, MSG_DONTWAIT);
        if (got > 0) {
            ec = {};
            return std::size_t(got);
        }
        if (got == 0) {
            ec = boost::asio::error::eof;
            return 0;
        }
        if (!again(POLLIN, ec))
            return 0;
    }
}

bool PlainStream::again(short events, boost::system::error_code &ec)
{
    if (errno == EINTR)
        return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
        ec.assign(errno, boost::system::system_category());
        return false;
    }
    return await(events, ec);
}

bool PlainStream::await(short events, boost::system::error_code &ec)
{
    if (m_neverWait) {
        ec = boost::asio::error::would_block;
        return false;
    }
    for (;;) {
        const Clock::time_point now = Clock::now();
        const bool pumping = m_pump && m_pumpEvery > Clock::duration::zero();
        const Clock::time_point until = pumping ? std::min(m_deadline, now + m_pumpEvery) : m_deadline;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(until - now, Clock::duration::zero()));
        const timespec wait{time_t(left.count() / 1000000000), long(left.count() % 1000000000)};
        pollfd p{m_fd, events, 0};
        const int ready = ::ppoll(&p, 1, &wait, nullptr);
        // An error or a hang-up is ready too: the read or write that follows reports it.
        if (ready > 0)
            return true;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            ec.assign(errno, boost::system::system_category());
            return false;
        }
        if (until >= m_deadline)
            throw TimedOut{};
        m_pump();
    }
}

} // namespace fiscal::rpc::detail
