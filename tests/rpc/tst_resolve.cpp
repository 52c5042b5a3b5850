// Server names against a name server that never answers. The test runs in a mount and
// network namespace of its own, where /etc/resolv.conf names 127.0.0.1 and a socket there
// takes the queries and answers none: the resolver would wait 30 s.
#include "rpc/client.h"
#include "rpc/resolve.h"

#include <gtest/gtest.h>

#include <QString>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace fiscal::rpc;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_unavailable;   // why the silent name server could not be set up

bool fail(const char *what)
{
    g_unavailable = std::string(what) + ": " + std::strerror(errno);
    return false;
}

bool silenceTheNameServer()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return fail("unshare");
    // Private first, so the bind below never reaches the machine's own mounts.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return fail("mount --make-rprivate /");
    char conf[] = "/tmp/fiscal-resolv-XXXXXX";
    const int fd = ::mkstemp(conf);
    if (fd < 0)
        return fail("mkstemp");
    const std::string text = "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n";
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    const bool bound = written && ::mount(conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    ::unlink(conf);
    if (!bound)
        return fail("mount --bind /etc/resolv.conf");
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
        return fail("SIOCGIFFLAGS lo");
    ifr.ifr_flags |= IFF_UP;
    if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        return fail("SIOCSIFFLAGS lo");
    ::close(s);
    // Kept open to the end: queries are taken and never answered.
    const int dns = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (dns < 0 || ::bind(dns, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0)
        return fail("bind 127.0.0.1:53");
    return true;
}

// A name no hosts file has, under a domain kept for examples.
const std::string kSilentName = "servidor-fiscal.example";

// Well under the 30 s the resolver waits, well over the 1 s deadline.
constexpr auto kBound = std::chrono::seconds(10);

} // namespace

TEST(Resolve, TheDeadlineHoldsWhileTheNameServerIsSilent)
{
    if (!g_unavailable.empty())
        GTEST_SKIP() << g_unavailable;

    struct Case {
        const char *host;
        bool timesOut;
        std::optional<bool> pumps;   // none: either, as the machine's speed has it
    };
    const Case cases[] = {
        {"127.0.0.1", false, false},   // numeric: answered at once, no thread
        {"::1", false, false},
        {"localhost", false, std::nullopt},   // the hosts file answers before DNS
        {kSilentName.c_str(), true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        int pumps = 0;
        const auto start = Clock::now();
        const Resolution r = resolveUntil(c.host, "8080", start + std::chrono::seconds(1), [&] { ++pumps; });
        EXPECT_LT(Clock::now() - start, kBound);
        EXPECT_EQ(r.timedOut, c.timesOut);
        if (c.pumps) {
            EXPECT_EQ(pumps > 0, *c.pumps);
        }
        if (!c.timesOut) {
            EXPECT_EQ(r.error, 0);
            EXPECT_FALSE(r.addresses.empty());
        } else {
            EXPECT_EQ(resolutionErrorText(r), QStringLiteral("o servidor de nomes não respondeu a tempo"));
        }
    }
}

// Asked again while the first lookup still waits (every code box left opens a connection),
// the name is not looked up again: one thread waits on the resolver, not one per try.
TEST(Resolve, ASilentNameAskedAgainWaitsForTheLookupUnderWay)
{
    if (!g_unavailable.empty())
        GTEST_SKIP() << g_unavailable;
    const auto threads = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator{});
    };
    const std::string name = "outro-" + kSilentName;
    const auto before = threads();
    for (int i = 0; i < 5; ++i) {
        const Resolution r = resolveUntil(name, "8080", Clock::now() + std::chrono::milliseconds(200), {});
        EXPECT_TRUE(r.timedOut);
    }
    EXPECT_EQ(threads(), before + 1);
}

TEST(Resolve, ACallToASilentNameEndsAtItsTimeoutAndDrawsMeanwhile)
{
    if (!g_unavailable.empty())
        GTEST_SKIP() << g_unavailable;

    Client client(QString::fromStdString(kSilentName), 8080);
    int pumps = 0;
    client.pump = [&] { ++pumps; };
    const auto start = Clock::now();
    try {
        client.call(QStringLiteral("Test.rdmEcho"), QStringLiteral("Echo"), {}, 1000);
        ADD_FAILURE() << "a call to a name nobody answers for succeeded";
    } catch (const TransportError &e) {
        EXPECT_TRUE(e.message().contains(QLatin1String("servidor de nomes"))) << e.message().toStdString();
    }
    EXPECT_LT(Clock::now() - start, kBound);
    EXPECT_GT(pumps, 10);
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    silenceTheNameServer();
    return RUN_ALL_TESTS();
}
