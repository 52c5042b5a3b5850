#include "rpc/session_p.h"

#include "rpc/deferred_p.h"
#include "rpc/deferredcall_p.h"
#include "rpc/plainstream_p.h"
#include "rpc/serverstate_p.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <utility>

namespace fiscal::rpc {

namespace {
thread_local int t_callerSocket = -1;   // the connection of the call running on this thread
}

bool callerHasLeft()
{
    return detail::peerHasLeft(t_callerSocket);
}

int detail::callerSocket()
{
    return t_callerSocket;
}

int detail::setCallerSocket(int socket)
{
    return std::exchange(t_callerSocket, socket);
}

bool detail::peerHasLeft(int socket)
{
    if (socket < 0)
        return false;
    // A request pipelined after this one would be data: the client is still there.
    char c;
    const ssize_t n = ::recv(socket, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

} // namespace fiscal::rpc

namespace fiscal::rpc::detail {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

std::string plainAddress(const net::ip::address &a)
{
    if (!a.is_v6())
        return a.to_string();
    net::ip::address_v6 v6 = a.to_v6();
    if (v6.is_v4_mapped())
        return net::ip::make_address_v4(net::ip::v4_mapped, v6).to_string();
    // A scope ("%eth0", "%2147483647") names an interface, not the client; with it an address
    // no longer fits the 45 characters the history keeps.
    v6.scope_id(0);
    return v6.to_string();
}

std::string clientAddress(const std::string &givenPeer, std::string_view forwardedFor,
                          const std::vector<std::string> &trustedProxies)
{
    beast::error_code ec;
    const auto parsed = net::ip::make_address(givenPeer, ec);
    const std::string peer = ec ? givenPeer : plainAddress(parsed);
    if (forwardedFor.empty() || std::find(trustedProxies.begin(), trustedProxies.end(), peer) == trustedProxies.end())
        return peer;
    // The proxy appends the address it saw to what the client sent: only the last one is its own.
    const auto comma = forwardedFor.rfind(',');
    std::string_view last = comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1);
    while (!last.empty() && (last.front() == ' ' || last.front() == '\t'))
        last.remove_prefix(1);
    while (!last.empty() && (last.back() == ' ' || last.back() == '\t'))
        last.remove_suffix(1);
    const auto address = net::ip::make_address(std::string(last), ec);
    return ec ? peer : plainAddress(address);
}

Session::Session(ServerState &srv, Loop &loop, tcp::socket socket)
    : m_srv(srv), m_loop(loop), m_socket(std::move(socket)), m_timer(m_socket.get_executor()),
      // Bytes the parser has not taken yet: a head, or a chunk's size line or trailer, whose
      // length nothing else bounds. Past this the request is refused (buffer_overflow, 400).
      m_buffer(std::size_t(srv.opt.maxHeaderBytes) + 64 * 1024)
{
    ++m_loop.connections;
    // Room for a whole usual request, so that it comes in one read.
    m_buffer.reserve(16 * 1024);
    beast::error_code ec;
    const auto remote = m_socket.remote_endpoint(ec);
    if (!ec)
        m_peer = plainAddress(remote.address());
}

Session::~Session()
{
    releaseBody();
    m_srv.leave(this);
    --m_loop.connections;
}

void Session::start()
{
    m_srv.enroll(this, weak_from_this());
    // Enrolled first: a stop that began before is seen here, one that begins after sees us.
    if (m_srv.stopping && !m_srv.draining)
        return closeNow();
    readHeader();
    if (m_srv.stopping)
        onServerStop(true);   // accepted as a drain ended: answered, not reset
}

void Session::rejectBusy()
{
    m_srv.enroll(this, weak_from_this());
    fail(kBusy);
}

// How long a connection waiting for a request still gets one after a drain has ended. One
// kept open after an answer may never be used again; a new one was opened to send a request,
// which is on its way (nginx writes it right after connecting) and must not be cut off.
constexpr std::chrono::milliseconds kIdleStopGrace{500};
constexpr std::chrono::milliseconds kNewStopGrace{5000};

void Session::onServerStop(bool grace)
{
    switch (m_state) {
    case State::Reading:
        if (grace) {
            m_closeAfterWrite = true;
            if (!m_parser || !m_parser->got_some())
                shortenDeadline(m_answered ? kIdleStopGrace : kNewStopGrace);
            break;
        }
        closeNow();
        break;
    case State::Closing:
        closeNow();
        break;
    case State::Calling:
    case State::Writing:
        m_closeAfterWrite = true;
        break;
    }
}

// ---- reading a request -----------------------------------------------------------------

// ---- deadlines ---------------------------------------------------------------------------

void Session::setDeadline(std::chrono::milliseconds timeout)
{
    m_deadlineAt = Clock::now() + timeout;
    if (!m_timerArmed || m_deadlineAt < m_timerAt)
        armTimer();
}

void Session::shortenDeadline(std::chrono::milliseconds timeout)
{
    if (Clock::now() + timeout < m_deadlineAt)
        setDeadline(timeout);
}

void Session::armTimer()
{
    m_timerArmed = true;
    m_timerAt = m_deadlineAt;
    // Setting the expiry cancels a wait under way; its handler then sees an old generation.
    m_timer.expires_at(m_timerAt);
    m_timer.async_wait([weak = weak_from_this(), gen = ++m_timerGeneration](beast::error_code ec) {
        auto self = weak.lock();
        if (!self || gen != self->m_timerGeneration)
            return;
        self->m_timerArmed = false;
        // A call has no deadline; the read or write after it sets one.
        if (ec || self->m_state == State::Calling || self->m_deadlineAt == Clock::time_point::max())
            return;
        if (Clock::now() < self->m_deadlineAt)
            return self->armTimer();
        self->onDeadline();
    });
}

void Session::onDeadline()
{
    if (m_state == State::Reading && (!m_parser || !m_parser->got_some())) {
        // A request that came while this loop was busy with a call: its bytes wait unread
        // and the deadline only looks past. Read it rather than drop it.
        beast::error_code ec;
        if (m_socket.available(ec) > 0 && !ec)
            return setDeadline(m_srv.opt.readTimeout);
    }
    clearDeadline();
    if (m_state == State::Reading) {
        // Not closed yet: a client that sent half a request still gets a 408.
        m_timedOut = true;
        beast::error_code ignored;
        m_socket.cancel(ignored);
        return;
    }
    closeNow();   // a reply the client does not take, or the drain before closing
}

void Session::readHeader()
{
    m_state = State::Reading;
    m_client.clear();
    m_enc = Encoding::Json;
    m_head = false;
    m_object.clear();
    m_parser.emplace();
    m_parser->header_limit(m_srv.opt.maxHeaderBytes);
    m_parser->body_limit(m_srv.opt.maxBodyBytes);
    m_timedOut = false;
    setDeadline(m_srv.opt.readTimeout);
    http::async_read_header(m_socket, m_buffer, *m_parser,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                self->onHeader(ec);
                            });
}

bool Session::handleReadError(beast::error_code ec)
{
    if (!ec)
        return false;
    clearDeadline();
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

void Session::onHeader(beast::error_code ec)
{
    if (handleReadError(ec))
        return;
    auto &req = m_parser->get();
    m_keepAlive = req.keep_alive();
    m_head = req.method() == http::verb::head;
    m_headAt = Clock::now();
    m_client = clientAddress(m_peer, req["X-Forwarded-For"], m_srv.opt.trustedProxies);
    // Health and metrics answer without the token: load balancers and scrapers ask them.
    if ((req.method() == http::verb::get || m_head) && m_srv.opt.answerGet) {
        const auto target = req.target();
        if (auto answer = m_srv.opt.answerGet(std::string_view(target.data(), target.size())))
            return writePlain(*answer, req.chunked() || m_parser->content_length().value_or(0) > 0);
    }
    std::optional<std::uint64_t> length;
    if (const auto declared = m_parser->content_length())
        length = *declared;
    m_who = {};
    if (const HttpFailure *f = checkHead(req, m_srv.opt, m_client, length, req.chunked(), m_object, m_enc, m_who))
        return fail(*f);
    if (m_srv.opt.authenticate) {
        m_authorization = std::string(req[http::field::authorization]);
        m_declaredUser = std::string(req[kUserHeader]);
        m_forwarded = !req["X-Forwarded-For"].empty();
    }
    // Taken before a byte of the body is read: the body's memory is taken as it arrives.
    if (const std::size_t need = req.chunked() ? m_srv.opt.maxBodyBytes : std::size_t(length.value_or(0))) {
        if (!m_srv.reserveBody(need))
            return fail(kBusy);
        m_bodyHeld = need;
    }

    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        net::async_write(m_socket, net::buffer(kContinue, sizeof kContinue - 1),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->closeNow();
                             self->readBody();
                         });
        return;
    }
    readBody();
}

