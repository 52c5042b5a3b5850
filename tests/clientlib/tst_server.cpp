// The connection component, the result check and the wait animation against real
// servers on loopback: fiscal-server for the protocol, an in-process server for a call
// that takes its time.
#include "clientlib/checkresult.h"
#include "clientlib/netconnection.h"
#include "scriptedinteraction.h"
#include "clientlib/settings.h"
#include "clientlib/waitanimation.h"
#include "dataset/abort.h"
#include "dataset/packet.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>
#include "qtprint.h"

#include <gtest/gtest.h>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

class ServerTest : public ::testing::TestWithParam<test::Backend> {
protected:
    void SetUp() override
    {
        db = test::TestDb::create(GetParam());
        server = std::make_unique<test::ServerProcess>(db->url());
        Settings::instance().setServerHost(QStringLiteral("127.0.0.1"));
        Settings::instance().setServerPort(server->port());
        auto s = std::make_unique<ScriptedInteraction>();
        script = s.get();
        scope = std::make_unique<InteractionScope>(std::move(s));
        net.setServerName(QStringLiteral("Ger10200.rdmParamGrupFiscal"));
        net.BeforeConnect = [this](TNetConnection &c) {
            ++openings;
            c.setHost(WebURL());
            c.setPort(WebPort());
        };
    }

    std::unique_ptr<test::TestDb> db;
    std::unique_ptr<test::ServerProcess> server;
    ScriptedInteraction *script = nullptr;
    std::unique_ptr<InteractionScope> scope;
    TNetConnection net;
    int openings = 0;
};

TEST_P(ServerTest, CheckResultServPassesThePayloadOfASuccess)
{
    ASSERT_TRUE(net.setConnected(true));
    const rpc::Reply payload = CheckResultServ(net.call(QStringLiteral("GetGrupoFiscal"), {QString()}), true, 0);
    const dataset::DataPacket packet = dataset::DataPacket::readCbor(payload.resultCbor());
    ASSERT_EQ(packet.fields.size(), 2);
    EXPECT_EQ(packet.fields.at(0).name, QStringLiteral("CDGRUPOFISC"));
    EXPECT_EQ(packet.rows.size(), db->count("SELECT COUNT(*) FROM GRUPOFISCAL"));
    EXPECT_TRUE(script->shown().isEmpty());
}

TEST_P(ServerTest, CheckResultServNeverLetsAFailureThrough)
{
    ASSERT_TRUE(net.setConnected(true));
    struct Case { const char *method; QCborArray params; int code; };
    const Case cases[] = {
        {"GetGrupoFiscal", {QStringLiteral("12345")}, -32602},    // longer than the column
        {"GetGrupoFiscal", {}, -32602},                           // wrong argument count
        {"NaoExiste", {}, -32601},
    };
    for (const Case &c : cases) {
        const rpc::Reply reply = net.call(QString::fromUtf8(c.method), c.params);
        ASSERT_TRUE(reply.isError()) << c.method;
        EXPECT_EQ(reply.errorCode(), c.code) << c.method;
        script->clear();
        EXPECT_THROW(CheckResultServ(reply, true, 0), dataset::EAbort) << c.method;
        ASSERT_EQ(script->shown().size(), 1) << c.method;
        EXPECT_EQ(script->shown().at(0).messageType, mtError);
        EXPECT_EQ(script->shown().at(0).text, reply.errorMessage());
        EXPECT_FALSE(reply.errorMessage().isEmpty());
        // Without the box the caller gets the failure as an exception of its own.
        script->clear();
        try {
            CheckResultServ(reply, false, 0);
            ADD_FAILURE() << "a failure passed the check";
        } catch (const EServerError &e) {
            EXPECT_EQ(e.code(), c.code);
        }
        EXPECT_TRUE(script->shown().isEmpty());
    }
}

