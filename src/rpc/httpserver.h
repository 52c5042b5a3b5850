#pragma once
// The HTTP endpoint of the JSON-RPC server: POST /rpc/<object>, bodies in CBOR or JSON.
// A few threads serve every connection; a call runs on the thread that read its request and
// that thread writes its reply: no hand-off between threads on the way (a one-row save would
// mostly wait for it). A method may thus keep per-thread state, such as a database
// connection, and at most `workers` calls run at once.

#include "rpc/serverhooks.h"
#include "rpc/caller.h"
#include "rpc/calllimits.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fiscal::rpc {

class Dispatcher;

struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;                        // 0: the system picks a free port
    std::string token;                             // one shared token; empty: none
    // Tokens of their own per user: a call with one of them is the token's user's, whatever
    // name the client declares. With neither a token nor tokens, anyone may call, as the
    // name the client declares.
    TokenTable tokens;
    // When set, it alone decides who calls (token and tokens are then not looked at).
    Authenticator authenticate;
    int workers = 4;                               // threads that read, run calls and reply
    std::size_t maxBodyBytes = 64u * 1024 * 1024;
    std::uint32_t maxHeaderBytes = 16 * 1024;
    // Time a client has to send a whole request (headers and body), counted from the
    // moment the server starts waiting for it; an idle keep-alive connection is closed
    // after the same time.
    std::chrono::milliseconds readTimeout{30000};
    std::chrono::milliseconds writeTimeout{120000};
    std::size_t maxConnections = 512;              // beyond that new connections get 503
    // Request bodies held at once, every connection together: a request whose body would
    // pass it gets 503 before its body is read, so that many large requests at once cannot
    // take the machine's memory (512 connections may each send 64 MiB). A chunked body
    // counts as maxBodyBytes, its most; a request alone always passes.
    std::size_t maxBodiesBytes = 256u * 1024 * 1024;
    std::size_t maxBatch = 1000;                   // calls in one JSON-RPC batch
    // Each call's deadline by its kind, the lock wait of a save, heavy calls per batch. A
    // reply being streamed is cut at its call's deadline, however fast each piece went.
    CallLimits limits;
    // Peers whose X-Forwarded-For names the client (nginx on this machine, say); from any
    // other peer the header is ignored. Addresses as they print ("127.0.0.1", "::1").
    std::vector<std::string> trustedProxies;
    CallRecorder recordCall;                       // optional: told of every answered call and refusal
    GetAnswerer answerGet;                         // optional: GET/HEAD paths outside /rpc
};

class HttpServer {
public:
    // Binds and listens at once; throws std::runtime_error with a readable message when it
    // cannot. The dispatcher must outlive the server.
    explicit HttpServer(const Dispatcher &dispatcher, ServerOptions options = {});
    ~HttpServer();   // stops and waits, like stop()
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    std::uint16_t port() const;          // the bound port (useful with port 0)
    std::string address() const;

    // Serves on the calling thread and workers - 1 more until stopped. Call at most once.
    void run();
    // run() on a thread owned by the server.
    void start();

    // Asks the server to stop; returns at once and is safe from any thread (not from a
    // signal handler: use an asio::signal_set or a thread that waits for the signal).
    // Stopping closes the listening socket and idle connections, lets calls under way finish
    // and their replies be written, then run() returns.
    void requestStop();
    // requestStop() and wait until run() has returned. Never call it from a method.
    void stop();

    // From now on every answer closes its connection (`Connection: close`; one already sent
    // with keep-alive still gets the request after it answered), so that a load balancer's
    // kept connections go away while the server still answers; requestStop() comes later,
    // and then takes no new connection but answers every one already made: none is reset
    // with a request in it. Safe from any thread.
    void beginDrain();
    // Connections open right now (any thread).
    std::size_t openConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace fiscal::rpc