void Session::readBody()
{
    // The body mostly came in the read that brought the head: parsed here from the buffer,
    // it spares a read that would complete at once, through the loop.
    beast::error_code ec;
    m_parser->eager(true);
    while (!m_parser->is_done() && m_buffer.size() > 0) {
        const std::size_t used = m_parser->put(m_buffer.data(), ec);
        m_buffer.consume(used);
        if (ec == http::error::need_more) {
            ec = {};
            break;
        }
        if (ec)
            return onBody(ec);
        if (used == 0)
            break;
    }
    if (m_parser->is_done())
        return onBody(ec);
    http::async_read(m_socket, m_buffer, *m_parser,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                         self->onBody(ec);
                     });
}

void Session::onBody(beast::error_code ec)
{
    if (handleReadError(ec))
        return;
    clearDeadline();
    // A body long on its way (a large import on a slow line, up to the read time-out): the
    // caller is asked about again before anything runs, as before a batch's later calls, so
    // that a user disabled or signed out meanwhile starts nothing.
    if (m_srv.opt.authenticate && Clock::now() - m_headAt > std::chrono::seconds(1)) {
        if (const HttpFailure *f = askAgain(m_who))
            return fail(*f);
    }
    // Chunked transfer needs HTTP/1.1.
    const bool canStream = m_parser->get().version() >= 11;
    QByteArray body = std::move(m_parser->get().body());
    m_parser.reset();
    runCall(std::move(body), canStream);
}

