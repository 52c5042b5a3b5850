#pragma once
// A Beast body held in a QByteArray, so request and reply bodies go between the socket and
// the CBOR/JSON code without another copy.

#include <QByteArray>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <cstdint>
#include <limits>
#include <utility>

namespace fiscal::rpc::detail {

struct QByteArrayBody {
    using value_type = QByteArray;

    static std::uint64_t size(const value_type &body) { return std::uint64_t(body.size()); }

    class reader {
    public:
        template<bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields> &, value_type &body) : m_body(body) {}

        void init(const boost::optional<std::uint64_t> &length, boost::beast::error_code &ec)
        {
            ec = {};
            if (length) {
                if (*length > std::uint64_t(std::numeric_limits<qsizetype>::max() / 2)) {
                    ec = boost::beast::http::error::buffer_overflow;
                    return;
                }
                // The parser's body limit has already been checked against the length.
                m_body.reserve(qsizetype(*length));
            }
        }

        template<class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence &buffers, boost::beast::error_code &ec)
        {
            ec = {};
            std::size_t n = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers);
                 it != boost::asio::buffer_sequence_end(buffers); ++it) {
                const boost::asio::const_buffer b = *it;
                m_body.append(static_cast<const char *>(b.data()), qsizetype(b.size()));
                n += b.size();
            }
            return n;
        }

        void finish(boost::beast::error_code &ec) { ec = {}; }

    private:
        value_type &m_body;
    };

    class writer {
    public:
        using const_buffers_type = boost::asio::const_buffer;

        template<bool isRequest, class Fields>
        writer(const boost::beast::http::header<isRequest, Fields> &, const value_type &body)
            : m_body(body) {}

        void init(boost::beast::error_code &ec) { ec = {}; }

        boost::optional<std::pair<const_buffers_type, bool>> get(boost::beast::error_code &ec)
        {
            ec = {};
            return {{const_buffers_type(m_body.constData(), std::size_t(m_body.size())), false}};
        }

    private:
        const value_type &m_body;
    };
};

} // namespace fiscal::rpc::detail
