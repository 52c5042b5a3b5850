#include "rpc/chunkwriter_p.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/write.hpp>   // operator<< of a header

#include <cerrno>
#include <poll.h>

#include <algorithm>
#include <sstream>
#include <string>

namespace fiscal::rpc::detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;

ChunkWriter::ChunkWriter(net::ip::tcp::socket &socket, std::chrono::milliseconds timeout, Clock::time_point deadline)
    : m_socket(socket), m_timeout(timeout), m_deadline(deadline)
{
    // Non-blocking, so that a write that finds no room waits in poll() with a deadline
    // instead of blocking for as long as the client likes.
    m_wasNonBlocking = m_socket.non_blocking();
    beast::error_code ec;
    m_socket.non_blocking(true, ec);
    m_failed = bool(ec);
}

ChunkWriter::~ChunkWriter()
{
    beast::error_code ignored;
    m_socket.non_blocking(m_wasNonBlocking, ignored);
}

template <class Buffers>
bool ChunkWriter::writeAll(const Buffers &buffers)
{
    if (m_failed)
        return false;
    const auto deadline = std::min(Clock::now() + m_timeout, m_deadline);
    beast::buffers_suffix<Buffers> rest(buffers);
    while (beast::buffer_bytes(rest) > 0) {
        beast::error_code ec;
        const std::size_t n = m_socket.write_some(rest, ec);
        rest.consume(n);
        if (!ec)
            continue;
        if (ec != net::error::would_block && ec != net::error::try_again) {
            m_failed = true;
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{m_socket.native_handle(), POLLOUT, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, int(left.count()) + 1) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            m_failed = true;   // timed out (or poll failed): the client stopped reading
            return false;
        }
    }
    return true;
}

bool ChunkWriter::start(http::response<http::empty_body> &head)
{
    std::ostringstream text;
    text << head.base();
    const std::string bytes = text.str();
    m_started = true;
    return writeAll(net::buffer(bytes));
}

bool ChunkWriter::chunk(const QByteArray &piece)
{
    if (piece.isEmpty())
        return !m_failed;
    return writeAll(http::make_chunk(net::const_buffer(piece.constData(), std::size_t(piece.size()))));
}

bool ChunkWriter::finish()
{
    return writeAll(http::make_chunk_last());
}

} // namespace fiscal::rpc::detail
