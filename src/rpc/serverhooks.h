#pragma once
// What the HTTP server reports to the rest of the process besides running methods, and
// what it asks of it: each request's outcome (the call log and the metrics read it) and
// the answers to GET paths other than /rpc (/health, /metrics). Both are called on the
// server's network thread, so they must be quick and must not block.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace fiscal::rpc {

// One request that got an answer: a JSON-RPC call, or a refusal before JSON-RPC (then
// httpStatus is not 200 and method is empty).
struct CallRecord {
    // The registered names when `known`; otherwise what the request said (object from the
    // path, method from the body), either possibly empty. Never trust them as labels.
    std::string_view object;
    std::string_view method;
    bool known = false;
    int httpStatus = 200;
    int code = 0;              // 0: success; else the JSON-RPC error code of the answer
    bool broken = false;       // the reply broke off after part of it had been sent
    std::chrono::nanoseconds duration{0};   // from the whole request read to the reply handed over
    std::uint64_t bytesIn = 0;              // request body
    std::uint64_t bytesOut = 0;             // reply body
    std::string_view user;     // who made the call; empty when the server does not know
    std::string_view peer;     // the remote address
};

// The answer to a GET or HEAD of a path outside /rpc.
struct PlainAnswer {
    int status = 200;
    std::string contentType;
    std::string body;
};

// What the head of a request says about who sends it, for an Authenticator.
struct Credentials {
    std::optional<std::string_view> bearer;   // the token of "Authorization: Bearer", if any
    std::string_view declaredUser;            // the raw X-Fiscal-User header (percent-encoded)
    std::string_view peer;                    // the remote address
    std::string_view object;                  // the remote object the path names
    bool forwarded = false;                   // it came through a proxy (it carries X-Forwarded-For)
};

// Accepted: `who` is the caller. Refused: HTTP 401 with -32004 (no session, an unknown,
// expired or revoked one). Unavailable: the server could not check (its database is down),
// 503 with -32003. BadName: the declared user name cannot be read (400).
enum class AuthVerdict { Accepted, Refused, Unavailable, BadName };

using CallRecorder = std::function<void(const CallRecord &)>;
// Settles who a request is from; runs on the network thread that read the head, before
// the body is read, and may ask the database.
struct Identity;
using Authenticator = std::function<AuthVerdict(const Credentials &, Identity &who)>;
// The answer for a path ("/health"), or nothing when the path is not one of these.
using GetAnswerer = std::function<std::optional<PlainAnswer>(std::string_view path)>;

} // namespace fiscal::rpc
