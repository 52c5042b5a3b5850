#pragma once
// A Beast body for a reply whose result is decoded while it arrives. A success reply of
// this server starts with a fixed prefix ({"jsonrpc": "2.0", "result": ...) and ends with
// the id the client sent ("id": n); between the two lies the result. A small result (a code
// field's lookup) is kept and decoded on the caller's thread once it is whole: handing it
// to another thread would cost more than decoding it. Past kInlineLimit the result goes
// through a BytePipe to a decoder started then (onLarge), as it arrives. The last bytes are
// held back until the body ends, so the decoder never sees the id, and the body must end
// with exactly that id. Anything else (an error reply, another status or content type) is
// kept whole for Reply::fromBody.

#include "rpc/bytepipe_p.h"
#include "rpc/envelope.h"

#include <QByteArray>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>

namespace fiscal::rpc::detail {

class ResultRouter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr qsizetype kInlineLimit = 256 * 1024;

    struct Hooks {
        std::function<void()> onLarge;   // the result goes through the pipe: start its reader
        std::function<void()> pump;      // called while a full pipe holds the transfer up
        Clock::duration pumpEvery{};
    };

    ResultRouter(BytePipe &pipe, QByteArray prefix, QByteArray trailer, Clock::time_point deadline, Hooks hooks)
        : m_pipe(pipe), m_prefix(std::move(prefix)), m_trailer(std::move(trailer)), m_deadline(deadline),
          m_hooks(std::move(hooks)) {}

    void start(bool streamable)
    {
        m_mode = streamable ? Mode::Undecided : Mode::Buffered;
        m_held.clear();
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
                m_held.append(data, n);
                return;
            }
            m_mode = Mode::Kept;
            m_held.clear();
            [[fallthrough]];
        }
        case Mode::Kept:
            m_held.append(data, n);
            if (m_held.size() <= kInlineLimit + m_trailer.size())
                return;
            m_mode = Mode::Piped;
            if (m_hooks.onLarge)
                m_hooks.onLarge();
            n = 0;
            [[fallthrough]];
        case Mode::Piped:
            stream(data, n, ec);
            return;
        }
    }

    // The body is complete: the result must end with the id held back.
    void finish(boost::beast::error_code &ec)
    {
        if (m_mode == Mode::Undecided)
            m_mode = Mode::Buffered;
        if ((m_mode == Mode::Piped && m_held != m_trailer) || (m_mode == Mode::Kept && !m_held.endsWith(m_trailer)))
            ec = boost::beast::http::error::bad_chunk;   // reported as an invalid reply
        if (m_mode == Mode::Kept && !ec)
            m_held.chop(m_trailer.size());
    }

    // The result went to the pipe's reader.
    bool piped() const { return m_mode == Mode::Piped; }
    // The result, kept whole (a success's result bytes).
    bool kept() const { return m_mode == Mode::Kept; }
    // The result when kept, or the whole body when it was not a success of this server.
    QByteArray &held() { return m_held; }

private:
    enum class Mode { Undecided, Kept, Piped, Buffered };

    // Forwards all but the last bytes, which may be the trailer.
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
        for (;;) {
            const bool pumping = m_hooks.pump && m_hooks.pumpEvery > Clock::duration::zero();
            const Clock::time_point until = pumping ? std::min(m_deadline, Clock::now() + m_hooks.pumpEvery) : m_deadline;
            switch (m_pipe.write(data, n, until)) {
            case BytePipe::WriteResult::Ok:
                return true;
            case BytePipe::WriteResult::Cancelled:
                ec = boost::asio::error::operation_aborted;
                return false;
            case BytePipe::WriteResult::TimedOut:
                if (until >= m_deadline) {
                    ec = boost::asio::error::timed_out;
                    return false;
                }
                m_hooks.pump();
                break;
            }
        }
    }

    BytePipe &m_pipe;
    QByteArray m_prefix;
    QByteArray m_trailer;
    Clock::time_point m_deadline;
    Hooks m_hooks;
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
