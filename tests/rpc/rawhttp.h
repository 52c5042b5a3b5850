#pragma once
// Plain POSIX sockets for feeding the server bytes no well-behaved client would send.
// Every wait is bounded so that a misbehaving server fails the test instead of hanging it.

#include <cstdint>
#include <map>
#include <string>

namespace rawhttp {

struct Response {
    int status = 0;                       // 0: no response (connection closed first)
    std::map<std::string, std::string> headers;   // names lower-cased
    std::string body;
};

class Connection {
public:
    explicit Connection(std::uint16_t port);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    bool send(const std::string &bytes);          // false when the peer has gone
    // Reads one response (Content-Length, chunked, or until close). status 0 when none came in time.
    Response read(int timeoutMs = 10000);
    // True when the server closes the connection within timeoutMs (reading and discarding).
    bool closedByPeer(int timeoutMs);
    // True once something has come to read (without reading it).
    bool readable(int timeoutMs);
    // Shuts down our sending side, keeping the reading side open.
    void halfClose();

private:
    bool fill(int timeoutMs);   // reads more into m_pending; false on close or timeout
    int m_fd = -1;
    std::string m_pending;
};

// A full request with Content-Length.
std::string post(const std::string &target, const std::string &contentType,
                 const std::string &body, const std::string &extraHeaders = {});

// The payload of a complete chunked body; throws when the body is cut short.
std::string dechunk(const std::string &body);

// The "code" of a JSON error envelope, 0 when there is none.
int jsonErrorCode(const std::string &body);

} // namespace rawhttp
