#pragma once
// A plain socket as a stream for Beast's synchronous read and write, without an I/O loop.
// The client's calls wait in poll(2): a read after a request waits first (the answer is
// never there yet), so a call's system calls are one send, one poll and one receive. The
// server writes an answer through one that never waits: what the socket cannot take at once
// ends with would_block, for the loop to send later.

#include <boost/asio/buffer.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <functional>

#include <sys/uio.h>

namespace fiscal::rpc::detail {

// The call's deadline passed while it waited.
struct TimedOut {};

class PlainStream {
public:
    using Clock = std::chrono::steady_clock;

    // pump, when set, is called every pumpEvery while the stream waits; the deadline throws
    // TimedOut from inside the read or write that waits past it.
    PlainStream(int fd, Clock::time_point deadline, const std::function<void()> &pump, Clock::duration pumpEvery)
        : m_fd(fd), m_deadline(deadline), m_pump(pump), m_pumpEvery(pumpEvery)
    {
    }

    // Reads and writes end with would_block instead of waiting.
    explicit PlainStream(int fd) : m_fd(fd), m_deadline(), m_pump(noPump()), m_pumpEvery(), m_neverWait(true) {}

    // The next read waits for data before trying: a request has just gone out.
    void expectAnswer() { m_waitFirst = true; }

    template <class Buffers>
    std::size_t write_some(const Buffers &buffers, boost::system::error_code &ec)
    {
        iovec iov[kMaxPieces];
        const int n = gather(buffers, iov);
        ec = {};
        return n ? send(iov, n, ec) : 0;
    }

    template <class Buffers>
    std::size_t read_some(const Buffers &buffers, boost::system::error_code &ec)
    {
        iovec iov[kMaxPieces];
        const int n = gather(buffers, iov);
        ec = {};
        return n ? receive(iov, n, ec) : 0;
    }

    template <class Buffers>
    std::size_t write_some(const Buffers &buffers)
    {
        return orThrow([&](boost::system::error_code &ec) { return write_some(buffers, ec); });
    }

    template <class Buffers>
    std::size_t read_some(const Buffers &buffers)
    {
        return orThrow([&](boost::system::error_code &ec) { return read_some(buffers, ec); });
    }

private:
    static constexpr int kMaxPieces = 16;

    template <class F>
    static std::size_t orThrow(F f)
    {
        boost::system::error_code ec;
        const std::size_t n = f(ec);
        if (ec)
            throw boost::system::system_error(ec);
        return n;
    }

    static const std::function<void()> &noPump()
    {
        static const std::function<void()> none;
        return none;
    }

    template <class Buffers>
    static int gather(const Buffers &buffers, iovec *iov)
    {
        int n = 0;
        for (auto it = boost::asio::buffer_sequence_begin(buffers);
             it != boost::asio::buffer_sequence_end(buffers) && n < kMaxPieces; ++it) {
            const boost::asio::const_buffer b(*it);
            if (b.size() == 0)
                continue;
            iov[n].iov_base = const_cast<void *>(b.data());
            iov[n].iov_len = b.size();
            ++n;
        }
        return n;
    }

    std::size_t send(iovec *iov, int n, boost::system::error_code &ec);
    std::size_t receive(iovec *iov, int n, boost::system::error_code &ec);
    // After a failed send or receive (errno): true to try again, false with ec set.
    bool again(short events, boost::system::error_code &ec);
    // Until the socket is ready for `events` (or in error); throws TimedOut at the deadline.
    // False, with ec set, when it cannot wait.
    bool await(short events, boost::system::error_code &ec);

    int m_fd;
    Clock::time_point m_deadline;
    const std::function<void()> &m_pump;
    Clock::duration m_pumpEvery;
    bool m_waitFirst = false;
    bool m_neverWait = false;
};

} // namespace fiscal::rpc::detail
