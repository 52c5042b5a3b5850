#include "rpc/callrunner_p.h"

#include "rpc/caller.h"
#include "rpc/deferredcall_p.h"
#include "rpc/replywriter_p.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace fiscal::rpc::detail {

namespace {
const QString kInternalMessage = QStringLiteral("Erro interno do servidor.");
} // namespace

QByteArray failureReply(Encoding enc, const QCborValue &id, const Fault &f)
{
    try {
        return errorReply(enc, id, f.code(), f.message(), f.data());
    } catch (...) {
        static const QByteArray fallback =
            R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"Erro interno do servidor."},"id":null})";
        static const QByteArray fallbackCbor = errorReply(Encoding::Cbor, {}, code::Internal, kInternalMessage);
        return enc == Encoding::Cbor ? fallbackCbor : fallback;
    }
}

Fault internalFault()
{
    return Fault(code::Internal, kInternalMessage);
}

void logFailure(const std::string &object, const QString &method, const char *what, const char *detail)
{
    std::fprintf(stderr, "fiscal-server: %s.%s %s: %s\n", object.c_str(), echoed(method).toUtf8().constData(),
                 what, detail);
}

namespace {

// One request of the body, read before anything runs: a batch must know how many replies
// it will hold (none at all is answered with no body).
struct Call {
    Request request;
    std::optional<Fault> refused;             // not a valid request: answered with this error
    QCborValue id = QCborValue(QCborValue::Null);
    bool answered() const { return refused || !request.notification; }
};

// A batch of more heavy calls than the limit is refused before any of them runs: each may
// read the whole database or hold its tables for minutes.
// Sign-ins go one per batch, so that a request cannot buy many password checks and
// recorded attempts for the price of one.
void checkHeavy(const Dispatcher &d, const std::string &object, const std::vector<Call> &calls, std::size_t max)
{
    std::size_t heavy = 0, signIns = 0;
    for (const Call &c : calls) {
        MethodName names;
        if (c.refused || !d.find(object, c.request.method.toStdString(), &names))
            continue;
        heavy += isHeavy(names.kind) ? 1 : 0;
        signIns += names.kind == CallKind::SignIn ? 1 : 0;
    }
    if (signIns > 1)
        throw Fault(code::InvalidRequest,
                    QStringLiteral("Requisição inválida: o lote tem %1 entradas no sistema e o máximo é uma por lote.")
                        .arg(signIns));
    if (heavy > max)
        throw Fault(code::InvalidRequest,
                    QStringLiteral("Requisição inválida: o lote tem %1 chamadas pesadas (leitura de todos os dados, "
                                   "relatórios ou operações em massa) e o máximo é %2 por lote; envie-as em lotes "
                                   "separados.").arg(heavy).arg(max));
}

Call readCall(const Body &body, const QCborValue &value)
{
    Call c;
    try {
        c.request = readRequest(body, value, &c.id);
    } catch (const Fault &f) {
        c.refused = f;
    }
    return c;
}

// Runs calls one after the other, appending their replies to one body.
class Runner {
public:
    Runner(const Dispatcher &d, const std::string &object, const Identity &who, Encoding enc,
           const SendPiece &send, const CallReport &report, std::uint64_t bodyBytes, const CallLimits &limits)
        : m_dispatcher(d), m_object(object), m_who(who), m_user(who.user), m_enc(enc), m_send(send), m_report(report),
          m_bodyBytes(bodyBytes), m_limits(limits) {}

    // The body's bytes are shared among this many calls for the reports.
    void shareBodyAmong(std::size_t calls) { m_calls = std::max<std::size_t>(1, calls); }

    QByteArray &out() { return m_out; }
    bool streaming() const { return m_streaming; }
    // The next call may answer later (a lone call the connection can wait for).
    void allowDeferral() { m_mayDefer = true; }
    // The reply the last call took to answer later, if any.
    std::shared_ptr<DeferredCall> deferred() { return std::move(m_deferred); }

    // Appends the call's reply (nothing for a notification). False when the call failed after
    // part of its reply was sent: the connection must be dropped.
    bool run(const Call &call)
    {
        const Mark mark{std::chrono::steady_clock::now(), m_out.size(), m_sent, m_sentBytes};
        const qsizetype start = mark.outSize;
        const quint64 sentBefore = m_sent;
        MethodName names;
        std::optional<Fault> failed = call.refused;
        if (!failed) {
            try {
                const Method &m = find(call.request, names);
                checkParams(call.request);
                const QCborArray params = methodParams(call.request, names.large == LargeParams::Encoded);
                const CallerScope caller({m_user, m_object, call.request.method.toStdString(), m_who.role,
                                          m_who.session, std::string(m_report.peer), m_who.mustChangePassword});
                m_dispatcher.admit(names);
                const auto length = m_limits.of(names.kind);
                const DeadlineScope deadline({mark.started + length, names.kind, length,
                                              names.kind == CallKind::Save ? m_limits.lockWait
                                                                           : std::chrono::milliseconds(0)});
                if (call.request.notification)
                    runUnanswered(m, params);
                else
                    runAnswered(m, call, params);
                if (m_deferred)
                    reportWhenAnswered(call.request, names, mark);
                else
                    report(call.request, names, mark, 0, false);
                return true;
            } catch (const ConnectionGone &) {
                report(call.request, names, mark, code::Internal, true);
                throw;
            } catch (const Fault &f) {
                failed = f;
            } catch (const std::exception &e) {
                log(call.request, "failed", e.what());
                failed = internalFault();
            } catch (...) {
                log(call.request, "failed", "an unknown exception");
                failed = internalFault();
            }
        }
        if (m_sent != sentBefore) {
            log(call.request, "failed after part of its reply was sent", failed->what());
            report(call.request, names, mark, failed->code(), true);
            return false;
        }
        if (call.answered()) {
            m_out.truncate(start);
            m_out.append(failureReply(m_enc, call.id, *failed));
        }
        report(call.request, names, mark, failed->code(), false);
        return true;
    }

