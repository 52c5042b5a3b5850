// Overload: what fiscal-server does with more than it can serve, seen from outside. A
// thousand connections at once, a flood of calls on kept connections, clients that send a
// byte a second while others work, and bodies larger than memory should hold. For each: the
// calls answered, refused (HTTP 503, -32003) and lost (closed or reset without an answer, or
// no answer within a minute), how long they took, the server's peak memory, and a call once
// the load is over. A fresh server per scenario. The figures go to docs/reliability.md.
//
//   bench_overload --server EXE --db FILE [--out FILE] [--workers 4] [--scale 1.0]
//
// --scale multiplies the counts and durations (0.2 for a quick look).

#include "benchsupport.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

using namespace fiscal;
using namespace fiscal::bench;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

std::string request(const std::string &method, const std::string &paramsJson)
{
    const std::string body = R"({"jsonrpc":"2.0","id":1,"method":")" + method + R"(","params":)" + paramsJson + "}";
    return "POST /rpc/" + kParamGrupFiscal + " HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kSmallCall = request("GetGrupoFiscal", R"(["001"])");
const std::string kLargeCall = request("GetFornecedor", "[]");

// What became of the calls of a scenario.
struct Tally {
    std::vector<double> answered, refused;
    int lost = 0;
    std::map<int, int> otherStatus;   // neither 200 nor 503 (408, 413...)

    void answer(unsigned status, const std::string &body, double seconds)
    {
        if (status == 200) {
            answered.push_back(seconds);
        } else if (status == 503) {
            const QJsonObject error = QJsonDocument::fromJson(QByteArray::fromStdString(body)).object()
                                          .value(QStringLiteral("error")).toObject();
            if (error.value(QStringLiteral("code")).toInt() != -32003)
                ++otherStatus[503];
            else
                refused.push_back(seconds);
        } else {
            ++otherStatus[int(status)];
        }
    }
    int calls() const
    {
        int n = int(answered.size() + refused.size()) + lost;
        for (const auto &[status, count] : otherStatus)
            n += count;
        return n;
    }
};

// The server's resident memory, sampled while a scenario runs.
class MemorySampler {
public:
    explicit MemorySampler(pid_t pid) : m_thread([this, pid] {
        while (!m_stop) {
            m_peak = std::max(m_peak.load(), residentKiB(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }) {}
    ~MemorySampler() { finish(); }
    long finish()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak;
    }
private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_peak{0};
    std::thread m_thread;
};

// One connection that sends requests one after the other (keep-alive) until `more()` says
// stop, reconnecting when the server closes it. Every exchange ends in the tally.
class Caller : public std::enable_shared_from_this<Caller> {
public:
    Caller(net::io_context &ioc, tcp::endpoint at, Tally &tally, std::function<const std::string *()> next)
        : m_socket(ioc), m_timer(ioc), m_at(at), m_tally(tally), m_next(std::move(next)) {}

    void start() { connect(); }

private:
    void connect()
    {
        m_request = m_next();
        if (!m_request)
            return;
        m_t0 = Clock::now();
        arm();
        beast::error_code ignored;
        m_socket.close(ignored);
        m_socket.async_connect(m_at, [self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return self->lost();
            self->send();
        });
    }
    void send()
    {
        net::async_write(m_socket, net::buffer(*m_request), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->lost();
            self->m_parser.emplace();
            self->m_parser->body_limit(std::uint64_t(1) << 30);
            http::async_read(self->m_socket, self->m_buffer, *self->m_parser,
                             [self](beast::error_code e, std::size_t) { self->received(e); });
        });
    }
    void received(beast::error_code ec)
    {
        if (ec)
            return lost();
        m_timer.cancel();
        auto &res = m_parser->get();
        m_tally.answer(res.result_int(), res.body(), secondsSince(m_t0));
        const bool keep = res.keep_alive();
        m_request = m_next();
        if (!m_request)
            return;
        if (!keep)
            return connect();
        m_t0 = Clock::now();
        arm();
        send();
    }
    void lost()
    {
        m_timer.cancel();
        ++m_tally.lost;
        m_buffer.clear();
        connect();
    }
    // No answer within a minute counts as lost.
    void arm()
    {
        m_timer.expires_after(std::chrono::seconds(60));
        m_timer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                beast::error_code ignored;
                self->m_socket.close(ignored);
            }
        });
    }

    tcp::socket m_socket;
    net::steady_timer m_timer;
    tcp::endpoint m_at;
    Tally &m_tally;
    std::function<const std::string *()> m_next;
    const std::string *m_request = nullptr;
    beast::flat_buffer m_buffer;
    std::optional<http::response_parser<http::string_body>> m_parser;
    Clock::time_point m_t0;
};

