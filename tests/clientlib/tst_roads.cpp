// The two roads of the client's lookups give the same data: every statement of the
// module's catalogue, and every table of the local cache, read straight from the database
// and through the application server, on each backend. A big list read through the server
// keeps the screen drawn while it arrives.
#include "clientlib/adoibquery.h"
#include "clientlib/dbgeral.h"
#include "clientlib/localcache.h"
#include "clientlib/settings.h"
#include "protocol/lookups.h"
#include "testsupport.h"

#include "qtprint.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

class RoadsTest : public ::testing::TestWithParam<test::Backend> {
protected:
    void SetUp() override
    {
        db = test::TestDb::create(GetParam());
        // A null in what the lookups read (the demo's names carry accents already).
        db->exec("UPDATE IMPOSTO SET IDORGARRECAD = NULL WHERE CDIMPOSTO = '02'");
        server = std::make_unique<test::ServerProcess>(db->url());
        Settings::instance().setServerHost(QStringLiteral("127.0.0.1"));
        Settings::instance().setServerPort(server->port());
    }
    void TearDown() override
    {
        Settings::instance().setDatabase(QString());
        dtmDBGeral().close();
        LocalCache::instance().clear();
    }
    void road(bool direct)
    {
        Settings::instance().setDatabase(direct ? QString::fromStdString(db->url()) : QString());
        dtmDBGeral().close();
        LocalCache::instance().clear();
    }

    std::unique_ptr<test::TestDb> db;
    std::unique_ptr<test::ServerProcess> server;
};