const HttpFailure *Session::askAgain(Identity &who)
{
    Identity now;
    const HttpFailure *f = nullptr;
    try {
        f = authenticated(m_authorization, m_declaredUser, m_srv.opt, m_client, m_object, m_forwarded, now);
    } catch (...) {
        // No connection to ask on: the call is refused, the answers before it stand.
        f = &kCannotCheck;
    }
    if (!f && now.user != who.user)
        return &kNoSession;   // another user's token: not this caller
    if (!f)
        who = std::move(now);
    return f;
}

// ---- running the calls -----------------------------------------------------------------

// The calls run on this thread, inside this handler: nothing is handed to another thread and
// back, which is what a one-row save would mostly wait for. A reply that grows large is
// written while the method produces it (sendPiece), with blocking writes bounded by the
// write timeout; a small one is written once the call has returned, or once its method
// answers, when it answers later (a save waiting for its database on this thread).
void Session::runCall(QByteArray body, bool canStream)
{
    m_state = State::Calling;
    SendPiece send;
    if (canStream)
        send = [this](QByteArray piece) { sendPiece(std::move(piece)); };
    const CallReport report{m_srv.opt.recordCall ? &m_srv.opt.recordCall : nullptr, m_client};
    struct Caller {
        explicit Caller(int fd) { t_callerSocket = fd; }
        ~Caller() { t_callerSocket = -1; }
    };
    Recheck recheck;
    if (m_srv.opt.authenticate)
        recheck = [this](Identity &who) -> std::optional<Fault> {
            if (const HttpFailure *f = askAgain(who))
                return Fault(f->code, QString::fromUtf8(f->message));
            return std::nullopt;
        };
    CallOutcome outcome = [&] {
        const Caller caller(m_socket.native_handle());
        return runCalls(m_srv.dispatcher, m_object, m_who, body, m_enc, send, m_srv.opt.maxBatch, report,
                        true, m_srv.opt.limits, recheck);
    }();
    body.clear();
    releaseBody();
    if (outcome.kind == CallOutcome::Deferred) {
        // The loop runs until the answer is written, even when the server stops meanwhile:
        // the call may have been applied, and its client must hear so.
        outcome.deferred->whenSettled([self = shared_from_this(), busy = net::make_work_guard(m_socket.get_executor())](
                                          CallOutcome o) { self->answer(std::move(o)); });
        return;
    }
    answer(std::move(outcome));
}

