#pragma once
// A Beast request body made of the envelope's head, a streamed param and the envelope's
// tail: its length is known before a byte is written, and the param is asked for a piece at
// a time as the socket takes them.

#include "rpc/streamedparam.h"

#include <QByteArray>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <utility>

namespace fiscal::rpc::detail {

struct SplicedBody {
    struct value_type {
        QByteArray head;
        StreamedParam *param = nullptr;
        QByteArray tail;
    };

    static std::uint64_t size(const value_type &body)
    {
        return std::uint64_t(body.head.size()) + body.param->size() + std::uint64_t(body.tail.size());
    }

    class writer {
    public:
        using const_buffers_type = boost::asio::const_buffer;
        // The socket gets pieces of this size; one is held at a time.
        static constexpr qsizetype kPiece = 64 * 1024;

        template<bool isRequest, class Fields>
        writer(const boost::beast::http::header<isRequest, Fields> &, const value_type &body) : m_body(body) {}

        void init(boost::beast::error_code &ec)
        {
            ec = {};
            m_body.param->rewind();
            m_stage = Stage::Head;
            m_sent = 0;
        }

        boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code &ec)
        {
            ec = {};
            switch (m_stage) {
            case Stage::Head:
                m_stage = Stage::Param;
                return {{buffer(m_body.head), true}};
            case Stage::Param:
                if (m_body.param->next(m_piece, kPiece)) {
                    m_sent += std::uint64_t(m_piece.size());
                    // More than announced would run into the next request on the connection.
                    if (m_sent > m_body.param->size() || m_piece.isEmpty())
                        return fail(ec);
                    return {{buffer(m_piece), true}};
                }
                if (m_sent != m_body.param->size())
                    return fail(ec);
                m_piece = {};
                m_stage = Stage::Done;
                return {{buffer(m_body.tail), false}};
            case Stage::Done:
                break;
            }
            return boost::none;
        }

    private:
        enum class Stage { Head, Param, Done };

        static const_buffers_type buffer(const QByteArray &b) { return {b.constData(), std::size_t(b.size())}; }
        static boost::none_t fail(boost::beast::error_code &ec)
        {
            ec = boost::system::errc::make_error_code(boost::system::errc::message_size);
            return boost::none;
        }

        const value_type &m_body;
        Stage m_stage = Stage::Head;
        std::uint64_t m_sent = 0;
        QByteArray m_piece;
    };
};

} // namespace fiscal::rpc::detail
