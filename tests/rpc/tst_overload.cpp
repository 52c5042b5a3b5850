// Request bodies share one budget of memory: while one connection holds most of it, a body
// that would pass it is turned away with 503 before it is read, a smaller one still passes,
// and however the holding request ends (answered, its client gone, timed out) its share
// comes back, so the server never ends up refusing everything.

#include "serverfixture.h"

#include <functional>

namespace rpctest {
namespace {

std::string callOfSize(std::size_t bytes)
{
    const std::string shell = jsonCall("Nothing", R"([""])");
    return jsonCall("Nothing", "[\"" + std::string(bytes - shell.size(), 'x') + "\"]");
}

std::string postOfSize(std::size_t bytes)
{
    return rawhttp::post("/rpc/Test.rdmEcho", "application/json", callOfSize(bytes));
}

// The status of one request on a connection of its own.
int statusOf(std::uint16_t port, const std::string &request)
{
    rawhttp::Connection c(port);
    c.send(request);
    return c.read(15000).status;
}

// Polls until a request gets `status`: the server hands a share back on its own thread.
bool becomes(std::uint16_t port, const std::string &request, int status)
{
    for (int i = 0; i < 250; ++i) {
        if (statusOf(port, request) == status)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST_F(ServerTest, RequestBodiesShareABudgetOfMemory)
{
    constexpr std::size_t KiB = 1024;
    ServerOptions opt;
    opt.maxBodyBytes = 1024 * KiB;
    opt.maxBodiesBytes = 1024 * KiB;
    opt.readTimeout = std::chrono::milliseconds(6000);
    startServer(opt);

    const std::string held = callOfSize(700 * KiB);
    const std::string tooMuch = postOfSize(500 * KiB);
    const std::string chunked = "POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
                                "Transfer-Encoding: chunked\r\n\r\n4\r\nnull\r\n0\r\n\r\n";

    struct Case {
        const char *name;
        std::function<void(std::unique_ptr<rawhttp::Connection> &)> end;
    };
    const std::vector<Case> cases{
        {"the rest of the body arrives", [&](auto &holder) {
             holder->send(held.substr(held.size() / 2));
             EXPECT_EQ(holder->read().status, 200);
         }},
        {"its client leaves half-way", [](auto &holder) { holder.reset(); }},
        {"the rest never comes", [](auto &holder) { EXPECT_EQ(holder->read(15000).status, 408); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto holder = std::make_unique<rawhttp::Connection>(port);
        holder->send("POST /rpc/Test.rdmEcho HTTP/1.1\r\nHost: t\r\nContent-Type: application/json\r\n"
                     "Expect: 100-continue\r\nContent-Length: " + std::to_string(held.size()) + "\r\n\r\n");
        // The server takes the share before it asks for the body; read() waits out its time
        // after the interim answer.
        ASSERT_EQ(holder->read(1500).status, 100);
        holder->send(held.substr(0, held.size() / 2));

        rawhttp::Connection refused(port);
        refused.send(tooMuch);
        const rawhttp::Response busy = refused.read();
        EXPECT_EQ(busy.status, 503) << "a body past the budget was read";
        EXPECT_EQ(rawhttp::jsonErrorCode(busy.body), code::Unavailable);
        EXPECT_EQ(statusOf(port, chunked), 503) << "a chunked body counts as the largest";
        EXPECT_EQ(statusOf(port, postOfSize(200 * KiB)), 200) << "what fits still passes";

        c.end(holder);
        EXPECT_TRUE(becomes(port, postOfSize(1000 * KiB), 200)) << "the share did not come back";
    }
}

} // namespace
} // namespace rpctest