TEST_P(ServerTest, BeforeConnectRunsOnEveryOpeningAndCallsAreObserved)
{
    QStringList seen;
    auto previous = TNetConnection::setCallObserver([&](const QString &object, const QString &method, const QCborArray &p) {
        seen << object + QLatin1Char('.') + method + QLatin1Char('/') + QString::number(p.size());
    });
    ASSERT_TRUE(net.setConnected(true));
    net.setConnected(false);
    ASSERT_TRUE(net.setConnected(true));
    EXPECT_EQ(openings, 2);
    EXPECT_EQ(net.Host(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(net.Port(), int(server->port()));
    CheckResultServ(net.call(QStringLiteral("getgrupofiscal"), {QStringLiteral("001")}));
    TNetConnection::setCallObserver(previous);
    EXPECT_EQ(seen, QStringList{QStringLiteral("Ger10200.rdmParamGrupFiscal.getgrupofiscal/1")});
}

TEST_P(ServerTest, AStoppedServerIsAnErrorNotAHang)
{
    ASSERT_TRUE(net.setConnected(true));
    CheckResultServ(net.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("001")}));
    server->stop();

    // The call in flight on a dead server fails as a reply that the check reports.
    const rpc::Reply lost = net.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("001")});
    ASSERT_TRUE(lost.isError());
    EXPECT_EQ(lost.errorCode(), kTransportError);
    EXPECT_THROW(CheckResultServ(lost), dataset::EAbort);
    EXPECT_FALSE(net.Connected());

    // Opening again: the screens' setting shows the failure once and stays closed.
    script->clear();
    EXPECT_FALSE(net.setConnected(true));
    EXPECT_FALSE(net.Connected());
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_TRUE(script->messages().at(0).contains(QString::number(WebPort())));

    // A call on the closed connection tries to open it and fails as a reply, without a
    // second box of its own.
    script->clear();
    const rpc::Reply again = net.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("001")});
    EXPECT_EQ(again.errorCode(), kTransportError);
    EXPECT_TRUE(script->shown().isEmpty());

    net.setThrowException(true);
    EXPECT_THROW(net.setConnected(true), rpc::TransportError);
    EXPECT_THROW(net.call(QStringLiteral("GetGrupoFiscal"), {QString()}), rpc::TransportError);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerTest, ::testing::ValuesIn(test::backendsUnderTest()),
                         test::BackendParamName());

// A server whose one method takes its time, so the animation can be watched during a call.
class SlowServer {
public:
    SlowServer()
    {
        dispatcher.add("Teste.rdmLento", "Espera", [](const QCborArray &params, dataset::ValueWriter &w) {
            std::this_thread::sleep_for(std::chrono::milliseconds(params.at(0).toInteger()));
            w.string(std::string_view("pronto"));
        });
        server = std::make_unique<rpc::HttpServer>(dispatcher);
        server->start();
    }
    rpc::Dispatcher dispatcher;
    std::unique_ptr<rpc::HttpServer> server;
};

TEST(WaitAnimation, KeepsMovingDuringASynchronousCall)
{
    SlowServer slow;
    QWidget window;
    window.resize(600, 300);
    window.show();

    TNetConnection net;
    net.setServerName(QStringLiteral("Teste.rdmLento"));
    net.setHost(QStringLiteral("127.0.0.1"));
    net.setPort(slow.server->port());
    ASSERT_TRUE(net.setConnected(true));

    ActiveShowAvi(&window, 1, QStringLiteral("Atualizando dados..."));
    WaitAnimation *avi = currentWaitAnimation();
    ASSERT_NE(avi, nullptr);
    EXPECT_TRUE(avi->isVisible());
    EXPECT_EQ(avi->parentWidget(), &window);
    EXPECT_EQ(avi->text(), QStringLiteral("Atualizando dados..."));
    const int before = avi->frame();
    const rpc::Reply r = net.call(QStringLiteral("Espera"), {800});
    ASSERT_TRUE(r.ok()) << r.errorMessage().toStdString();
    EXPECT_EQ(r.value().toString(), QStringLiteral("pronto"));
    // The frames advanced while the caller waited for the answer.
    EXPECT_GE(avi->frame() - before, 3);
    DeactiveShowAvi();
    EXPECT_EQ(currentWaitAnimation(), nullptr);
}

