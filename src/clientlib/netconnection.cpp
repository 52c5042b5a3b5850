#include "clientlib/netconnection.h"

#include "clientlib/usersession.h"
#include "rpc/dispatcher.h"

#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/settings.h"
#include "clientlib/waitloop.h"
#include "protocol/objects.h"
#include "rpc/calllimits.h"
#include "rpc/client.h"
#include "rpc/resolve.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <fcntl.h>
#include <netdb.h>
#include <string>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace fiscal::clientlib {

namespace {

using rpc::Resolution;
using rpc::ResolvedAddress;
using rpc::resolutionErrorText;
using rpc::resolveUntil;

TNetConnection::CallObserver &observer()
{
    static TNetConnection::CallObserver o;
    return o;
}

// Opening a connection proves the server is there: one TCP connect with a deadline,
// so a stopped server is reported at once instead of at the first call. One deadline for
// the name's resolution and every address it has, and the window is drawn meanwhile (a server whose packets are
// dropped takes the whole of it), as a call's wait draws it.
bool probe(const QString &host, int port, int timeoutMs, QString &error)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const Resolution resolved = resolveUntil(host.toStdString(), std::to_string(port), deadline,
                                             pumpWithoutInput, rpc::Client::kPumpEvery);
    if (resolved.timedOut || resolved.error != 0) {
        error = resolved.error == EAI_NONAME
                    ? QStringLiteral("Servidor de aplicação desconhecido: %1 (%2).").arg(host, resolutionErrorText(resolved))
                    : QStringLiteral("Não foi possível encontrar o servidor de aplicação %1: %2.")
                          .arg(host, resolutionErrorText(resolved));
        return false;
    }
    bool ok = false;
    int lastErrno = 0;
    for (auto ai = resolved.addresses.begin(); ai != resolved.addresses.end() && !ok; ++ai) {
        const int fd = ::socket(ai->family, ai->socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&ai->address), ai->length) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            int ready = 0;
            for (;;) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    break;
                ready = ::poll(&pfd, 1, int(std::min<std::int64_t>(left.count(), rpc::Client::kPumpEvery.count())));
                if (ready != 0 && !(ready < 0 && errno == EINTR))
                    break;
                pumpWithoutInput();
            }
            if (ready == 1) {
                int soError = 0;
                socklen_t len = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                ok = soError == 0;
                lastErrno = soError;
            } else {
                lastErrno = ETIMEDOUT;
            }
        } else {
            lastErrno = errno;
        }
        ::close(fd);
    }
    if (!ok) {
        error = QStringLiteral("Não foi possível conectar ao servidor de aplicação %1:%2 (%3).")
                    .arg(host).arg(port).arg(rpc::networkErrorText(lastErrno));
    }
    return ok;
}

} // namespace

TNetConnection::TNetConnection(QObject *parent)
    : QObject(parent), m_token(Settings::instance().token()), m_tls(Settings::instance().serverTls()),
      m_caFile(Settings::instance().caFile())
{
}

TNetConnection::~TNetConnection() = default;

TNetConnection::CallObserver TNetConnection::setCallObserver(CallObserver o)
{
    CallObserver previous = std::move(observer());
    observer() = std::move(o);
    return previous;
}

bool TNetConnection::fail(const QString &message, bool report)
{
    m_lastError = message;
    if (m_throwException) {
        throw rpc::TransportError(message);
    }
    if (report) {
        interaction().message(mtError, messageTitle(mtError), message, mbOK, dialogParent(this));
    }
    return false;
}

bool TNetConnection::setConnected(bool connected)
{
    if (connected == Connected()) {
        return true;
    }
    if (!connected) {
        m_client.reset();
        Q_EMIT connectedChanged(false);
        return true;
    }
    return open(true);
}

bool TNetConnection::open(bool report)
{
    if (BeforeConnect) {
        BeforeConnect(*this);
    }
    if (m_serverName.trimmed().isEmpty()) {
        return fail(QStringLiteral("Conexão sem o nome do objeto do servidor de aplicação."), report);
    }
    if (m_host.trimmed().isEmpty() || m_port <= 0 || m_port > 65535) {
        return fail(QStringLiteral("Endereço do servidor de aplicação não configurado (servidor \"%1\", porta %2).")
                        .arg(m_host).arg(m_port), report);
    }
    QString error;
    // The window is drawn while the server is tried: no call may start on this connection
    // meanwhile.
    const bool wasCalling = std::exchange(m_calling, true);
    const bool reached = probe(m_host, m_port, qMin(m_timeoutMs, 10000), error);
    m_calling = wasCalling;
    if (!reached) {
        return fail(error, report);
    }
    m_client = std::make_unique<rpc::Client>(m_host, quint16(m_port), m_token, rpc::TlsOptions{m_tls, m_caFile});
    m_client->setUser(Settings::instance().user());
    m_client->pump = pumpWithoutInput;
    m_lastError.clear();
    Q_EMIT connectedChanged(true);
    return true;
}

