// Fuzz target: the bytes of a request body as the server reads them, and of a reply body as
// the client reads them. The first byte picks the encoding (even: CBOR, odd: JSON).
// Whatever the bytes, reading either succeeds or fails with the protocol's own error; what
// the server accepts survives its own encoding, and every error reply it would write reads
// back as that error. Run as a body of calls (one request or a batch), the bytes give a
// reply, an array of replies, or nothing when only notifications ran.

#include "rpc/callrunner_p.h"
#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "rpc/reply.h"

#include <QCborArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

using namespace fiscal::rpc;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkErrorReply(Encoding enc, const QCborValue &id, int code, const QString &message)
{
    const Reply r = Reply::fromBody(errorReply(enc, id, code, message), enc);
    check(r.isError() && r.errorCode() == code && r.errorMessage() == message);
}

void checkAccepted(const Request &req, Encoding enc)
{
    // Array and map params stay encoded until a method takes them.
    const QCborArray params = methodParams(req, false);
    const QByteArray again = encodeRequest(enc, req.method, params, req.id);
    const Request back = parseRequest(again, enc);
    check(back.method == req.method && back.id == req.id);
    check(back.params.size() == req.params.size());
    if (enc == Encoding::Cbor) {
        // Byte comparison: NaN never equals itself as a value.
        check(QCborValue(methodParams(back, false)).toCbor() == QCborValue(params).toCbor());
        const QByteArray result = QCborValue(params).toCbor();
        const Reply ok = Reply::fromBody(successReply(enc, req.id, result), enc);
        check(ok.ok() && ok.resultCbor() == result);
    }
    checkErrorReply(enc, req.id, code::Internal, QStringLiteral("Erro interno do servidor."));

    // The byte scan that spares checkParams its walk over the values never misses a NUL.
    const auto refused = [](const Request &r) {
        try {
            checkParams(r);
            return false;
        } catch (const Fault &f) {
            check(f.code() == code::InvalidParams);
            return true;
        }
    };
    Request walked = req;
    walked.textMayHoldNul = true;
    check(refused(req) == refused(walked));
}

const Dispatcher &echoServer()
{
    static const Dispatcher d = [] {
        Dispatcher echo;
        echo.add("T.rdmEcho", "Echo", [](const QCborArray &params, fiscal::dataset::ValueWriter &w) {
            w.integer(params.size());
        });
        return echo;
    }();
    return d;
}

void checkRunAsCalls(const QByteArray &body, Encoding enc)
{
    const detail::CallOutcome o = detail::runCalls(echoServer(), "T.rdmEcho", {}, body, enc, {}, 1000);
    check(o.kind == detail::CallOutcome::Whole || o.kind == detail::CallOutcome::NoReply);
    if (o.kind == detail::CallOutcome::NoReply)
        return check(o.body.isEmpty());
    // Each reply of an array reads back on its own.
    QList<QByteArray> replies;
    if (enc == Encoding::Cbor) {
        const QCborValue v = QCborValue::fromCbor(o.body);
        if (v.isArray())
            for (const QCborValue &r : v.toArray())
                replies.append(r.toCbor());
    } else {
        const QJsonDocument doc = QJsonDocument::fromJson(o.body);
        if (doc.isArray())
            for (const QJsonValue &r : doc.array())
                replies.append(QJsonDocument(r.toObject()).toJson(QJsonDocument::Compact));
    }
    if (replies.isEmpty())
        replies.append(o.body);
    for (const QByteArray &r : replies) {
        try {
            (void)Reply::fromBody(r, enc);
        } catch (const TransportError &) {
            check(false);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const Encoding enc = (data[0] & 1) ? Encoding::Json : Encoding::Cbor;
    const QByteArray body(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    QCborValue id(QCborValue::Null);
    try {
        checkAccepted(parseRequest(body, enc, &id), enc);
    } catch (const Fault &f) {
        check(f.code() == code::ParseError || f.code() == code::InvalidRequest);
        check(!f.message().isEmpty());
        check(id.isNull() || id.isInteger() || id.isString());
        checkErrorReply(enc, id, f.code(), f.message());
    }

    checkRunAsCalls(body, enc);

    try {
        const Reply r = Reply::fromBody(body, enc);
        if (r.ok())
            (void)r.value();
    } catch (const TransportError &e) {
        check(!e.message().isEmpty());
    }
    return 0;
}
