#pragma once
// One client connection of the server: it reads a request, runs its calls on the thread that
// read it, writes the reply and, with keep-alive, reads the next request. A connection
// belongs to one serving loop for its whole life, so a session is only ever touched by that
// loop's thread.
//
//   auto s = std::make_shared<Session>(state, loop, std::move(socket));   // socket of loop.ioc
//   boost::asio::post(loop.ioc, [s] { s->start(); });

#include "rpc/callrunner_p.h"
#include "rpc/chunkwriter_p.h"
#include "rpc/envelope.h"
#include "rpc/qbytearraybody_p.h"
#include "rpc/requesthead_p.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/serializer.hpp>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::rpc::detail {

struct ServerState;
struct Loop;

// An address as its text, an IPv4 one as such even when a socket listening on "::" shows
// it as "::ffff:a.b.c.d": so it matches a trusted proxy and reads the same in the history.
std::string plainAddress(const boost::asio::ip::address &a);

// The client of a request from `peer`: the last address of X-Forwarded-For when the peer is
// one of the trusted proxies and that address is one, else the peer itself.
std::string clientAddress(const std::string &peer, std::string_view forwardedFor,
                          const std::vector<std::string> &trustedProxies);

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ServerState &srv, Loop &loop, boost::asio::ip::tcp::socket socket);
    ~Session();

    boost::asio::any_io_executor executor() { return m_socket.get_executor(); }

    // On the loop's thread, like everything below.
    void start();
    void rejectBusy();   // too many connections: a 503 and close
    // The server is stopping: drop what is idle, let a call under way answer first. After a
    // drain, a connection waiting for a request still gets it read: a load balancer may have
    // just sent one, and cannot send again a call it has sent.
    void onServerStop(bool grace);

private:
    enum class State { Reading, Calling, Writing, Closing };
    using Clock = std::chrono::steady_clock;

    // The time the current read, write or closing drain must end by. One timer serves every
    // request of the connection: moving the deadline costs nothing, and the timer, when it
    // fires early, waits again for what is left.
    void setDeadline(std::chrono::milliseconds timeout);
    void shortenDeadline(std::chrono::milliseconds timeout);   // never later than it is
    void clearDeadline() { m_deadlineAt = Clock::time_point::max(); }
    void armTimer();
    void onDeadline();

    // Reading a request.
    void readHeader();
    bool handleReadError(boost::beast::error_code ec);
    void onHeader(boost::beast::error_code ec);
    void readBody();
    void onBody(boost::beast::error_code ec);

    // Running its calls, right here.
    void runCall(QByteArray body, bool canStream);
    // The options' authenticator asked again about the head's credentials: `who` as the
    // session stands now, or why the call is refused.
    const HttpFailure *askAgain(Identity &who);
    void sendPiece(QByteArray piece);
    void answer(CallOutcome outcome);

    // Answering.
    void write(boost::beast::http::status status, QByteArray body, std::string_view contentType = {});
    bool writeAtOnce();
    void writePlain(const PlainAnswer &answer, bool bodyFollows);
    void onWrite(boost::beast::error_code ec);
    void afterReply(bool keepAlive);
    bool keepOpen() const;
    void fail(const HttpFailure &f);
    void lingerClose();
    void drain();
    void closeNow();
    void releaseBody();

    ServerState &m_srv;
    Loop &m_loop;
    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    Clock::time_point m_deadlineAt = Clock::time_point::max();
    Clock::time_point m_timerAt;
    unsigned m_timerGeneration = 0;
    bool m_timerArmed = false;
    bool m_timedOut = false;
    boost::beast::flat_buffer m_buffer;
    std::optional<boost::beast::http::request_parser<QByteArrayBody>> m_parser;
    boost::beast::http::response<QByteArrayBody> m_response;
    State m_state = State::Reading;
    Encoding m_enc = Encoding::Json;
    std::string m_object;
    Identity m_who;         // who is calling (rpc/caller.h)
    // The head's Authorization and X-Fiscal-User, and whether it was forwarded, for a batch to
    // ask about the caller again.
    std::string m_authorization, m_declaredUser;
    bool m_forwarded = false;
    Clock::time_point m_headAt;   // when the request's head was read
    bool m_keepAlive = true;
    bool m_closeAfterWrite = false;
    bool m_answered = false;   // a reply went out: waiting for a request now is keep-alive idling
    bool m_head = false;   // the request is HEAD: answers carry no body
    std::optional<boost::beast::http::response_serializer<QByteArrayBody>> m_headOnly;
    std::optional<boost::beast::http::response_serializer<QByteArrayBody>> m_serializer;
    std::array<char, 8192> m_scratch;
    std::size_t m_drained = 0;
    std::size_t m_bodyHeld = 0;   // of ServerState's body budget
    std::string m_peer;     // the remote address
    std::string m_client;   // the request's client: m_peer, or what a trusted proxy says

    // A reply streamed while its call runs.
    std::optional<ChunkWriter> m_chunks;
    bool m_streamKeepAlive = false;
};

} // namespace fiscal::rpc::detail
