#pragma once
// The JSON-RPC 2.0 envelope in both body encodings: strict reading of a request, writing of
// the success and failure replies. The reply to a request uses the request's encoding.

#include "dataset/valuewriter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QCborArray>
#include <QCborValue>
#include <QString>
#include <cstddef>
#include <vector>

namespace fiscal::rpc {

using dataset::Encoding;

// An array or map param of a lone CBOR request left encoded: a view into the request's body.
struct KeptParam {
    qsizetype index;
    QByteArrayView cbor;
};

struct Request {
    QString method;
    QCborArray params;          // empty when the request had none (or had them by name)
    QCborValue id;              // integer, string or null; Null when the request had no id
    bool notification = false;  // no "id" member: the call runs and is never answered
    bool paramsByName = false;  // "params" was a map, which no method takes
    bool textMayHoldNul = true; // false when the body is known to hold no U+0000 at all
    std::vector<KeptParam> kept;  // params left encoded; `params` holds undefined in their place
};

struct Body {
    QCborValue value;           // a request object, or a batch (an array of them)
    bool textMayHoldNul = true; // some text of the body may hold U+0000
    std::vector<KeptParam> kept;  // of a lone request: its array and map params, still encoded
};

// Decodes a body. Throws rpc::Fault with ParseError (not CBOR/JSON, invalid UTF-8, trailing
// bytes). Text comes out exactly as sent, a leading U+FEFF included (read it with textOf).
Body decodeBody(QByteArrayView body, Encoding enc);

// One request of a decoded body. Throws rpc::Fault with InvalidRequest (not a 2.0 request
// object, bad method/params/id). `idOut`, when given, receives the request's id as soon as it
// is known, so that the error reply can still carry it.
Request readRequest(const Body &body, const QCborValue &value, QCborValue *idOut = nullptr);

// A batch (a top-level array) holds from one to `max` requests; else InvalidRequest.
void checkBatch(const QCborArray &batch, std::size_t max);

// decodeBody and readRequest of a body that must hold one request (a batch is InvalidRequest).
Request parseRequest(QByteArrayView body, Encoding enc, QCborValue *idOut = nullptr);

// What no method takes, checked once the method is known: params by name, and text holding
// U+0000 anywhere in params (a database would cut it there). Throws InvalidParams.
void checkParams(const Request &req);

// The params a method is handed: those kept encoded decoded now (ParseError as for the body),
// or, for a method that reads them as a stream, each as tag 24 (an encoded CBOR data item)
// around its bytes.
QCborArray methodParams(const Request &req, bool keepEncoded);

// The CBOR bytes of a param: those of a tag 24 around a byte string, else the value encoded.
QByteArray encodedParam(const QCborValue &param);

// A param made of CBOR bytes already encoded (tag 24 around them): the client copies them
// into the request as they are, instead of decoding them into a tree to encode it again.
QCborValue preEncodedParam(QByteArray cbor);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(QByteArrayView bytes);

// UTF-8 to QString as it is: QString::fromUtf8 drops a leading U+FEFF, this keeps it.
QString textFromUtf8(QByteArrayView utf8);
// The text of a string value as it was sent. QCborValue::toString() goes through
// QString::fromUtf8 for decoded CBOR and so loses a leading U+FEFF.
QString textOf(const QCborValue &text);

// Media type of a Content-Type header value ("application/json; charset=utf-8" -> Json).
// Returns false for anything else.
bool encodingFromContentType(QByteArrayView contentType, Encoding &enc);
const char *contentTypeOf(Encoding enc);

// A success reply is written in three steps so that a method's result goes straight into
// the reply body: beginSuccess, then the method writes exactly one value (or nothing, which
// stands for null) into the same buffer, then endSuccess.
class SuccessReply {
public:
    SuccessReply(Encoding enc, QByteArray &out, const QCborValue &id);
    // Appends the id and closes the envelope; writes null if nothing was written as result.
    void finish();
    // What the buffer held has been sent and the buffer emptied: the result is not empty.
    void spilled() { m_spilled = true; }
private:
    Encoding m_enc;
    QByteArray &m_out;
    QCborValue m_id;
    qsizetype m_resultStart;
    bool m_spilled = false;
};

// A whole success reply around an already encoded result value (in `enc`).
QByteArray successReply(Encoding enc, const QCborValue &id, QByteArrayView encodedResult);

QByteArray errorReply(Encoding enc, const QCborValue &id, int code, const QString &message,
                      const QCborValue &data = {});

// A request body as the client sends it.
QByteArray encodeRequest(Encoding enc, const QString &method, const QCborArray &params,
                         const QCborValue &id);

// A CBOR request whose params are `params` and one more value, cut where that value goes:
// head + the value's CBOR + tail is the whole body.
struct RequestFrame {
    QByteArray head, tail;
};
RequestFrame requestFrame(const QString &method, const QCborArray &params, const QCborValue &id);

} // namespace fiscal::rpc