// Passes connections through to the server, but holds the answer back once `head` bytes
// of one have gone, until release() (or 30 s): what the client does between the two halves
// is what a user sees while a big list arrives.
class HoldingProxy {
public:
    HoldingProxy(int serverPort, size_t head) : m_serverPort(serverPort), m_head(head)
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(m_listen, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(m_listen, 1) != 0
            || ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            throw std::runtime_error("proxy: no port");
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~HoldingProxy()
    {
        release();
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    int port() const { return m_port; }
    bool headSent() const { return m_headSent; }
    bool releasedInTime() const { return m_releasedInTime; }
    void release()
    {
        std::lock_guard lock(m_mutex);
        m_released = true;
        m_wake.notify_all();
    }

private:
    // One connection after the other: the client's probe comes first.
    void run()
    {
        for (int client; (client = ::accept(m_listen, nullptr, nullptr)) >= 0;)
            serve(client);
    }
    void serve(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(quint16(m_serverPort));
        if (::connect(server, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            pump(client, server);
        ::close(server);
        ::close(client);
    }
    void pump(int client, int server)
    {
        size_t sent = 0;
        char buf[4096];
        for (;;) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 30000) <= 0)
                return;
            if (fds[0].revents) {
                const ssize_t n = ::read(client, buf, sizeof buf);
                if (n <= 0 || ::write(server, buf, size_t(n)) != n)
                    return;
            }
            if (!fds[1].revents)
                continue;
            if (sent >= m_head && !m_headSent) {
                m_headSent = true;
                std::unique_lock lock(m_mutex);
                m_releasedInTime = m_wake.wait_for(lock, std::chrono::seconds(30), [this] { return m_released; });
            }
            const ssize_t n = ::read(server, buf, std::min(sizeof buf, m_headSent ? sizeof buf : m_head - sent));
            if (n <= 0 || ::write(client, buf, size_t(n)) != n)
                return;
            sent += size_t(n);
        }
    }

    int m_serverPort;
    size_t m_head;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_headSent = false;
    std::atomic<bool> m_releasedInTime = false;
    bool m_released = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

enum class Values { CodesAndAll, CodesOnly, Unset };

dataset::DataPacket runLookup(const protocol::Lookup &l, Values values)
{
    TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    if (values != Values::Unset) {
        for (const char *p : l.params) {
            const std::string name = p;
            QString v = name.find("GRUPO") != std::string::npos ? QStringLiteral("012") : QStringLiteral("01");
            if (name.starts_with("P_T"))
                v = values == Values::CodesAndAll ? QStringLiteral("T") : QString();
            qry.ParamByName(QString::fromStdString(name)).setAsString(v);
        }
    }
    qry.Open();
    return qry.Data();
}

TEST_P(RoadsTest, EveryCatalogueStatementAnswersTheSameOnBothRoads)
{
    int withRows = 0;
    for (const protocol::Lookup &l : protocol::allLookups()) {
        for (Values values : {Values::CodesAndAll, Values::CodesOnly, Values::Unset}) {
            SCOPED_TRACE(std::string(l.name) + " values " + std::to_string(int(values)));
            road(true);
            dataset::DataPacket direct;
            ASSERT_NO_THROW(direct = runLookup(l, values));
            road(false);
            dataset::DataPacket remote;
            ASSERT_NO_THROW(remote = runLookup(l, values));
            EXPECT_EQ(remote.fields, direct.fields);
            EXPECT_EQ(remote.rows.size(), direct.rows.size());
            EXPECT_TRUE(remote == direct);
            withRows += direct.rows.isEmpty() ? 0 : 1;
        }
    }
    EXPECT_GT(withRows, int(protocol::allLookups().size())) << "most lookups must have rows to compare";
}

TEST_P(RoadsTest, TheLocalCacheReadsTheSameTablesOnBothRoads)
{
    for (const QString &key : LocalCache::tableKeys()) {
        SCOPED_TRACE(key.toStdString());
        road(true);
        dataset::DataPacket direct;
        ASSERT_NO_THROW(direct = LocalCache::instance().table(key));
        road(false);
        dataset::DataPacket remote;
        ASSERT_NO_THROW(AtualizaLocalCache({key}));
        EXPECT_FALSE(LocalCache::instance().isCached(key)) << "read again on its next use, through the server";
        ASSERT_NO_THROW(remote = LocalCache::instance().table(key));
        EXPECT_EQ(remote.fields, direct.fields);
        EXPECT_TRUE(remote == direct);
    }
}

// Without a database nor a server to ask, a lookup fails with a message, never empty data.
TEST_P(RoadsTest, AServerThatIsGoneIsAnErrorNotAnEmptyList)
{
    road(false);
    server->kill();
    const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kGruposFiscais);
    TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    EXPECT_THROW(qry.Open(), dataset::EDatabaseError);
    EXPECT_FALSE(qry.Active());
    AtualizaLocalCache({QStringLiteral("CLIENTE")});
    EXPECT_THROW(LocalCache::instance().table(QStringLiteral("CLIENTE")), dataset::EDatabaseError);
    EXPECT_FALSE(LocalCache::instance().isCached(QStringLiteral("CLIENTE")));
}

// The clients' list through the server: with the answer half arrived, the window is still
// painted (the rest is released only after a paint), and the list comes whole.
TEST_P(RoadsTest, AListArrivingThroughTheServerLeavesTheScreenDrawn)
{
    db->exec(std::string("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)"
                         " INSERT INTO CLIENTE (CDCLIENTE, IDTPIJURCLIE, NMRAZSOCCLIE, NRINSJURCLIE)")
             + " SELECT 'M' || CAST(i AS VARCHAR(10)), 'J', 'Cliente em massa', CAST(90000000 + i AS VARCHAR(20)) FROM n");
    const protocol::Lookup &l = protocol::findLookup(protocol::lookup::kClientes);
    const size_t expected = db->query(l.sql).size();

    road(false);
    HoldingProxy proxy(server->port(), 16 * 1024);
    Settings::instance().setServerPort(proxy.port());
    QWidget window;
    window.resize(300, 200);
    window.show();
    PaintCounter counter;
    window.installEventFilter(&counter);
    int paintsWhenHeld = -1;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &window, [&] {
        window.update();
        if (!proxy.headSent())
            return;
        if (paintsWhenHeld < 0)
            paintsWhenHeld = counter.paints;
        else if (counter.paints > paintsWhenHeld)
            proxy.release();
    });
    tick.start(5);

    TADOIBQuery qry;
    qry.setSQL(QString::fromUtf8(l.sql));
    qry.setConsulta(QString::fromUtf8(l.name));
    ASSERT_NO_THROW(qry.Open());
    EXPECT_TRUE(proxy.headSent()) << "the answer must be bigger than what the proxy lets through first";
    EXPECT_TRUE(proxy.releasedInTime()) << "no paint while the list was arriving";
    EXPECT_EQ(size_t(qry.rowCount()), expected);
}

INSTANTIATE_TEST_SUITE_P(Backends, RoadsTest, ::testing::ValuesIn(test::backendsUnderTest()),
                         test::BackendParamName());

} // namespace
