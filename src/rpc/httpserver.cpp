#include "rpc/httpserver.h"

#include "dataset/valuewriter.h"
#include "rpc/callrunner_p.h"
#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "rpc/qbytearraybody_p.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unordered_map>

namespace fiscal::rpc {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

class Session;

// Same time for every token length check would need padding; comparing every byte of the
// expected token without an early exit is enough to not leak a prefix.
bool sameToken(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

bool bearerMatches(beast::string_view header, const std::string &token)
{
    constexpr std::string_view scheme = "bearer ";
    if (header.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = header[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != scheme[i])
            return false;
    }
    std::string_view given(header.data() + scheme.size(), header.size() - scheme.size());
    while (!given.empty() && (given.front() == ' ' || given.front() == '\t'))
        given.remove_prefix(1);
    while (!given.empty() && (given.back() == ' ' || given.back() == '\t'))
        given.remove_suffix(1);
    return sameToken(given, token);
}

// "/rpc/<object>", the object made of letters, digits, '.', '_' and '-'.
bool objectFromTarget(beast::string_view target, std::string &object)
{
    constexpr std::string_view prefix = "/rpc/";
    if (target.size() <= prefix.size() || target.substr(0, prefix.size()) != prefix)
        return false;
    const beast::string_view name = target.substr(prefix.size());
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                        || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    object.assign(name.data(), name.size());
    return true;
}

struct HttpFailure {
    http::status status;
    int code;
    const char *message;
};

const HttpFailure kBadRequest{http::status::bad_request, code::ParseError,
                              "Requisição HTTP malformada."};
const HttpFailure kUnauthorized{http::status::unauthorized, code::Unauthorized,
                                "Acesso não autorizado: token de acesso ausente ou inválido."};
const HttpFailure kNotFound{http::status::not_found, code::MethodNotFound,
                            "Caminho desconhecido: use POST /rpc/<objeto>."};
const HttpFailure kNotAllowed{http::status::method_not_allowed, code::InvalidRequest,
                              "Método HTTP não permitido: use POST."};
const HttpFailure kTimeout{http::status::request_timeout, code::InvalidRequest,
                           "Tempo esgotado aguardando a requisição."};
const HttpFailure kNoLength{http::status::length_required, code::InvalidRequest,
                            "Requisição sem tamanho declarado (Content-Length)."};
const HttpFailure kTooLarge{http::status::payload_too_large, code::InvalidRequest,
                            "Requisição grande demais."};
const HttpFailure kMediaType{http::status::unsupported_media_type, code::InvalidRequest,
                             "Tipo de conteúdo não aceito: use application/cbor ou application/json."};
const HttpFailure kHeaderTooLarge{http::status::request_header_fields_too_large,
                                  code::InvalidRequest, "Cabeçalhos grandes demais."};
const HttpFailure kBusy{http::status::service_unavailable, code::Unavailable,
                        "Servidor ocupado ou encerrando; tente novamente."};

using detail::CallOutcome;
using detail::ConnectionGone;
using detail::SendPiece;

// Once a reply streams, the method waits while more than kMaxPending bytes are handed over
// and unsent, which bounds the server's memory per call.
constexpr qsizetype kMaxPending = 1024 * 1024;

// Bytes a worker has handed to the I/O thread and that are not written yet.
class Outflow {
public:
    // Worker: waits while too much is pending; throws ConnectionGone once the connection failed.
    void reserve(qsizetype n)
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_broken || m_pending <= kMaxPending; });
        if (m_broken)
            throw ConnectionGone{};
        m_pending += n;
    }
    // I/O thread.
    void written(qsizetype n)
    {
        {
            std::lock_guard lock(m_mutex);
            m_pending -= n;
        }
        m_cv.notify_all();
    }
    void broken()
    {
        {
            std::lock_guard lock(m_mutex);
            m_broken = true;
        }
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    qsizetype m_pending = 0;
    bool m_broken = false;
};



struct ServerState {
    ServerState(const Dispatcher &disp, ServerOptions o)
        : dispatcher(disp), opt(std::move(o)), pool(std::size_t(std::max(1, opt.workers)))
    {}

    void accept();
    void doStop();

    // Touched only on the I/O thread. Declared first so that it outlives the handlers
    // (and their sessions) that the io_context and the pool destroy.
    std::unordered_map<Session *, std::weak_ptr<Session>> sessions;
    bool stopping = false;

    const Dispatcher &dispatcher;
    ServerOptions opt;
    net::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    net::steady_timer acceptRetry{ioc};
    net::thread_pool pool;

