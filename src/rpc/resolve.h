#pragma once
// A server's name to its addresses, with a deadline. getaddrinfo cannot be interrupted, and
// a name server that does not answer holds it for the resolver's whole timeout (5 s a try by
// default, and again for every domain in `search`): it runs on a thread of its own, which is
// left to end by itself when the caller's deadline comes first.

#include <QString>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace fiscal::rpc {

struct ResolvedAddress {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
};

struct Resolution {
    bool timedOut = false;   // the deadline came before the resolver's answer
    int error = 0;           // getaddrinfo's EAI_ code when it failed
    int systemError = 0;     // errno, when error is EAI_SYSTEM
    std::vector<ResolvedAddress> addresses;   // TCP addresses, in the resolver's order
};

// Waits for the answer until `deadline`, calling `pump` (when set) every pumpEvery meanwhile.
// A numeric address is answered at once, without a thread.
Resolution resolveUntil(const std::string &host, const std::string &service,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void()> &pump,
                        std::chrono::milliseconds pumpEvery = std::chrono::milliseconds(10));

// Why a resolution failed, in Portuguese for the user.
QString resolutionErrorText(const Resolution &r);

} // namespace fiscal::rpc
