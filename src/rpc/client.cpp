#include "rpc/client.h"

#include "rpc/caller.h"
#include "rpc/calllimits.h"

#include "rpc/envelope.h"
#include "rpc/plainstream_p.h"
#include "rpc/qbytearraybody_p.h"
#include "rpc/resolve.h"
#include "rpc/splicedbody_p.h"
#include "rpc/streambody_p.h"
#include "rpc/tls_p.h"

#include <QStringList>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <sys/socket.h>

namespace fiscal::rpc {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kMaxReplyBytes = std::uint64_t(2) << 30;

bool validObjectName(const QString &object)
{
    if (object.isEmpty())
        return false;
    for (QChar c : object) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                        || u == '.' || u == '_' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

// The errors of a connection the peer closed; worth one retry on a reused connection.
bool isDrop(const beast::error_code &ec)
{
    return ec == net::error::eof || ec == http::error::end_of_stream
           || ec == net::error::connection_reset || ec == net::error::broken_pipe
           || ec == net::error::connection_aborted || ec == http::error::partial_message
           || ec == net::ssl::error::stream_truncated;
}

// An answer that is not the server's own (no JSON-RPC body): most likely from a proxy in
// front of it, which says whether the server could be reached.
QString foreignAnswer(int status, const std::string &endpoint)
{
    const QString where = QString::fromStdString(endpoint);
    switch (status) {
    case 502:
        return QStringLiteral("O servidor de aplicação atrás de %1 caiu ou não respondeu (HTTP 502). "
                              "A operação pode ou não ter sido gravada: recarregue os dados e confira "
                              "antes de repetir.").arg(where);
    case 504:
        return QStringLiteral("O servidor de aplicação atrás de %1 não respondeu a tempo (HTTP 504). "
                              "A operação pode ou não ter sido gravada: recarregue os dados e confira "
                              "antes de repetir.").arg(where);
    case 503:
        return QStringLiteral("O servidor de aplicação em %1 está indisponível (HTTP 503). Nada foi "
                              "gravado; tente novamente em instantes.").arg(where);
    default:
        break;
    }
    return QStringLiteral("Resposta inesperada do servidor de aplicação em %1 (HTTP %2).")
        .arg(where).arg(status);
}

using detail::TimedOut;

// "host:port" as HTTP's Host header and the messages write it: an IPv6 address in brackets,
// or a proxy reads the host as what comes before its first colon.
std::string endpointOf(const QString &host, quint16 port)
{
    const bool bare6 = host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['));
    return (bare6 ? "[" + host.toStdString() + "]" : host.toStdString()) + ":" + std::to_string(port);
}

// What each server this process spoke to announced last, by "host:port".
std::mutex g_limitsMutex;
std::map<std::string, CallLimits, std::less<>> g_limits;

void noteLimits(const std::string &endpoint, std::string_view header)
{
    const std::optional<CallLimits> limits = limitsFromHeader(header);
    if (!limits)
        return;
    std::lock_guard lock(g_limitsMutex);
    g_limits[endpoint] = *limits;
}

// A result reader must take the whole result: what it left would be lost unseen.
void expectEnd(dataset::ByteSource &source)
{
    char extra;
    if (source.read(&extra, 1) != 0)
        throw TransportError(
            QStringLiteral("Resposta inválida do servidor de aplicação: dados após o resultado."));
}

// Why a connection failed, for the user.
QString reasonOf(const beast::error_code &ec)
{
    if (ec == net::error::eof || ec == http::error::end_of_stream || ec == http::error::partial_message)
        return QStringLiteral("o servidor encerrou a conexão sem responder");
    if (ec.category() == boost::system::system_category())
        return networkErrorText(ec.value());
    if (const QString tls = detail::tlsReason(ec); !tls.isEmpty())
        return tls;
    return QString::fromLocal8Bit(ec.message().c_str());
}

} // namespace

struct Client::Impl {
    QString host;
    quint16 port;
    QString token;
    TlsOptions tlsOptions;
    std::string userHeader;   // percent-encoded; empty: no header
    std::string endpointText;
    net::io_context ioc{1};
    tcp::socket socket{ioc};
    std::optional<net::ssl::context> tlsContext;
    std::optional<net::ssl::stream<tcp::socket &>> tls;   // over `socket` while it is open
    beast::flat_buffer buffer;
    qint64 nextId = 1;
    std::atomic<bool> busy{false};
    std::function<void()> pump;   // the call's: Client::pump

    // Runs what is queued until it is done or the deadline passes, pumping every kPumpEvery;
    // on the deadline every operation is cancelled and TimedOut thrown.
    void runUntil(Clock::time_point deadline)
    {
        ioc.restart();
        for (;;) {
            const Clock::time_point until = pump ? std::min(deadline, Clock::now() + Client::kPumpEvery) : deadline;
            ioc.run_until(until);
            if (ioc.stopped())
                return;
            if (until >= deadline)
                break;
            pump();
        }
        // The operations under way end with the socket; the TLS stream they use goes after.
        beast::error_code ignored;
        socket.close(ignored);
        ioc.restart();
        ioc.run();
        closeSocket();
        throw TimedOut{};
    }

    // Runs f on the stream requests go over: TLS over the socket, or the socket itself.
    template <class F>
    void onStream(F &&f)
    {
        if (tls)
            f(*tls);
        else
            f(socket);
    }

    void closeSocket()
    {
        beast::error_code ignored;
        tls.reset();
        if (socket.is_open()) {
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        }
        buffer.clear();
    }

    // An idle keep-alive connection the server has closed shows as readable with EOF.
    bool peerClosed()
    {
        // One peek that does not block, without switching the socket's mode (asio's
        // non_blocking() costs an ioctl each way, and one more when the next call switches
        // it back).
        char c;
        const ssize_t n = ::recv(socket.native_handle(), &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return false;
        // Data nobody asked for, EOF or an error: the connection is of no use.
        return true;
    }

    void connect(Clock::time_point deadline)
    {
        const Resolution resolved = resolveUntil(host.toStdString(), std::to_string(port), deadline, pump);
        if (resolved.timedOut || resolved.error != 0)
            throw TransportError(
                QStringLiteral("Não foi possível encontrar o servidor de aplicação %1: %2.")
                    .arg(QString::fromStdString(endpointText), resolutionErrorText(resolved)));
        std::vector<tcp::endpoint> endpoints;
        endpoints.reserve(resolved.addresses.size());
        for (const ResolvedAddress &a : resolved.addresses) {
            tcp::endpoint e;
            std::memcpy(e.data(), &a.address, a.length);
            e.resize(a.length);
            endpoints.push_back(e);
        }
        beast::error_code ec = net::error::would_block;
        net::async_connect(socket, endpoints,
                           [&](beast::error_code e, const tcp::endpoint &) { ec = e; });
        runUntil(deadline);
        if (ec) {
            closeSocket();
            throw TransportError(
                QStringLiteral("Não foi possível conectar ao servidor de aplicação em %1: %2.")
                    .arg(QString::fromStdString(endpointText),
                         reasonOf(ec)));
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        buffer.clear();
        if (tlsOptions.enabled)
            handshake(deadline);
    }

    void handshake(Clock::time_point deadline)
    {
        try {
            if (!tlsContext)
                tlsContext.emplace(detail::makeClientContext(tlsOptions.caFile));
        } catch (...) {
            closeSocket();
            throw;
        }
        tls.emplace(socket, *tlsContext);
        detail::expectServerName(tls->native_handle(), host.toStdString());
        beast::error_code ec = net::error::would_block;
        tls->async_handshake(net::ssl::stream_base::client, [&](beast::error_code e) { ec = e; });
        runUntil(deadline);
        if (ec) {
            const QString message = detail::handshakeFailure(tls->native_handle(), endpointText, ec);
            closeSocket();
            throw TransportError(message);
        }
    }

    // One request and its response on the open socket. `gotSome` tells whether any byte of
    // a response arrived (then the server saw the request and it must not be sent again).
    template <class ReqBody, class Body>
    beast::error_code exchange(http::request<ReqBody> &req,
                               http::response_parser<Body> &parser,
                               Clock::time_point deadline, bool &gotSome)
    {
        // Beast reads no more than the buffer's spare room (at least 512 bytes): with room
        // for 64 KiB a 50 MiB result takes some 800 reads instead of 100,000.
        buffer.reserve(64 * 1024);
        // A server that refuses a request from its head (an ended session, a body too large)
        // answers and closes while the body is still going: its answer is read all the same,
        // and the write's error stands only when there is none.
        if (!tls) {
            detail::PlainStream stream(socket.native_handle(), deadline, pump, Client::kPumpEvery);
            beast::error_code written;
            http::write(stream, req, written);
            beast::error_code ec = written;
            if (!written || isDrop(written)) {
                ec = {};
                stream.expectAnswer();
                http::read(stream, buffer, parser, ec);
            }
            gotSome = parser.got_some();
            return ec && written ? written : ec;
        }
        beast::error_code written = net::error::would_block;
        onStream([&](auto &stream) {
            http::async_write(stream, req, [&](beast::error_code e, std::size_t) { written = e; });
        });
        runUntil(deadline);
        if (written && !isDrop(written))
            return written;
        beast::error_code ec = net::error::would_block;
        onStream([&](auto &stream) {
            http::async_read(stream, buffer, parser, [&](beast::error_code e, std::size_t) { ec = e; });
        });
        runUntil(deadline);
        gotSome = parser.got_some();
        return ec && written ? written : ec;
    }

    // The request and its reply, reconnecting once when a kept connection turns out to be
    // closed. `prepare(parser)` sets up each attempt's parser, `done(response)` reads a
    // complete reply.
    template <class Body, class ReqBody, class Prepare, class Done>
    Reply send(const QString &object, typename ReqBody::value_type body, int timeoutMs, Prepare prepare,
               Done done)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(1, timeoutMs));
        http::request<ReqBody> req{http::verb::post, "/rpc/" + object.toStdString(), 11};
        req.set(http::field::host, endpointText);
        req.set(http::field::content_type, "application/cbor");
        req.set(http::field::accept, "application/cbor");
        if (!token.isEmpty())
            req.set(http::field::authorization, "Bearer " + token.toStdString());
        if (!userHeader.empty())
            req.set(kUserHeader, userHeader);
        req.keep_alive(true);
        req.body() = std::move(body);
        req.prepare_payload();

        try {
            bool reused = socket.is_open();
            if (reused && peerClosed()) {
                closeSocket();
                reused = false;
            }
            for (;;) {
                if (!socket.is_open())
                    connect(deadline);
                http::response_parser<Body> parser;
                parser.body_limit(kMaxReplyBytes);
                prepare(parser, deadline);
                bool gotSome = false;
                const beast::error_code ec = exchange(req, parser, deadline, gotSome);
                if (!ec) {
                    auto res = parser.release();
                    noteLimits(endpointText, std::string_view(res[kLimitsHeader]));
                    if (!res.keep_alive())
                        closeSocket();
                    return done(res);
                }
                closeSocket();
                // The server closed a connection we had kept: it never saw this request.
                if (reused && !gotSome && isDrop(ec)) {
                    reused = false;
                    continue;
                }
                if (ec == http::error::bad_chunk || ec == http::error::bad_chunk_extension)
                    throw TransportError(
                        QStringLiteral("Resposta inválida do servidor de aplicação em %1.")
                            .arg(QString::fromStdString(endpointText)));
                throw TransportError(
                    QStringLiteral("A conexão com o servidor de aplicação em %1 foi perdida: %2.")
                        .arg(QString::fromStdString(endpointText),
                             reasonOf(ec)));
            }
        } catch (const TimedOut &) {
            closeSocket();
            throw TransportError(
                QStringLiteral("O servidor de aplicação em %1 não respondeu em %2 segundos.")
                    .arg(QString::fromStdString(endpointText))
                    .arg((std::max(1, timeoutMs) + 999) / 1000));
        } catch (...) {
            closeSocket();
            throw;
        }
    }

    template <class ReqBody = detail::QByteArrayBody>
    Reply call(const QString &object, typename ReqBody::value_type body, int timeoutMs)
    {
        return send<detail::QByteArrayBody, ReqBody>(
            object, std::move(body), timeoutMs, [](auto &, Clock::time_point) {},
            [this](http::response<detail::QByteArrayBody> &res) {
                return interpret(res.result_int(), res[http::field::content_type], res.body());
            });
    }

    // The result of a success is kept when small and returned as the Reply's result; a large
    // one goes through `pipe` while it arrives, to a reader `onLarge` starts, and the Reply
    // returned then has no result bytes. Anything else comes back as call() returns it.
    Reply callStreamed(const QString &object, const QByteArray &body, const QCborValue &id,
                       int timeoutMs, detail::BytePipe &pipe, const std::function<void()> &onLarge)
    {
        static const QByteArray prefix = [] {
            QByteArray out;
            SuccessReply opening(Encoding::Cbor, out, QCborValue(0));
            return out;
        }();
        const QByteArray trailer = QByteArray("\x62" "id", 3) + id.toCbor();
        std::optional<detail::ResultRouter> router;
        return send<detail::StreamBody, detail::QByteArrayBody>(
            object, body, timeoutMs,
            [&](http::response_parser<detail::StreamBody> &parser, Clock::time_point deadline) {
                router.emplace(pipe, prefix, trailer, deadline,
                               detail::ResultRouter::Hooks{onLarge, pump, Client::kPumpEvery});
                parser.get().body() = &*router;
            },
            [&](http::response<detail::StreamBody> &res) {
                if (router->piped())
                    return Reply::success({});
                if (router->kept())
                    return Reply::success(router->held());
                return interpret(res.result_int(), res[http::field::content_type], router->held());
            });
    }

    Reply interpret(unsigned statusCode, beast::string_view contentType, const QByteArray &body)
    {
        dataset::Encoding enc;
        const bool known = encodingFromContentType(std::string_view(contentType), enc);
        const int status = int(statusCode);
        if (!known) {
            closeSocket();
            throw TransportError(foreignAnswer(status, endpointText), true);
        }
        Reply reply = Reply::fromBody(body, enc);
        // A refusal at HTTP level must never look like a success.
        if (status != 200 && reply.ok()) {
            closeSocket();
            throw TransportError(
                QStringLiteral("Resposta inesperada do servidor de aplicação em %1 (HTTP %2).")
                    .arg(QString::fromStdString(endpointText))
                    .arg(status),
                true);
        }
        return reply;
    }
};

Client::Client(QString host, quint16 port, QString token, TlsOptions tls) : d(std::make_unique<Impl>())
{
    d->host = std::move(host);
    d->port = port;
    d->token = std::move(token);
    d->tlsOptions = std::move(tls);
    d->endpointText = endpointOf(d->host, port);
}

Client::~Client() = default;

bool isLoopbackHost(const QString &host)
{
    QString h = host.trimmed().toLower();
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    // Not "*.localhost": where the system asks its DNS for such names, the answer may be
    // any machine.
    if (h == QLatin1String("localhost") || h == QLatin1String("::1"))
        return true;
    const QStringList parts = h.split(QLatin1Char('.'));
    if (parts.size() != 4 || parts.front() != QLatin1String("127"))
        return false;
    for (const QString &p : parts) {
        bool ok = false;
        if (p.toUInt(&ok) > 255 || !ok)
            return false;
    }
    return true;
}

// The token (and whatever else proves who the user is) travels in every request: over
// plain HTTP anyone on the way can read it and call as the user.
void Client::refuseCredentialsInClear() const
{
    if (d->token.isEmpty() || d->tlsOptions.enabled || isLoopbackHost(d->host))
        return;
    throw TransportError(QStringLiteral(
        "O token de acesso não foi enviado ao servidor %1: a conexão é http://, sem criptografia, e qualquer um "
        "na rede poderia lê-lo e usá-lo. Configure o endereço do servidor com https:// (TLS), ou use um servidor "
        "nesta máquina.").arg(d->host));
}

void Client::setUser(const QString &user)
{
    d->userHeader = encodeUserHeader(user);
}

// What every call checks first; and a call while another runs on this client (one started
// from inside pump()) is refused.
class Client::CallScope {
public:
    CallScope(Client &c, const QString &object) : m_flag(c.d->busy)
    {
        if (!validObjectName(object))
            throw TransportError(QStringLiteral("Nome de objeto remoto inválido: \"%1\".").arg(object));
        c.refuseCredentialsInClear();
        if (m_flag.exchange(true))
            throw TransportError(QStringLiteral(
                "Já existe uma chamada ao servidor de aplicação em andamento nesta conexão."));
        c.d->pump = c.pump;
    }
    ~CallScope() { m_flag = false; }
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;

private:
    std::atomic<bool> &m_flag;
};

Reply Client::call(const QString &object, const QString &method, const QCborArray &params,
                   int timeoutMs)
{
    const CallScope scope(*this, object);
    const QByteArray body =
        encodeRequest(Encoding::Cbor, method, params, QCborValue(d->nextId++));
    return d->call(object, body, timeoutMs);
}

Reply Client::call(const QString &object, const QString &method, const QCborArray &params,
                   StreamedParam &last, int timeoutMs)
{
    const CallScope scope(*this, object);
    RequestFrame frame = requestFrame(method, params, QCborValue(d->nextId++));
    return d->call<detail::SplicedBody>(object, {std::move(frame.head), &last, std::move(frame.tail)}, timeoutMs);
}

Reply Client::call(const QString &object, const QString &method, const QCborArray &params,
                   const ResultReader &readResult, int timeoutMs)
{
    const CallScope scope(*this, object);

    const QCborValue id(d->nextId++);
    const QByteArray body = encodeRequest(Encoding::Cbor, method, params, id);

    // A large result is decoded on a thread of its own while this one receives it, which
    // is what lets the decoding overlap the transfer.
    detail::BytePipe pipe;
    std::exception_ptr readFailure;
    std::promise<void> readDone;
    std::thread reader;
    const auto startReader = [&] {
        reader = std::thread([&] {
            try {
                readResult(pipe);
                expectEnd(pipe);
            } catch (...) {
                readFailure = std::current_exception();
                pipe.cancel();
            }
            readDone.set_value();
        });
    };

    std::optional<Reply> reply;
    std::exception_ptr ioFailure;
    try {
        reply = d->callStreamed(object, body, id, timeoutMs, pipe, startReader);
        pipe.close();
    } catch (const TransportError &e) {
        ioFailure = std::current_exception();
        pipe.fail(e.message());
    } catch (...) {
        ioFailure = std::current_exception();
        pipe.fail(QStringLiteral("Falha ao receber a resposta do servidor de aplicação."));
    }
    if (reader.joinable()) {
        // What is left in the pipe is decoded meanwhile; the screen is kept painted.
        const std::future<void> finished = readDone.get_future();
        while (finished.wait_for(kPumpEvery) != std::future_status::ready) {
            if (pump)
                pump();
        }
        reader.join();
    }

    // A reply that broke reaches the reader as the TransportError of its reads, so the
    // reader's failure is the one to report.
    if (readFailure) {
        d->closeSocket();
        std::rethrow_exception(readFailure);
    }
    if (ioFailure)
        std::rethrow_exception(ioFailure);
    if (reply->ok() && !reply->resultCbor().isEmpty()) {
        // A small result, or one framed differently, is decoded here once whole.
        detail::ArraySource whole(reply->resultCbor());
        try {
            readResult(whole);
        } catch (...) {
            d->closeSocket();
            throw;
        }
        expectEnd(whole);
        return Reply::success({});
    }
    return std::move(*reply);
}

void Client::disconnect()
{
    d->closeSocket();
}

bool Client::isConnected() const
{
    return d->socket.is_open();
}

const QString &Client::host() const
{
    return d->host;
}

quint16 Client::port() const
{
    return d->port;
}

std::optional<CallLimits> announcedLimits(const QString &host, quint16 port)
{
    const std::string endpoint = endpointOf(host, port);
    std::lock_guard lock(g_limitsMutex);
    const auto it = g_limits.find(endpoint);
    if (it == g_limits.end())
        return std::nullopt;
    return it->second;
}

} // namespace fiscal::rpc

