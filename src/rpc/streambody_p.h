#pragma once
// A Beast body for a reply whose result is decoded while it arrives. A success reply of
// this server starts with a fixed prefix ({"jsonrpc": "2.0", "result": ...) and ends with
// the id the client sent ("id": n); between the two lies the result, which goes through a
// BytePipe as it arrives. The last bytes are held back until the body ends, so the decoder
// never sees the id, and the body must end with exactly that id. Anything else (an error
// reply, another status or content type) is kept whole for Reply::fromBody.

#include "rpc/bytepipe_p.h"
#include "rpc/envelope.h"

#include <QByteArray>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <cstdint>

namespace fiscal::rpc::detail {

class ResultRouter {
public:
    ResultRouter(BytePipe &pipe, QByteArray prefix, QByteArray trailer,
                 std::chrono::steady_clock::time_point deadline)
        : m_pipe(pipe), m_prefix(std::move(prefix)), m_trailer(std::move(trailer)),
          m_deadline(deadline) {}

    void start(bool streamable)
    {
        m_mode = streamable ? Mode::Undecided : Mode::Buffered;
        m_held.clear();
        if (!streamable)
            m_pipe.decide(false);
    }

    void feed(const char *data, qsizetype n, boost::beast::error_code &ec)
    {
        switch (m_mode) {
        case Mode::Buffered:
            m_held.append(data, n);
            return;
        case Mode::Undecided: {
            const qsizetype take = std::min(n, m_prefix.size() - m_held.size());
            m_held.append(data, take);
            data += take;
            n -= take;
            if (m_held.size() < m_prefix.size())
                return;
            if (m_held != m_prefix) {
                m_mode = Mode::Buffered;
                m_pipe.decide(false);
                m_held.append(data, n);
                return;
            }
            m_mode = Mode::Streaming;
            m_pipe.decide(true);
            m_held.clear();
            [[fallthrough]];
        }
        case Mode::Streaming:
            stream(data, n, ec);
            return;
        }
    }

    // The body is complete. For a streamed result: checks the held-back end.
    void finish(boost::beast::error_code &ec)
    {
        if (m_mode == Mode::Undecided) {
            m_mode = Mode::Buffered;
            m_pipe.decide(false);
        }
        if (m_mode == Mode::Streaming && m_held != m_trailer)
            ec = boost::beast::http::error::bad_chunk;   // reported as an invalid reply
    }

    bool streamed() const { return m_mode == Mode::Streaming; }
    // The whole body when it was not streamed.
    QByteArray &buffered() { return m_held; }

private:
    enum class Mode { Undecided, Streaming, Buffered };

    void stream(const char *data, qsizetype n, boost::beast::error_code &ec)
    {
        const qsizetype keep = m_trailer.size();
        const qsizetype total = m_held.size() + n;
        if (total <= keep) {
            m_held.append(data, n);
            return;
        }
        const qsizetype forward = total - keep;
        const qsizetype fromHeld = std::min(forward, m_held.size());
        if (!send(m_held.constData(), fromHeld, ec) || !send(data, forward - fromHeld, ec))
            return;
        m_held.remove(0, fromHeld);
        m_held.append(data + (forward - fromHeld), n - (forward - fromHeld));
    }

    bool send(const char *data, qsizetype n, boost::beast::error_code &ec)
    {
        switch (m_pipe.write(data, n, m_deadline)) {
        case BytePipe::WriteResult::Ok:
            return true;
        case BytePipe::WriteResult::Cancelled:
            ec = boost::asio::error::operation_aborted;
            return false;
        case BytePipe::WriteResult::TimedOut:
            ec = boost::asio::error::timed_out;
            return false;
        }
        return false;
    }

    BytePipe &m_pipe;
    QByteArray m_prefix;
    QByteArray m_trailer;
    std::chrono::steady_clock::time_point m_deadline;
    Mode m_mode = Mode::Buffered;
    QByteArray m_held;
};

struct StreamBody {
    using value_type = ResultRouter *;

    class reader {
    public:
        // Built with the parser, before the header or the router is there: both are looked
        // at only when the body starts.
        template<bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields> &h, value_type &router)
            : m_header(h), m_router(router) {}

        void init(const boost::optional<std::uint64_t> &, boost::beast::error_code &ec)
        {
            ec = {};
            m_router->start(m_header.result() == boost::beast::http::status::ok
                            && isCbor(m_header[boost::beast::http::field::content_type]));
        }

        template<class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence &buffers, boost::beast::error_code &ec)
        {
            ec = {};
            std::size_t n = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 it != boost::asio::buffer_sequence_end(buffers); ++it) {
                const boost::asio::const_buffer b = *it;
                m_router->feed(static_cast<const char *>(b.data()), qsizetype(b.size()), ec);
                if (ec)
                    return n;
                n += b.size();
            }
            return n;
        }

        void finish(boost::beast::error_code &ec)
        {
            ec = {};
            m_router->finish(ec);
        }

    private:
        static bool isCbor(boost::beast::string_view contentType);
        boost::beast::http::response_header<> &m_header;
        value_type &m_router;
    };
};

inline bool StreamBody::reader::isCbor(boost::beast::string_view contentType)
{
    Encoding enc;
    return encodingFromContentType(QByteArrayView(contentType.data(), qsizetype(contentType.size())), enc)
           && enc == Encoding::Cbor;
}

} // namespace fiscal::rpc::detail