void Session::answer(CallOutcome outcome)
{
    switch (outcome.kind) {
    case CallOutcome::Whole:
        return write(http::status::ok, std::move(outcome.body));
    case CallOutcome::NoReply:
        return write(http::status::no_content, {});
    case CallOutcome::StreamEnd: {
        // The calls are over: the rest is bounded by the write timeout alone.
        m_chunks->setDeadline(Clock::time_point::max());
        const bool sent = m_chunks->chunk(outcome.body) && m_chunks->finish();
        m_chunks.reset();
        if (!sent)
            return closeNow();
        return afterReply(m_streamKeepAlive);
    }
    case CallOutcome::StreamAbort:
        // Part of the reply went out: the client must see a broken reply, never a short one.
        m_chunks.reset();
        return closeNow();
    case CallOutcome::Deferred:
        break;   // runCall waits for it
    }
}

// A piece of a reply being streamed: the header goes with the first one.
void Session::sendPiece(QByteArray piece)
{
    if (!m_chunks) {
        m_state = State::Writing;
        m_streamKeepAlive = keepOpen();
        http::response<http::empty_body> head;
        head.version(11);
        head.result(http::status::ok);
        head.set(http::field::server, "fiscal-server");
        head.set(kLimitsHeader, m_srv.limitsHeader);
        head.set(http::field::content_type, contentTypeOf(m_enc));
        head.keep_alive(m_streamKeepAlive);
        head.chunked(true);
        m_chunks.emplace(m_socket, m_srv.opt.writeTimeout, currentDeadline().at);
        if (!m_chunks->start(head))
            throw ConnectionGone{};
    }
    m_chunks->setDeadline(currentDeadline().at);   // a later call of the batch has its own
    if (!m_chunks->chunk(piece))
        throw ConnectionGone{};
}

// ---- answering -------------------------------------------------------------------------

void Session::write(http::status status, QByteArray body, std::string_view contentType)
{
    m_state = State::Writing;
    m_response = {};
    m_response.version(11);
    m_response.result(status);
    m_response.set(http::field::server, "fiscal-server");
    m_response.set(kLimitsHeader, m_srv.limitsHeader);
    if (status != http::status::no_content)
        m_response.set(http::field::content_type, contentType.empty() ? contentTypeOf(m_enc) : contentType);
    if (status == http::status::unauthorized)
        m_response.set(http::field::www_authenticate, "Bearer");
    if (status == http::status::method_not_allowed)
        m_response.set(http::field::allow, "POST");
    m_response.body() = std::move(body);
    m_response.keep_alive(keepOpen());
    m_response.prepare_payload();
    if (!m_head && writeAtOnce())
        return;
    setDeadline(m_srv.opt.writeTimeout);
    if (m_head) {
        // The answer to HEAD is the header alone; Content-Length still says what a body
        // would have held.
        m_headOnly.emplace(m_response);
        http::async_write_header(m_socket, *m_headOnly,
                                 [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                     self->m_headOnly.reset();
                                     self->onWrite(ec);
                                 });
        return;
    }
    http::async_write(m_socket, *m_serializer, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->m_serializer.reset();
        self->onWrite(ec);
    });
}

