#pragma once
// The JSON-RPC side of one HTTP request: its body holds one request or a batch (an array of
// them); each call is looked up, checked and run, and the replies are written in order,
// nothing for a notification (a request without "id"). A reply is handed to the connection
// while it is written once it grows large, so a 500,000-row packet never sits whole in memory.
//
//   CallOutcome o = runCalls(dispatcher, "Ger10200.rdmParamGrupFiscal", {"maria"}, body, enc, send, 1000);
//
// Runs on the thread that read the request; `send` writes a piece of a reply being streamed.
// While a method runs, rpc::currentCaller() names `who`, the object and the method.

#include "rpc/caller.h"
#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "rpc/serverhooks.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fiscal::rpc::detail {

// A reply is sent while it is written once it passes kStreamFrom bytes, in chunks of about
// kChunk. Below that it goes whole, so a failure of a small call is still a proper error reply.
constexpr qsizetype kStreamFrom = 256 * 1024;
constexpr qsizetype kChunk = 64 * 1024;

// Thrown by SendPiece when the connection of a streamed reply failed: the method stops.
struct ConnectionGone {};

// Hands a piece of a reply being streamed to the connection. Empty when the reply cannot
// be streamed (an HTTP/1.0 request).
using SendPiece = std::function<void(QByteArray piece)>;

class DeferredCall;   // deferredcall_p.h

// How the calls of a body ended: the whole reply; or the last piece of a reply already
// being sent; or a failure after part of it went out (the connection must be dropped
// without the end of the body, so the client sees a broken reply, never a short one); or
// nothing to answer (notifications only); or a reply its method gives later.
struct CallOutcome {
    enum Kind { Whole, StreamEnd, StreamAbort, NoReply, Deferred };
    Kind kind = Whole;
    QByteArray body;
    std::shared_ptr<DeferredCall> deferred;   // Deferred: gives the Whole outcome later
};

// Who is told of each call (the call log, the metrics), and what the connection knows.
// The request bytes of a batch are shared evenly among its calls.
struct CallReport {
    const CallRecorder *record = nullptr;   // nobody when null
    std::string_view peer;
};

// An error reply, even when memory runs out while it is written.
QByteArray failureReply(Encoding enc, const QCborValue &id, const Fault &f);
// What a method that failed with anything but a Fault answers (after logFailure).
Fault internalFault();
// A line on standard error about a call of `object`.
void logFailure(const std::string &object, const QString &method, const char *what, const char *detail);

// Asked before each call of a batch after the first: the caller as the session stands now
// (`who` updated: a role changed meanwhile), or the fault that refuses the call (the session
// ended). Calls run for minutes each; one that ended the session may be among them.
using Recheck = std::function<std::optional<Fault>(Identity &who)>;

// A batch holds at most `maxBatch` calls, and at most limits.heavyPerBatch heavy ones; a
// larger one is refused whole (InvalidRequest). Each call runs under the deadline of its kind.
// `mayDefer`: the caller can wait for a Deferred outcome, so a lone call may answer later.
CallOutcome runCalls(const Dispatcher &dispatcher, const std::string &object, const Identity &who,
                     const QByteArray &body, Encoding enc, const SendPiece &send, std::size_t maxBatch,
                     const CallReport &report = {}, bool mayDefer = false, const CallLimits &limits = {},
                     const Recheck &recheck = {});

} // namespace fiscal::rpc::detail