// A server that takes each request and closes the connection without an answer.
class AnswerLost {
public:
    // `answer`: written back before the close (a proxy's own refusal), else nothing is.
    explicit AnswerLost(std::string answer = {})
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof at;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&at), size) != 0 || ::listen(m_listener, 8) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&at), &size) != 0)
            ADD_FAILURE() << "no listener";
        port = ntohs(at.sin_port);
        m_thread = std::thread([this, answer = std::move(answer)] {
            for (int c; (c = ::accept(m_listener, nullptr, nullptr)) >= 0;) {
                char request[8192];
                // Nothing from a probe, a request from a call.
                if (::recv(c, request, sizeof request, 0) > 0 && !answer.empty())
                    (void)::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                ::close(c);
            }
        });
    }
    ~AnswerLost()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    quint16 port = 0;

private:
    int m_listener = -1;
    std::thread m_thread;
};

// A call that writes, whose answer is lost, may have been applied: the message says so and
// where to look. Other calls keep the transport's own message.
TEST(NetConnection, AWriteWhoseAnswerIsLostMayHaveBeenApplied)
{
    AnswerLost server;
    // A proxy's page instead of the answer says itself what became of the request.
    AnswerLost proxy("HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/html\r\nContent-Length: 5\r\n"
                     "Connection: close\r\n\r\nbusy\n");
    const struct { const char *method; bool mayHaveWritten; bool byProxy = false; } cases[] = {
        {"Replica", true}, {"cadastroautomatico", true}, {"ImportaGrupos", true},
        {"SetCliente", true}, {"setTipoGest", true}, {"SetOperInter", true},
        {"SimulaReplica", false}, {"GetGrupoFiscal", false}, {"SetUpdateTipoFatur", false},
        {"SetCliente", false, true}, {"Replica", false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.method) + (c.byProxy ? " through a busy proxy" : ""));
        TNetConnection net;
        net.setServerName(QStringLiteral("Ger10200.rdmParamGrupFiscal"));
        net.setHost(QStringLiteral("127.0.0.1"));
        net.setPort(c.byProxy ? proxy.port : server.port);
        const rpc::Reply r = net.call(QString::fromLatin1(c.method), {});
        EXPECT_EQ(r.errorCode(), kTransportError);
        EXPECT_EQ(r.errorMessage().contains(QStringLiteral("pode ter sido gravada")), c.mayHaveWritten)
            << r.errorMessage().toStdString();
    }
}

// A station's token the server no longer takes (rotated, or its line removed): nobody signed
// in here, so no sign-in can mend it; the message says what to ask the administrator for.
TEST(NetConnection, AStationTokenTheServerNoLongerTakesSaysWhatToAskFor)
{
    auto db = test::TestDb::create(test::Backend::Sqlite);
    test::ServerOptions o;
    o.token = "token-atual-0123456789abcdef0123456789abcdef";
    test::ServerProcess server(db->url(), o);
    Settings::instance().setToken(QStringLiteral("token-antigo-0123456789abcdef0123456789abcdef"));
    TNetConnection net;
    net.setServerName(QStringLiteral("Ger10200.rdmParamGrupFiscal"));
    net.setHost(QStringLiteral("127.0.0.1"));
    net.setPort(server.port());
    const rpc::Reply r = net.call(QStringLiteral("GetGrupoFiscal"), {QString()});
    Settings::instance().setToken(QString());
    EXPECT_EQ(r.errorCode(), rpc::code::Unauthorized);
    EXPECT_TRUE(r.errorMessage().contains(QStringLiteral("token de acesso desta estação"))) << r.errorMessage().toStdString();
}

