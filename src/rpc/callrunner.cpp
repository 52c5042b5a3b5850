#include "rpc/callrunner_p.h"

#include "rpc/replywriter_p.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace fiscal::rpc::detail {

namespace {

const QString kInternalMessage = QStringLiteral("Erro interno do servidor.");

// An error reply, even when memory runs out while it is written.
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

// One request of the body, read before anything runs: a batch must know how many replies
// it will hold (none at all is answered with no body).
struct Call {
    Request request;
    std::optional<Fault> refused;             // not a valid request: answered with this error
    QCborValue id = QCborValue(QCborValue::Null);
    bool answered() const { return refused || !request.notification; }
};

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
    Runner(const Dispatcher &d, const std::string &object, Encoding enc, const SendPiece &send)
        : m_dispatcher(d), m_object(object), m_enc(enc), m_send(send) {}

    QByteArray &out() { return m_out; }
    bool streaming() const { return m_streaming; }

    // Appends the call's reply (nothing for a notification). False when the call failed after
    // part of its reply was sent: the connection must be dropped.
    bool run(const Call &call)
    {
        const qsizetype start = m_out.size();
        const quint64 sentBefore = m_sent;
        std::optional<Fault> failed = call.refused;
        if (!failed) {
            try {
                const Method &m = find(call.request);
                checkParams(call.request);
                if (call.request.notification)
                    runUnanswered(m, call.request);
                else
                    runAnswered(m, call);
                return true;
            } catch (const ConnectionGone &) {
                throw;
            } catch (const Fault &f) {
                failed = f;
            } catch (const std::exception &e) {
                log(call.request, "failed", e.what());
                failed = Fault(code::Internal, kInternalMessage);
            } catch (...) {
                log(call.request, "failed", "an unknown exception");
                failed = Fault(code::Internal, kInternalMessage);
            }
        }
        if (m_sent != sentBefore) {
            log(call.request, "failed after part of its reply was sent", failed->what());
            return false;
        }
        if (!call.answered())
            return true;
        m_out.truncate(start);
        m_out.append(failureReply(m_enc, call.id, *failed));
        return true;
    }

private:
    const Method &find(const Request &req) const
    {
        if (const Method *m = m_dispatcher.find(m_object, req.method.toStdString()))
            return *m;
        const QString object = echoed(QString::fromStdString(m_object));
        if (!m_dispatcher.hasObject(m_object))
            throw Fault(code::MethodNotFound, QStringLiteral("Objeto remoto %1 não existe neste servidor.").arg(object));
        throw Fault(code::MethodNotFound, QStringLiteral("Método %1 não existe em %2.").arg(echoed(req.method), object));
    }

    void runAnswered(const Method &m, const Call &call)
    {
        SuccessReply reply(m_enc, m_out, call.id);
        ReplyWriter::Spill spill;
        if (m_send)
            spill = [&](QByteArray &pending) { this->spill(pending, reply); };
        {
            const auto writer = makeReplyWriter(m_enc, m_out, kChunk, std::move(spill));
            m(call.request.params, *writer);
        }
        reply.finish();
    }

    // A notification runs like any call; what it writes is thrown away as it comes.
    void runUnanswered(const Method &m, const Request &req)
    {
        QByteArray discarded;
        const auto writer = makeReplyWriter(m_enc, discarded, kChunk, [](QByteArray &b) { b.truncate(0); });
        m(req.params, *writer);
    }

    void spill(QByteArray &pending, SuccessReply &reply)
    {
        if (!m_streaming && pending.size() < kStreamFrom)
            return;
        m_streaming = true;
        reply.spilled();
        ++m_sent;
        QByteArray piece = std::move(pending);
        pending = QByteArray();
        pending.reserve(kChunk + 4096);
        m_send(std::move(piece));
    }

    void log(const Request &req, const char *what, const char *detail) const
    {
        std::fprintf(stderr, "fiscal-server: %s.%s %s: %s\n", m_object.c_str(),
                     echoed(req.method).toUtf8().constData(), what, detail);
    }

    const Dispatcher &m_dispatcher;
    const std::string &m_object;
    Encoding m_enc;
    const SendPiece &m_send;
    QByteArray m_out;
    bool m_streaming = false;
    quint64 m_sent = 0;   // pieces handed to the connection so far
};

} // namespace

CallOutcome runCalls(const Dispatcher &dispatcher, const std::string &object, const QByteArray &body,
                     Encoding enc, const SendPiece &send, std::size_t maxBatch)
{
    const QCborValue noId(QCborValue::Null);
    Runner runner(dispatcher, object, enc, send);
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
            }
        } catch (const Fault &f) {
            // Not CBOR/JSON, or a batch refused whole: one error, not an array of them.
            return {CallOutcome::Whole, failureReply(enc, noId, f)};
        }

        const auto answered = std::count_if(calls.begin(), calls.end(), [](const Call &c) { return c.answered(); });
        QByteArray &out = runner.out();
        if (batch && answered)
            out.append(enc == Encoding::Cbor ? '\x9f' : '[');   // CBOR: an indefinite-length array
        bool first = true;
        for (const Call &c : calls) {
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
        return {CallOutcome::Whole, failureReply(enc, noId, Fault(code::Internal, kInternalMessage))};
    }
}

} // namespace fiscal::rpc::detail