    std::thread ownThread;
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;
    bool finished = false;
    std::uint16_t boundPort = 0;
};

} // namespace

struct HttpServer::Impl : ServerState {
    using ServerState::ServerState;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ServerState &srv, tcp::socket socket)
        : m_srv(srv), m_stream(std::move(socket)), m_deadline(srv.ioc) {}
    ~Session() { m_srv.sessions.erase(this); }

    void start()
    {
        m_srv.sessions.emplace(this, weak_from_this());
        readHeader();
    }

    void rejectBusy()
    {
        m_srv.sessions.emplace(this, weak_from_this());
        fail(kBusy);
    }

    // The server is stopping: drop what is idle, let a call under way answer first.
    void onServerStop()
    {
        switch (m_state) {
        case State::Reading:
        case State::Closing:
            closeNow();
            break;
        case State::Calling:
        case State::Writing:
            m_closeAfterWrite = true;
            break;
        }
    }

private:
    enum class State { Reading, Calling, Writing, Closing };

    void readHeader()
    {
        m_state = State::Reading;
        m_enc = Encoding::Json;
        m_head = false;
        m_parser.emplace();
        m_parser->header_limit(m_srv.opt.maxHeaderBytes);
        m_parser->body_limit(m_srv.opt.maxBodyBytes);
        m_stream.expires_never();
        // Our own deadline rather than the stream's: the stream closes the socket when its
        // timer fires, and a client that sent half a request should still get a 408.
        m_timedOut = false;
        m_deadline.expires_after(m_srv.opt.readTimeout);
        m_deadline.async_wait([weak = weak_from_this(), gen = ++m_generation](beast::error_code ec) {
            if (ec)
                return;
            // An expiry already queued when the timer was cancelled must not hit a later request.
            if (auto self = weak.lock();
                self && self->m_state == State::Reading && self->m_generation == gen) {
                self->m_timedOut = true;
                self->m_stream.cancel();
            }
        });
        http::async_read_header(m_stream, m_buffer, *m_parser,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->onHeader(ec);
                                });
    }

    bool handleReadError(beast::error_code ec)
    {
        if (!ec)
            return false;
        m_deadline.cancel();
        if (m_timedOut) {
            // A client that never sent a byte just loses the connection.
            if (m_parser && m_parser->got_some())
                fail(kTimeout);
            else
                closeNow();
        } else if (ec == http::error::header_limit) {
            fail(kHeaderTooLarge);
        } else if (ec == http::error::body_limit) {
            fail(kTooLarge);
        } else if (ec == net::error::operation_aborted || m_state == State::Closing) {
            closeNow();
        } else if (ec == http::error::end_of_stream || ec == http::error::partial_message
                   || ec == net::error::eof || ec == net::error::connection_reset) {
            closeNow();
        } else {
            fail(kBadRequest);
        }
        return true;
    }

    void onHeader(beast::error_code ec)
    {
        if (handleReadError(ec))
            return;
        auto &req = m_parser->get();
        m_keepAlive = req.keep_alive();
        m_head = req.method() == http::verb::head;
        const bool knownEncoding =
            encodingFromContentType(std::string_view(req[http::field::content_type]), m_enc);
        if (!knownEncoding)
            m_enc = Encoding::Json;   // error bodies stay readable for people with curl

        if (!m_srv.opt.token.empty()
            && !bearerMatches(req[http::field::authorization], m_srv.opt.token))
            return fail(kUnauthorized);
        if (!objectFromTarget(req.target(), m_object))
            return fail(kNotFound);
        if (req.method() != http::verb::post)
            return fail(kNotAllowed);
        if (!knownEncoding)
            return fail(kMediaType);
        if (!req.chunked() && !req.has_content_length())
            return fail(kNoLength);
        if (const auto length = m_parser->content_length(); length && *length > m_srv.opt.maxBodyBytes)
            return fail(kTooLarge);

        if (beast::iequals(req[http::field::expect], "100-continue")) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(m_stream, net::buffer(kContinue, sizeof kContinue - 1),
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec)
                                     return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody()
    {
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->onBody(ec);
                         });
    }

    void onBody(beast::error_code ec)
    {
        if (handleReadError(ec))
            return;
        m_deadline.cancel();
        m_state = State::Calling;
        // Chunked transfer needs HTTP/1.1.
        const bool canStream = m_parser->get().version() >= 11;
        QByteArray body = std::move(m_parser->get().body());
        m_parser.reset();
        m_outflow = std::make_shared<Outflow>();
        auto work = net::make_work_guard(m_srv.ioc);
        net::post(m_srv.pool, [self = shared_from_this(), work = std::move(work),
                               body = std::move(body), canStream]() mutable {
            ServerState &srv = self->m_srv;
            SendPiece send;
            if (canStream) {
                send = [&srv, flow = self->m_outflow, weak = self->weak_from_this()](QByteArray piece) {
                    flow->reserve(piece.size());
                    net::post(srv.ioc, [weak, piece = std::move(piece)]() mutable {
                        if (auto s = weak.lock())
                            s->queuePiece(std::move(piece), false);
                    });
                };
            }
            CallOutcome outcome = detail::runCalls(srv.dispatcher, self->m_object, body, self->m_enc, send,
                                                   srv.opt.maxBatch);
            body.clear();
            // The session must not die on a worker thread: hand our reference over.
            net::post(srv.ioc, [self = std::move(self), outcome = std::move(outcome)]() mutable {
                switch (outcome.kind) {
                case CallOutcome::Whole:
                    return self->write(http::status::ok, std::move(outcome.body));
                case CallOutcome::StreamEnd:
                    return self->queuePiece(std::move(outcome.body), true);
                case CallOutcome::StreamAbort:
                    return self->closeNow();
                case CallOutcome::NoReply:
                    return self->write(http::status::no_content, {});
                }
            });
            work.reset();
        });
    }

    // A streamed reply: the header first, then each piece as a chunk, then the last chunk.
    void queuePiece(QByteArray piece, bool last)
    {
        if (m_state == State::Closing)
            return;
        if (!m_streaming) {
            m_streaming = true;
            m_state = State::Writing;
            m_streamDone = false;
            m_headSent = false;
            m_streamKeepAlive = m_keepAlive && !m_closeAfterWrite && !m_srv.stopping;
            m_streamHead = {};
            m_streamHead.version(11);
            m_streamHead.result(http::status::ok);
            m_streamHead.set(http::field::server, "fiscal-server");
            m_streamHead.set(http::field::content_type, contentTypeOf(m_enc));
            m_streamHead.keep_alive(m_streamKeepAlive);
            m_streamHead.chunked(true);
            m_headSerializer.emplace(m_streamHead);
        }
        if (!piece.isEmpty())
            m_pieces.push_back(std::move(piece));
        m_streamDone = m_streamDone || last;
        writeNextPiece();
    }

    void writeNextPiece()
    {
        if (m_pieceWriting || m_state == State::Closing)
            return;
        m_stream.expires_after(m_srv.opt.writeTimeout);
        if (!m_headSent) {
            m_pieceWriting = true;
            http::async_write_header(m_stream, *m_headSerializer,
                                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                         self->m_pieceWriting = false;
                                         if (ec)
                                             return self->streamFailed();
                                         self->m_headSent = true;
                                         self->writeNextPiece();
                                     });
            return;
        }
        if (!m_pieces.empty()) {
            m_pieceWriting = true;
            const QByteArray &p = m_pieces.front();
            net::async_write(m_stream,
                             http::make_chunk(net::const_buffer(p.constData(), std::size_t(p.size()))),
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                 self->m_pieceWriting = false;
                                 self->m_outflow->written(self->m_pieces.front().size());
                                 self->m_pieces.pop_front();
                                 if (ec)
                                     return self->streamFailed();
                                 self->writeNextPiece();
                             });
            return;
        }
        if (!m_streamDone)
            return;
        m_pieceWriting = true;
        net::async_write(m_stream, http::make_chunk_last(),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             self->m_pieceWriting = false;
                             self->m_streaming = false;
                             self->m_headSerializer.reset();
                             if (ec)
                                 return self->streamFailed();
                             self->afterReply(self->m_streamKeepAlive);
                         });
    }

    void streamFailed()
    {
        m_outflow->broken();
        m_pieces.clear();
        closeNow();
    }

    void write(http::status status, QByteArray body)
    {
        m_state = State::Writing;
        m_response = {};
        m_response.version(11);
        m_response.result(status);
        m_response.set(http::field::server, "fiscal-server");
        if (status != http::status::no_content)
            m_response.set(http::field::content_type, contentTypeOf(m_enc));
        if (status == http::status::unauthorized)
            m_response.set(http::field::www_authenticate, "Bearer");
        if (status == http::status::method_not_allowed)
            m_response.set(http::field::allow, "POST");
        m_response.body() = std::move(body);
        m_response.keep_alive(m_keepAlive && !m_closeAfterWrite && !m_srv.stopping);
        m_response.prepare_payload();
        m_stream.expires_after(m_srv.opt.writeTimeout);
        if (m_head) {
            // The answer to HEAD is the header alone; Content-Length still says what a body
            // would have held.
            m_headOnly.emplace(m_response);
            http::async_write_header(m_stream, *m_headOnly,
                                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                         self->m_headOnly.reset();
                                         self->onWrite(ec);
                                     });
            return;
        }
        http::async_write(m_stream, m_response,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              self->onWrite(ec);
                          });
    }

    void onWrite(beast::error_code ec)
    {
        if (ec)
            return closeNow();
        m_response.body().clear();
        afterReply(m_response.keep_alive());
    }

    void afterReply(bool keepAlive)
    {
        if (keepAlive && !m_closeAfterWrite && !m_srv.stopping)
            readHeader();
        else
            lingerClose();
    }

    // An HTTP-level refusal: answer and close, since the rest of the request is not read.
    void fail(const HttpFailure &f)
    {
        m_closeAfterWrite = true;
        m_parser.reset();
        write(f.status, errorReply(m_enc, QCborValue(QCborValue::Null), f.code,
                                   QString::fromUtf8(f.message)));
    }

    // Closing right after writing, with request bytes still unread, makes the kernel send a
    // reset that can destroy the reply before the client reads it. Half-close and drain a
    // little first.
    void lingerClose()
    {
        m_state = State::Closing;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (m_srv.stopping)
            return closeNow();
        m_stream.expires_after(std::chrono::seconds(2));
        drain();
    }

    void drain()
    {
        m_stream.async_read_some(net::buffer(m_scratch),
                                 [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                     self->m_drained += n;
                                     if (ec || self->m_drained > (std::size_t(1) << 20))
                                         return self->closeNow();
                                     self->drain();
                                 });
    }

    void closeNow()
    {
        if (m_outflow)
            m_outflow->broken();
        m_state = State::Closing;
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
    }

    ServerState &m_srv;
    beast::tcp_stream m_stream;
    net::steady_timer m_deadline;
    bool m_timedOut = false;
    unsigned m_generation = 0;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<detail::QByteArrayBody>> m_parser;
    http::response<detail::QByteArrayBody> m_response;
    State m_state = State::Reading;
    Encoding m_enc = Encoding::Json;
    std::string m_object;
    bool m_keepAlive = true;
    bool m_closeAfterWrite = false;
    bool m_head = false;   // the request is HEAD: answers carry no body
    std::optional<http::response_serializer<detail::QByteArrayBody>> m_headOnly;
    std::array<char, 8192> m_scratch;
    std::size_t m_drained = 0;

    // A streamed reply under way.
    std::shared_ptr<Outflow> m_outflow;
    bool m_streaming = false;
    bool m_streamDone = false;
    bool m_headSent = false;
    bool m_pieceWriting = false;
    bool m_streamKeepAlive = false;
    http::response<http::empty_body> m_streamHead;
    std::optional<http::response_serializer<http::empty_body>> m_headSerializer;
    std::deque<QByteArray> m_pieces;
};

} // namespace

void ServerState::accept()
{
    acceptor.async_accept(ioc, [this](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted)
            return;
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
        auto session = std::make_shared<Session>(*this, std::move(socket));
        if (sessions.size() >= opt.maxConnections)
            session->rejectBusy();
        else
            session->start();
        accept();
    });
}

void ServerState::doStop()
{
    if (stopping)
        return;
    stopping = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    acceptRetry.cancel();
    // Copy first: closing a session may erase it from the map.
    std::vector<std::shared_ptr<Session>> live;
    for (auto &entry : sessions)
        if (auto s = entry.second.lock())
            live.push_back(std::move(s));
    for (auto &s : live)
        s->onServerStop();
}

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

void HttpServer::run()
{
    {
        std::lock_guard lock(d->mutex);
        if (d->running || d->finished)
            throw std::logic_error("HttpServer::run called twice");
        d->running = true;
    }
    d->cv.notify_all();
    d->accept();
    for (;;) {
        try {
            d->ioc.run();
            break;
        } catch (const std::exception &e) {
            // A handler must never throw; if one does, keep serving the others.
            std::fprintf(stderr, "fiscal-server: I/O handler failed: %s\n", e.what());
        }
    }
    d->pool.join();
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