// A desktop waits for a call as long as the server may work on it, as the server names its
// limits, and a little more for the answer that says it gave up; a time-out set on the
// connection stays for all but bulk work.
TEST(NetConnection, WaitsAsLongAsTheServerMayWork)
{
    auto db = test::TestDb::create(test::Backend::Sqlite, test::Demo::None);
    test::ServerProcess server(db->url(), {.extraArgs = {"--read-limit", "200", "--save-limit", "250",
                                                        "--bulk-limit", "1800"}});
    TNetConnection plain, set;
    for (TNetConnection *net : {&plain, &set}) {
        net->setServerName(QStringLiteral("Ger10200.rdmParamGrupFiscal"));
        net->setHost(QStringLiteral("127.0.0.1"));
        net->setPort(server.port());
    }
    set.setTimeoutMs(1500);
    const struct { TNetConnection *net; const char *method; int before, after; } cases[] = {
        {&plain, "GetGrupoFiscal", 120000, 265000},      // the longer of a read and a save
        {&plain, "SetCliente", 120000, 265000},
        {&plain, "Replica", 960000, 1860000},
        {&set, "GetGrupoFiscal", 1500, 1500},
        {&set, "Replica", 960000, 1860000},             // learnt from the other's answer
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.net->TimeoutFor(QString::fromLatin1(c.method)), c.before) << c.method;
    ASSERT_TRUE(plain.call(QStringLiteral("GetGrupoFiscal"), {QStringLiteral("001")}).ok());
    for (const auto &c : cases)
        EXPECT_EQ(c.net->TimeoutFor(QString::fromLatin1(c.method)), c.after) << c.method;
}

// A server whose connection requests are dropped (a machine turned off, a firewall): the
// animation goes on while the connection is tried, and the time given is the whole wait.
TEST(WaitAnimation, KeepsMovingWhileAServerThatDropsPacketsIsTried)
{
    // A listener whose queue is full: the kernel drops the next connection requests.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&at), size), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&at), &size), 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr *>(&at), size), 0);

    QWidget window;
    window.show();
    TNetConnection net;
    net.setServerName(QStringLiteral("Teste.rdmLento"));
    net.setHost(QStringLiteral("127.0.0.1"));
    net.setPort(ntohs(at.sin_port));
    net.setTimeoutMs(1500);
    ActiveShowAvi(&window, 0, QStringLiteral("Conectando..."));
    WaitAnimation *avi = currentWaitAnimation();
    ASSERT_NE(avi, nullptr);
    const int before = avi->frame();
    const rpc::Reply r = net.call(QStringLiteral("Espera"), {1});
    EXPECT_EQ(r.errorCode(), kTransportError);
    EXPECT_GE(avi->frame() - before, 3) << "the window stood still while the server was tried";
    DeactiveShowAvi();
    ::close(queued);
    ::close(listener);
}

TEST(WaitAnimation, OneAtATimeAndGoneWithItsScopeOrOwner)
{
    auto *window = new QWidget;
    window->show();
    {
        WaitScope wait(window, 0, QStringLiteral("Conectando..."));
        ActiveShowAvi(window, 6, QStringLiteral("Recebendo dados..."));
        ASSERT_NE(currentWaitAnimation(), nullptr);
        EXPECT_EQ(currentWaitAnimation()->kind(), 6);
        EXPECT_EQ(window->findChildren<WaitAnimation *>().size(), 1);
    }
    EXPECT_EQ(currentWaitAnimation(), nullptr);
    ActiveShowAvi(window, 1, QStringLiteral("Atualizando dados..."));
    delete window;   // a screen closing under its animation takes it along
    EXPECT_EQ(currentWaitAnimation(), nullptr);
    DeactiveShowAvi();   // harmless when nothing is shown
}

} // namespace
