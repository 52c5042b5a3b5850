#include "rawhttp.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace rawhttp {

Connection::Connection(std::uint16_t port)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(m_fd);
        throw std::runtime_error("connect failed");
    }
}

Connection::~Connection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Connection::send(const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

void Connection::halfClose()
{
    ::shutdown(m_fd, SHUT_WR);
}

bool Connection::fill(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r <= 0)
        return false;
    char buf[65536];
    const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0)
        return false;
    m_pending.append(buf, std::size_t(n));
    return true;
}

Response Connection::read(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto left = [&] {
        return int(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    };
    Response res;
    for (;;) {
        std::size_t end;
        while ((end = m_pending.find("\r\n\r\n")) == std::string::npos)
            if (!fill(left()))
                return res;
        const std::string head = m_pending.substr(0, end);
        m_pending.erase(0, end + 4);
        const std::size_t sp = head.find(' ');
        res.status = std::stoi(head.substr(sp + 1, 3));
        res.headers.clear();
        std::size_t pos = head.find("\r\n");
        while (pos != std::string::npos) {
            const std::size_t next = head.find("\r\n", pos + 2);
            const std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char &c : name)
                    c = char(std::tolower(static_cast<unsigned char>(c)));
                std::string value = line.substr(colon + 1);
                while (!value.empty() && value.front() == ' ')
                    value.erase(0, 1);
                res.headers[name] = value;
            }
            pos = next;
        }
        if (res.status == 100)   // interim answer to Expect: 100-continue
            continue;
        break;
    }
    if (res.status == 204 || res.status == 304)
        return res;   // never a body
    const auto cl = res.headers.find("content-length");
    if (cl != res.headers.end()) {
        const std::size_t length = std::stoul(cl->second);
        while (m_pending.size() < length)
            if (!fill(left()))
                break;
        res.body = m_pending.substr(0, length);
        m_pending.erase(0, std::min(length, m_pending.size()));
    } else if (const auto te = res.headers.find("transfer-encoding");
               te != res.headers.end() && te->second == "chunked") {
        // Up to the last chunk, so that a request sent behind it can be answered too; the
        // body keeps its chunked form (chunkedPayload).
        static const std::string kLast = "\r\n0\r\n\r\n";
        std::size_t last;
        while ((last = m_pending.find(kLast)) == std::string::npos && fill(left())) {}
        const std::size_t length = last == std::string::npos ? m_pending.size() : last + kLast.size();
        res.body = m_pending.substr(0, length);
        m_pending.erase(0, length);
    } else {
        while (fill(left())) {}
        res.body = std::move(m_pending);
        m_pending.clear();
    }
    return res;
}

bool Connection::readable(int timeoutMs)
{
    pollfd p{m_fd, POLLIN, 0};
    return !m_pending.empty() || ::poll(&p, 1, timeoutMs) > 0;
}

bool Connection::closedByPeer(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
    }
}

std::string post(const std::string &target, const std::string &contentType,
                 const std::string &body, const std::string &extraHeaders)
{
    return "POST " + target + " HTTP/1.1\r\nHost: test\r\nContent-Type: " + contentType
           + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n"
           + body;
}

std::string dechunk(const std::string &body)
{
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t eol = body.find("\r\n", pos);
        if (eol == std::string::npos)
            throw std::runtime_error("chunked body cut in a chunk header");
        const std::size_t size = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
        pos = eol + 2;
        if (size == 0)
            return out;
        if (pos + size + 2 > body.size())
            throw std::runtime_error("chunked body cut in a chunk");
        out.append(body, pos, size);
        pos += size + 2;
    }
}

int jsonErrorCode(const std::string &body)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(body));
    return doc.object().value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt();
}

} // namespace rawhttp