namespace {

bool oneOf(const QString &method, std::initializer_list<const char *> names)
{
    for (const char *m : names) {
        if (method.compare(QLatin1String(m), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// The calls that write, whose answer lost on the way may hide work done: the user must not
// take it for work not done (a save's change, still pending on the screen, would be sent
// again and refused as changed by someone else). The undo says so on its own screen.
QString mayHaveBeenWritten(const QString &method)
{
    using namespace protocol::method;
    if (oneOf(method, {Replica, CadastroAutomatico, CadAutoImpInscEsta, ImportaGrupos})) {
        return QStringLiteral("\n\nSe o servidor chegou a receber o pedido, a operação pode ter sido gravada "
                              "antes de a resposta se perder: confira nas abas o que ficou gravado.");
    }
    if (oneOf(method, {SetFornecedor, SetCliente, SetFilial, SetTipoOperac, SetTipoFatur, SetTipoGest,
                       SetImpFili, SetFornInsc, SetCliInsc, SetOperInter})) {
        return QStringLiteral("\n\nSe o servidor chegou a receber o pedido, a alteração pode ter sido gravada "
                              "antes de a resposta se perder: atualize a aba para conferir o que ficou gravado.");
    }
    return {};
}

} // namespace

int TNetConnection::TimeoutFor(const QString &method) const
{
    // Giving up before the server does would leave the user with "não respondeu" for work
    // the server was still doing (and then rolls back); waiting a little past its limit
    // brings the server's own answer, which says why it gave up.
    using std::chrono::seconds;
    const std::optional<rpc::CallLimits> announced = rpc::announcedLimits(m_host, quint16(m_port));
    const rpc::CallLimits limits = announced.value_or(rpc::CallLimits{});
    std::chrono::milliseconds wait;
    if (protocol::method::isBulk(method.toStdString()))
        wait = limits.bulk + seconds(60);
    else if (announced && !m_timeoutSet)
        wait = std::max(limits.read, limits.save) + seconds(15);
    else
        return m_timeoutMs;
    return int(std::clamp<long long>(wait.count(), m_timeoutMs, std::numeric_limits<int>::max()));
}

rpc::Reply TNetConnection::call(const QString &method, const QCborArray &params)
{
    return exchange(method, params, [&](rpc::Client &client) {
        return client.call(m_serverName, method, params, TimeoutFor(method));
    });
}

rpc::Reply TNetConnection::call(const QString &method, const QCborArray &params, rpc::StreamedParam &last)
{
    return exchange(method, params, [&](rpc::Client &client) {
        return client.call(m_serverName, method, params, last, TimeoutFor(method));
    });
}

rpc::Reply TNetConnection::call(const QString &method, const QCborArray &params,
                                const ResultReader &readResult)
{
    return exchange(method, params, [&](rpc::Client &client) {
        return client.call(m_serverName, method, params, readResult, TimeoutFor(method));
    });
}

rpc::Reply TNetConnection::exchange(const QString &method, const QCborArray &params,
                                    const std::function<rpc::Reply(rpc::Client &)> &send)
{
    if (observer()) {
        observer()(m_serverName, method, params);
    }
    if (m_calling) {
        // A timer firing inside the wait loop must not start a second exchange on the
        // same connection.
        const QString busy = QStringLiteral("Outra chamada ao servidor de aplicação ainda está em andamento.");
        if (m_throwException) {
            throw rpc::TransportError(busy);
        }
        return rpc::Reply::failure(kTransportError, busy);
    }
    struct Calling {
        bool &flag;
        explicit Calling(bool &f) : flag(f) { flag = true; }
        ~Calling() { flag = false; }
    } calling(m_calling);
    if (!m_client) {
        // The failed reply carries the reason; CheckResultServ shows it once.
        if (!open(false)) {
            return rpc::Reply::failure(kTransportError, m_lastError);
        }
    }
    try {
        rpc::Reply reply = send(*m_client);
        // The session ended: nothing ran on the server. Once signed in again the call goes
        // again, once; a second refusal comes back as it is. A sign-in another connection
        // made since this one opened is used without asking again.
        UserSession &session = UserSession::instance();
        const auto signedInElsewhere = [this] {
            const QString current = Settings::instance().token();
            return !current.isEmpty() && current != m_token;
        };
        if (!reply.ok() && reply.errorCode() == rpc::code::Unauthorized
            && (signedInElsewhere() || (session.renew && session.renew()))) {
            m_token = Settings::instance().token();
            m_client.reset();
            if (!open(false))
                return rpc::Reply::failure(kTransportError, m_lastError);
            reply = send(*m_client);
        }
        // Nobody signed in here: the refusal is of the station's own token (rotated, or its
        // line removed on the server), and there is no sign-in to offer instead.
        if (!reply.ok() && reply.errorCode() == rpc::code::Unauthorized && !session.signedIn() && !m_token.isEmpty())
            return rpc::Reply::failure(rpc::code::Unauthorized,
                                       QStringLiteral("O servidor de aplicação não aceita mais o token de acesso desta"
                                                      " estação (token em [server] do erp-host.ini). Peça ao"
                                                      " administrador o token atual."));
        return reply;
    } catch (const rpc::TransportError &e) {
        // The next call opens anew (and runs BeforeConnect again).
        m_client.reset();
        Q_EMIT connectedChanged(false);
        m_lastError = e.message();
        const QString message = e.answered() ? e.message() : e.message() + mayHaveBeenWritten(method);
        if (m_throwException) {
            throw rpc::TransportError(message);
        }
        return rpc::Reply::failure(kTransportError, message);
    }
}

} // namespace fiscal::clientlib