    // A body refused before any call was read (not CBOR/JSON, a batch too large).
    void reportRefusedBody(const Fault &f, qsizetype replyBytes)
    {
        if (!m_report.record)
            return;
        CallRecord r;
        r.object = m_object;
        r.code = f.code();
        r.bytesIn = m_bodyBytes;
        r.bytesOut = std::uint64_t(replyBytes);
        r.peer = m_report.peer;
        r.user = m_user;
        (*m_report.record)(r);
    }

private:
    // Where the body and the time stood when a call began.
    struct Mark {
        std::chrono::steady_clock::time_point started;
        qsizetype outSize;
        quint64 sent;
        std::uint64_t sentBytes;
    };

    void report(const Request &req, const MethodName &names, const Mark &mark, int code, bool broken)
    {
        if (!m_report.record)
            return;
        const std::string asked = req.method.toStdString();
        CallRecord r;
        r.known = names.object != nullptr;
        r.object = r.known ? std::string_view(*names.object) : std::string_view(m_object);
        r.method = r.known ? std::string_view(*names.method) : std::string_view(asked);
        r.code = code;
        r.broken = broken;
        r.duration = std::chrono::steady_clock::now() - mark.started;
        r.bytesIn = m_bodyBytes / m_calls + (m_reported++ == 0 ? m_bodyBytes % m_calls : 0);
        // What went out while the call ran, and what it left to be sent.
        const qsizetype kept = m_sent != mark.sent ? m_out.size() : m_out.size() - mark.outSize;
        r.bytesOut = (m_sentBytes - mark.sentBytes) + std::uint64_t(std::max<qsizetype>(0, kept));
        r.peer = m_report.peer;
        r.user = m_user;
        (*m_report.record)(r);
    }

    // A call answered later is reported then, with the outcome it had.
    void reportWhenAnswered(const Request &req, const MethodName &names, const Mark &mark)
    {
        if (!m_report.record)
            return;
        const std::uint64_t bytesIn = m_bodyBytes / m_calls + (m_reported++ == 0 ? m_bodyBytes % m_calls : 0);
        m_deferred->reportTo([record = *m_report.record, known = names.object != nullptr,
                              object = names.object ? *names.object : m_object,
                              method = names.method ? *names.method : req.method.toStdString(),
                              peer = std::string(m_report.peer), user = m_user, started = mark.started,
                              bytesIn](int code, std::uint64_t bytesOut) {
            CallRecord r;
            r.known = known;
            r.object = object;
            r.method = method;
            r.code = code;
            r.duration = std::chrono::steady_clock::now() - started;
            r.bytesIn = bytesIn;
            r.bytesOut = bytesOut;
            r.peer = peer;
            r.user = user;
            record(r);
        });
    }

    const Method &find(const Request &req, MethodName &names) const
    {
        if (const Method *m = m_dispatcher.find(m_object, req.method.toStdString(), &names))
            return *m;
        const QString object = echoed(QString::fromStdString(m_object));
        if (!m_dispatcher.hasObject(m_object))
            throw Fault(code::MethodNotFound, QStringLiteral("Objeto remoto %1 não existe neste servidor.").arg(object));
        throw Fault(code::MethodNotFound, QStringLiteral("Método %1 não existe em %2.").arg(echoed(req.method), object));
    }

    void runAnswered(const Method &m, const Call &call, const QCborArray &params)
    {
        SuccessReply reply(m_enc, m_out, call.id);
        ReplyWriter::Spill spill;
        if (m_send)
            spill = [&](QByteArray &pending) { this->spill(pending, reply); };
        Deferral deferral{m_enc, call.id, m_object, call.request.method, nullptr};
        {
            const DeferralScope scope(std::exchange(m_mayDefer, false) ? &deferral : nullptr);
            const auto writer = makeReplyWriter(m_enc, m_out, kChunk, std::move(spill));
            try {
                m(params, *writer);
            } catch (...) {
                if (deferral.taken)
                    deferral.taken->abandon();
                throw;
            }
        }
        if (deferral.taken) {
            m_deferred = std::move(deferral.taken);
            return;
        }
        reply.finish();
    }