// One GetGrupoFiscal on a connection of its own.
void callOnce(net::io_context &ioc, tcp::endpoint at, Tally &tally)
{
    auto sent = std::make_shared<bool>(false);
    std::make_shared<Caller>(ioc, at, tally, [sent]() -> const std::string * {
        return std::exchange(*sent, true) ? nullptr : &kSmallCall;
    })->start();
}

// A client that sends a request one byte a second and never finishes it; notes when the
// server ends the connection.
class SlowSender : public std::enable_shared_from_this<SlowSender> {
public:
    SlowSender(net::io_context &ioc, tcp::endpoint at, std::vector<double> &closedAfter)
        : m_socket(ioc), m_timer(ioc), m_at(at), m_closedAfter(closedAfter) {}
    void start()
    {
        m_t0 = Clock::now();
        m_socket.async_connect(m_at, [self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return self->closed();
            self->watch();
            self->drip();
        });
    }
    void stop()
    {
        beast::error_code ignored;
        m_done = true;
        m_timer.cancel();
        m_socket.close(ignored);
    }
private:
    void drip()
    {
        if (m_done || m_sent >= kSmallCall.size() - 1)
            return;
        net::async_write(m_socket, net::buffer(&kSmallCall[m_sent++], 1), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->closed();
            self->m_timer.expires_after(std::chrono::seconds(1));
            self->m_timer.async_wait([self](beast::error_code e) {
                if (!e)
                    self->drip();
            });
        });
    }
    void watch()
    {
        m_socket.async_read_some(net::buffer(m_scratch), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->closed();
            self->watch();
        });
    }
    void closed()
    {
        if (m_done)
            return;
        m_done = true;
        m_timer.cancel();
        m_closedAfter.push_back(secondsSince(m_t0));
    }
    tcp::socket m_socket;
    net::steady_timer m_timer;
    tcp::endpoint m_at;
    std::vector<double> &m_closedAfter;
    std::size_t m_sent = 0;
    bool m_done = false;
    std::array<char, 4096> m_scratch;
    Clock::time_point m_t0;
};

// A request with a body of `bytes` zeros, sent as fast as the server takes it.
class BigBody : public std::enable_shared_from_this<BigBody> {
public:
    BigBody(net::io_context &ioc, tcp::endpoint at, std::size_t bytes, Tally &tally)
        : m_socket(ioc), m_at(at), m_left(bytes), m_tally(tally), m_zeros(std::size_t(1) << 20, '0')
    {
        m_head = "POST /rpc/" + kParamGrupFiscal + " HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\n"
                 "Content-Length: " + std::to_string(bytes) + "\r\n\r\n";
    }
    void start()
    {
        m_t0 = Clock::now();
        m_socket.async_connect(m_at, [self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return void(++self->m_tally.lost);
            self->read();
            net::async_write(self->m_socket, net::buffer(self->m_head), [self](beast::error_code e, std::size_t) {
                if (!e)
                    self->pour();
            });
        });
    }
private:
    void pour()
    {
        if (m_left == 0 || m_answered)
            return;
        const std::size_t n = std::min(m_left, m_zeros.size());
        m_left -= n;
        net::async_write(m_socket, net::buffer(m_zeros.data(), n), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (!ec)
                self->pour();
        });
    }
    void read()
    {
        m_parser.emplace();
        http::async_read(m_socket, m_buffer, *m_parser, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->m_answered = true;
            if (ec)
                return void(++self->m_tally.lost);
            self->m_tally.answer(self->m_parser->get().result_int(), self->m_parser->get().body(), secondsSince(self->m_t0));
            beast::error_code ignored;
            self->m_socket.close(ignored);
        });
    }
    tcp::socket m_socket;
    tcp::endpoint m_at;
    std::size_t m_left;
    Tally &m_tally;
    std::string m_zeros, m_head;
    beast::flat_buffer m_buffer;
    std::optional<http::response_parser<http::string_body>> m_parser;
    bool m_answered = false;
    Clock::time_point m_t0;
};