// Most answers fit the socket's buffer: sent here, they spare the write operation's round
// through the loop. False when some is left for the loop to send (from where this stopped).
bool Session::writeAtOnce()
{
    m_serializer.emplace(m_response);
    PlainStream stream(m_socket.native_handle());
    beast::error_code ec;
    http::write(stream, *m_serializer, ec);
    if (ec == net::error::would_block)
        return false;
    m_serializer.reset();
    onWrite(ec);
    return true;
}

void Session::onWrite(beast::error_code ec)
{
    if (ec)
        return closeNow();
    m_response.body().clear();
    afterReply(m_response.keep_alive());
}

// An answer that said the connection stays open keeps its word even if a drain or a stop
// began while it was written: the peer may already have sent its next request there, and
// nginx cannot send again a call it has sent. That request is read and answered with
// `Connection: close`; only the end of a stop closes a connection that says nothing.
void Session::afterReply(bool keepAlive)
{
    m_answered = true;
    if (!keepAlive)
        return lingerClose();
    readHeader();
    if (m_srv.stopping)
        onServerStop(m_srv.draining);
}

bool Session::keepOpen() const
{
    return m_keepAlive && !m_closeAfterWrite && !m_srv.stopping && !m_srv.draining;
}

// An HTTP-level refusal: answer and close, since the rest of the request is not read.
void Session::fail(const HttpFailure &f)
{
    m_closeAfterWrite = true;
    m_parser.reset();
    releaseBody();
    QByteArray body = errorReply(m_enc, QCborValue(QCborValue::Null), f.code, QString::fromUtf8(f.message));
    if (m_srv.opt.recordCall) {
        CallRecord r;
        r.object = m_object;
        r.httpStatus = int(f.status);
        r.code = f.code;
        r.bytesOut = std::uint64_t(body.size());
        r.peer = m_client.empty() ? m_peer : m_client;
        m_srv.opt.recordCall(r);
    }
    write(f.status, std::move(body));
}

// /health, /metrics: not calls, so neither logged nor counted. A body sent with the GET is
// not read, so the connection closes after the answer.
void Session::writePlain(const PlainAnswer &answer, bool bodyFollows)
{
    if (bodyFollows)
        m_closeAfterWrite = true;
    m_parser.reset();
    write(http::status(answer.status), QByteArray(answer.body.data(), qsizetype(answer.body.size())),
          answer.contentType);
}

// Closing right after writing, with request bytes still unread, makes the kernel send a
// reset that can destroy the reply before the client reads it. Half-close and drain a
// little first.
void Session::lingerClose()
{
    m_state = State::Closing;
    beast::error_code ignored;
    m_socket.shutdown(tcp::socket::shutdown_send, ignored);
    if (m_srv.stopping)
        return closeNow();
    setDeadline(std::chrono::seconds(2));
    drain();
}

void Session::drain()
{
    m_socket.async_read_some(net::buffer(m_scratch), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->m_drained += n;
        if (ec || self->m_drained > (std::size_t(1) << 20))
            return self->closeNow();
        self->drain();
    });
}

void Session::releaseBody()
{
    m_srv.releaseBody(std::exchange(m_bodyHeld, 0));
}

void Session::closeNow()
{
    m_state = State::Closing;
    clearDeadline();
    beast::error_code ignored;
    m_timer.cancel();
    m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
}

} // namespace fiscal::rpc::detail
