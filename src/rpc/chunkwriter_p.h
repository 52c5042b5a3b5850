#pragma once
// Writes a streamed reply from the thread that runs the call: the header, then each piece as
// an HTTP/1.1 chunk, then the last chunk. The writes block the calling thread, which is the
// thread of the connection anyway, and each must finish within the write timeout and the
// whole reply by its call's deadline, so a client that reads slowly cannot hold the thread
// (and the call's snapshot) for longer than that, however steadily it takes each piece.
//
//   ChunkWriter w(socket, timeout, deadline);
//   w.start(head);            // the response header (chunked)
//   w.chunk(piece);           // as the method produces them
//   w.finish();               // the last chunk
//
// Every function returns false once the connection failed or timed out; after that nothing
// more is written.

#include <QByteArray>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include <chrono>

namespace fiscal::rpc::detail {

class ChunkWriter {
public:
    ChunkWriter(boost::asio::ip::tcp::socket &socket, std::chrono::milliseconds timeout,
                std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
    ~ChunkWriter();
    ChunkWriter(const ChunkWriter &) = delete;
    ChunkWriter &operator=(const ChunkWriter &) = delete;

    bool start(boost::beast::http::response<boost::beast::http::empty_body> &head);
    bool chunk(const QByteArray &piece);
    bool finish();

    // A batch's reply: each call's pieces are bounded by that call's deadline.
    void setDeadline(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }

    bool started() const { return m_started; }
    bool failed() const { return m_failed; }

private:
    template <class Buffers>
    bool writeAll(const Buffers &buffers);

    boost::asio::ip::tcp::socket &m_socket;
    std::chrono::milliseconds m_timeout;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_wasNonBlocking = false;
    bool m_started = false;
    bool m_failed = false;
};

} // namespace fiscal::rpc::detail