struct Scenario {
    std::string name;
    Tally tally;
    long baseKiB = 0, peakKiB = 0, afterKiB = 0;
    double afterSeconds = -1;   // one call once the load is over; -1: it failed
    std::string note;
};

// One GetGrupoFiscal on a new connection after the load: the server has recovered.
void afterTheLoad(Scenario &s, const ServerChild &server)
{
    rpc::Client client(QStringLiteral("127.0.0.1"), server.port());
    const auto t0 = Clock::now();
    try {
        callOk(client, kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("001")});
        s.afterSeconds = secondsSince(t0);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_overload: %s: the call after the load failed: %s\n", s.name.c_str(), e.what());
    }
    s.afterKiB = residentKiB(server.pid());
}

std::string latencies(const std::vector<double> &s)
{
    if (s.empty())
        return "–";
    return fmtMs(median(s)) + " / " + fmtMs(percentile(s, 99)) + " / " + fmtMs(*std::max_element(s.begin(), s.end()));
}

void write(const std::vector<Scenario> &all, const Options &o, int workers)
{
    std::ostringstream out;
    out << "### Overload (SQLite, " << workers << " serving threads)\n\n"
        << "| Load | Calls | Answered | Refused (503) | Lost | Other | Answered: median / p99 / max | Refused: median / p99 / max "
           "| Server memory: idle → peak | After the load: one call, memory |\n"
        << "|---|---|---|---|---|---|---|---|---|---|\n";
    for (const Scenario &s : all) {
        std::string other;
        for (const auto &[status, count] : s.tally.otherStatus)
            other += (other.empty() ? "" : ", ") + std::to_string(count) + " × " + std::to_string(status);
        out << "| " << s.name << " | " << s.tally.calls() << " | " << s.tally.answered.size() << " | "
            << s.tally.refused.size() << " | " << s.tally.lost << " | " << (other.empty() ? "0" : other) << " | "
            << latencies(s.tally.answered) << " | " << latencies(s.tally.refused) << " | " << fmtMiB(s.baseKiB)
            << " → " << fmtMiB(s.peakKiB) << " | "
            << (s.afterSeconds < 0 ? std::string("failed") : fmtMs(s.afterSeconds)) << ", " << fmtMiB(s.afterKiB)
            << " |\n";
    }
    out << "\n";
    for (const Scenario &s : all)
        if (!s.note.empty())
            out << "- " << s.name << ": " << s.note << "\n";
    out << "\n";
    const std::string path = o.get("out");
    if (path.empty()) {
        std::fputs(out.str().c_str(), stdout);
    } else {
        std::ofstream f(path, std::ios::app);
        f << out.str();
    }
}