    // A notification runs like any call; what it writes is thrown away as it comes.
    void runUnanswered(const Method &m, const QCborArray &params)
    {
        QByteArray discarded;
        const auto writer = makeReplyWriter(m_enc, discarded, kChunk, [](QByteArray &b) { b.truncate(0); });
        m(params, *writer);
    }

    void spill(QByteArray &pending, SuccessReply &reply)
    {
        if (!m_streaming && pending.size() < kStreamFrom)
            return;
        m_streaming = true;
        reply.spilled();
        ++m_sent;
        m_sentBytes += std::uint64_t(pending.size());
        QByteArray piece = std::move(pending);
        pending = QByteArray();
        pending.reserve(kChunk + 4096);
        m_send(std::move(piece));
    }

    void log(const Request &req, const char *what, const char *detail) const
    {
        logFailure(m_object, req.method, what, detail);
    }

    const Dispatcher &m_dispatcher;
    const std::string &m_object;
    const Identity &m_who;
    const std::string &m_user;
    Encoding m_enc;
    const SendPiece &m_send;
    const CallReport &m_report;
    const std::uint64_t m_bodyBytes;
    const CallLimits &m_limits;
    std::size_t m_calls = 1;
    std::size_t m_reported = 0;
    QByteArray m_out;
    bool m_streaming = false;
    quint64 m_sent = 0;   // pieces handed to the connection so far
    std::uint64_t m_sentBytes = 0;
    bool m_mayDefer = false;
    std::shared_ptr<DeferredCall> m_deferred;
};

} // namespace

CallOutcome runCalls(const Dispatcher &dispatcher, const std::string &object, const Identity &who,
                     const QByteArray &body, Encoding enc, const SendPiece &send, std::size_t maxBatch,
                     const CallReport &report, bool mayDefer, const CallLimits &limits, const Recheck &recheck)
{
    const QCborValue noId(QCborValue::Null);
    Identity current = who;
    Runner runner(dispatcher, object, current, enc, send, report, std::uint64_t(body.size()), limits);
    try {
        std::vector<Call> calls;
        bool batch = false;
        try {
            const Body decoded = decodeBody(body, enc);
            batch = decoded.value.isArray();
            if (!batch) {
                calls.push_back(readCall(decoded, decoded.value));
            } else {
                const QCborArray requests = decoded.value.toArray();
                checkBatch(requests, maxBatch);
                calls.reserve(std::size_t(requests.size()));
                for (const QCborValue &r : requests)
                    calls.push_back(readCall(decoded, r));
                checkHeavy(dispatcher, object, calls, limits.heavyPerBatch);
            }
        } catch (const Fault &f) {
            // Not CBOR/JSON, or a batch refused whole: one error, not an array of them.
            QByteArray reply = failureReply(enc, noId, f);
            runner.reportRefusedBody(f, reply.size());
            return {CallOutcome::Whole, std::move(reply)};
        }
        runner.shareBodyAmong(calls.size());

        const auto answered = std::count_if(calls.begin(), calls.end(), [](const Call &c) { return c.answered(); });
        QByteArray &out = runner.out();
        if (mayDefer && !batch && answered) {
            runner.allowDeferral();
            if (!runner.run(calls.front()))
                return {CallOutcome::StreamAbort, {}};
            if (std::shared_ptr<DeferredCall> later = runner.deferred()) {
                if (later->settled())
                    return {CallOutcome::Whole, later->takeBody()};
                return {CallOutcome::Deferred, {}, std::move(later)};
            }
            return {runner.streaming() ? CallOutcome::StreamEnd : CallOutcome::Whole, std::move(out)};
        }
        if (batch && answered)
            out.append(enc == Encoding::Cbor ? '\x9f' : '[');   // CBOR: an indefinite-length array
        bool first = true;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            std::optional<Fault> gone;
            if (i > 0 && recheck && !calls[i].refused)
                gone = recheck(current);
            if (gone && calls[i].request.notification)
                continue;   // never answered, and not run
            std::optional<Call> refused;
            if (gone) {
                refused = calls[i];
                refused->refused = std::move(gone);
            }
            const Call &c = refused ? *refused : calls[i];
            if (batch && c.answered() && !std::exchange(first, false) && enc == Encoding::Json)
                out.append(',');
            if (!runner.run(c))
                return {CallOutcome::StreamAbort, {}};
        }
        if (batch && answered)
            out.append(enc == Encoding::Cbor ? '\xff' : ']');
        if (!answered)
            return {CallOutcome::NoReply, {}};
        return {runner.streaming() ? CallOutcome::StreamEnd : CallOutcome::Whole, std::move(out)};
    } catch (const ConnectionGone &) {
        return {CallOutcome::StreamAbort, {}};
    } catch (...) {
        // Out of memory between calls, say: an error if nothing was sent yet.
        if (runner.streaming())
            return {CallOutcome::StreamAbort, {}};
        return {CallOutcome::Whole, failureReply(enc, noId, internalFault())};
    }
}

} // namespace fiscal::rpc::detail