template <class Load>
Scenario run(const Options &o, int workers, const std::string &name, Load load)
{
    Scenario s;
    s.name = name;
    ServerChild server(o.require("server"), o.require("db"), workers);
    tcp::endpoint at(net::ip::make_address("127.0.0.1"), server.port());
    afterTheLoad(s, server);   // warms the server up; its memory is the idle figure
    s.baseKiB = residentKiB(server.pid());
    {
        MemorySampler memory(server.pid());
        load(s, at);
        s.peakKiB = memory.finish();
    }
    afterTheLoad(s, server);
    std::fprintf(stderr, "bench_overload: %s: %d calls, %zu answered, %zu refused, %d lost\n", name.c_str(),
                 s.tally.calls(), s.tally.answered.size(), s.tally.refused.size(), s.tally.lost);
    return s;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Options o = Options::parse(argc, argv);
        const int workers = o.integer("workers", 4);
        const double scale = o.number("scale", 1.0);
        const auto scaled = [&](double n) { return std::max(1, int(n * scale)); };
        std::vector<Scenario> all;

        const int burst = scaled(1000);
        all.push_back(run(o, workers, std::to_string(burst) + " connections at once, one call each",
                          [&](Scenario &s, tcp::endpoint at) {
            net::io_context ioc;
            for (int i = 0; i < burst; ++i)
                callOnce(ioc, at, s.tally);
            ioc.run();
        }));

        const int flooders = scaled(256);
        const double floodSeconds = 15 * scale;
        all.push_back(run(o, workers, std::to_string(flooders) + " kept connections calling without pause for "
                                          + fmtSeconds(floodSeconds) + " (one call in ten reads every supplier)",
                          [&](Scenario &s, tcp::endpoint at) {
            net::io_context ioc;
            const Deadline end(floodSeconds);
            for (int i = 0; i < flooders; ++i) {
                auto n = std::make_shared<int>(i);
                std::make_shared<Caller>(ioc, at, s.tally, [n, &end]() -> const std::string * {
                    if (end.passed())
                        return nullptr;
                    return ++*n % 10 == 0 ? &kLargeCall : &kSmallCall;
                })->start();
            }
            ioc.run();
            s.note = fmtNumber(double(s.tally.answered.size()) / floodSeconds, 0) + " calls answered a second";
        }));

        const int slow = scaled(600);
        const double slowSeconds = 40 * scale;
        all.push_back(run(o, workers, std::to_string(slow) + " clients sending a byte a second for "
                                          + fmtSeconds(slowSeconds) + ", while one client calls every 100 ms on a new connection",
                          [&](Scenario &s, tcp::endpoint at) {
            net::io_context ioc;
            std::vector<double> closedAfter;
            std::vector<std::shared_ptr<SlowSender>> senders;
            for (int i = 0; i < slow; ++i) {
                senders.push_back(std::make_shared<SlowSender>(ioc, at, closedAfter));
                senders.back()->start();
            }
            // The well-behaved client: a call every 100 ms, each on a new connection.
            net::steady_timer tick(ioc);
            const Deadline end(slowSeconds);
            std::function<void()> next = [&] {
                if (end.passed()) {
                    for (auto &sender : senders)
                        sender->stop();
                    return;
                }
                callOnce(ioc, at, s.tally);
                tick.expires_after(std::chrono::milliseconds(100));
                tick.async_wait([&](beast::error_code ec) {
                    if (!ec)
                        next();
                });
            };
            next();
            ioc.run();
            s.note = "the counts are the well-behaved client's calls; the server closed " + std::to_string(closedAfter.size())
                     + " of the slow connections" + (closedAfter.empty() ? "" : ", after " + fmtSeconds(median(closedAfter))
                                                      + " (median)");
        }));

        const int bodies = scaled(32);
        const std::size_t bodyBytes = std::size_t(60) << 20;
        all.push_back(run(o, workers, std::to_string(bodies) + " requests of 60 MiB at once",
                          [&](Scenario &s, tcp::endpoint at) {
            net::io_context ioc;
            for (int i = 0; i < bodies; ++i)
                std::make_shared<BigBody>(ioc, at, bodyBytes, s.tally)->start();
            ioc.run();
            s.note = "each body is within the 64 MiB a request may have; they are not JSON, so an answered one is -32700";
        }));

        write(all, o, workers);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_overload: %s\n", e.what());
        return 1;
    }
}
