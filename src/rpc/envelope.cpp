#include "rpc/envelope.h"

#include "rpc/dispatcher.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace fiscal::rpc {

namespace {

[[noreturn]] void parseError(const QString &what)
{
    throw Fault(code::ParseError, QStringLiteral("Requisição malformada: %1.").arg(what));
}

[[noreturn]] void invalidRequest(const QString &what)
{
    throw Fault(code::InvalidRequest, QStringLiteral("Requisição inválida: %1.").arg(what));
}

// QJsonDocument accepts "\ud800" escapes and hands back a QString with a lone surrogate,
// which would silently become U+FFFD on its way to UTF-8.
bool wellFormedUtf16(const QString &s)
{
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= s.size() || !s.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

bool stringsWellFormed(const QCborValue &v)
{
    switch (v.type()) {
    case QCborValue::String:
        return wellFormedUtf16(v.toString());
    case QCborValue::Array:
        for (const QCborValue &e : v.toArray())
            if (!stringsWellFormed(e))
                return false;
        return true;
    case QCborValue::Map:
        for (auto it = v.toMap().cbegin(), end = v.toMap().cend(); it != end; ++it)
            if (!stringsWellFormed(it.key()) || !stringsWellFormed(it.value()))
                return false;
        return true;
    default:
        return true;
    }
}

QCborValue decodeCbor(QByteArrayView body)
{
    if (body.isEmpty())
        parseError(QStringLiteral("corpo vazio"));
    // No copy: the reader only looks at the bytes while this function runs.
    const QByteArray bytes = QByteArray::fromRawData(body.data(), body.size());
    QCborStreamReader reader(bytes);
    QCborValue root = QCborValue::fromCbor(reader);
    const QCborError err = reader.lastError();
    if (err.c == QCborError::InvalidUtf8String)
        parseError(QStringLiteral("texto com UTF-8 inválido"));
    if (err.c != QCborError::NoError)
        parseError(QStringLiteral("CBOR inválido (%1)").arg(err.toString()));
    if (reader.currentOffset() != bytes.size())
        parseError(QStringLiteral("dados após o fim da requisição"));
    return root;
}

QCborValue decodeJson(QByteArrayView body)
{
    if (!isValidUtf8(body))
        parseError(QStringLiteral("texto com UTF-8 inválido"));
    const QByteArray bytes = QByteArray::fromRawData(body.data(), body.size());
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &err);
    if (err.error != QJsonParseError::NoError)
        parseError(QStringLiteral("JSON inválido (%1 na posição %2)")
                       .arg(err.errorString()).arg(err.offset));
    QCborValue root = doc.isArray() ? QCborValue(QCborArray::fromJsonArray(doc.array()))
                                    : QCborValue(QCborMap::fromJsonObject(doc.object()));
    if (!stringsWellFormed(root))
        parseError(QStringLiteral("texto com UTF-8 inválido"));
    return root;
}

QByteArray jsonScalar(const QCborValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v.toJsonValue()}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

bool sameIgnoringAsciiCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

constexpr char kCborPrefix[] = "\xA3" "\x67" "jsonrpc" "\x63" "2.0" "\x66" "result";
constexpr char kJsonPrefix[] = "{\"jsonrpc\":\"2.0\",\"result\":";

} // namespace

bool isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const auto *end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; cp = c & 0x07; }
        else return false;   // continuation byte, C0/C1 overlong lead, or above U+10FFFF
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))
            || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

Request parseRequest(QByteArrayView body, Encoding enc, QCborValue *idOut)
{
    const QCborValue root = enc == Encoding::Cbor ? decodeCbor(body) : decodeJson(body);
    if (root.isArray())
        invalidRequest(QStringLiteral("requisições em lote não são aceitas"));
    if (!root.isMap())
        invalidRequest(QStringLiteral("a requisição deve ser um objeto"));
    const QCborMap map = root.toMap();

    Request req;
    req.id = QCborValue(QCborValue::Null);
    bool hasVersion = false, hasMethod = false, hasParams = false, hasId = false;
    QCborValue version, method, params;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!it.key().isString())
            invalidRequest(QStringLiteral("chave que não é texto"));
        const QString k = it.key().toString();
        bool *seen = nullptr;
        if (k == QLatin1String("jsonrpc")) { seen = &hasVersion; version = it.value(); }
        else if (k == QLatin1String("method")) { seen = &hasMethod; method = it.value(); }
        else if (k == QLatin1String("params")) { seen = &hasParams; params = it.value(); }
        else if (k == QLatin1String("id")) { seen = &hasId; req.id = it.value(); }
        else invalidRequest(QStringLiteral("membro desconhecido \"%1\"").arg(k.left(40)));
        // JSON collapses repeated keys on its own; CBOR keeps them and they would be ambiguous.
        if (*seen)
            invalidRequest(QStringLiteral("membro \"%1\" repetido").arg(k));
        *seen = true;
    }
    if (hasId) {
        if (!req.id.isInteger() && !req.id.isString() && !req.id.isNull()) {
            req.id = QCborValue(QCborValue::Null);
            invalidRequest(QStringLiteral("\"id\" deve ser um inteiro ou um texto"));
        }
        if (idOut)
            *idOut = req.id;
    }
    if (!hasVersion || !version.isString() || version.toString() != QLatin1String("2.0"))
        invalidRequest(QStringLiteral("\"jsonrpc\" deve ser \"2.0\""));
    if (!hasMethod || !method.isString() || method.toString().isEmpty())
        invalidRequest(QStringLiteral("\"method\" deve ser um texto não vazio"));
    req.method = method.toString();
    if (hasParams) {
        if (!params.isArray())
            invalidRequest(QStringLiteral("\"params\" deve ser uma lista"));
        req.params = params.toArray();
    }
    return req;
}

bool encodingFromContentType(QByteArrayView contentType, Encoding &enc)
{
    qsizetype end = contentType.indexOf(';');
    QByteArrayView media = end < 0 ? contentType : contentType.first(end);
    media = media.trimmed();
    if (sameIgnoringAsciiCase(media, "application/cbor")) {
        enc = Encoding::Cbor;
        return true;
    }
    if (sameIgnoringAsciiCase(media, "application/json")) {
        enc = Encoding::Json;
        return true;
    }
    return false;
}

const char *contentTypeOf(Encoding enc)
{
    return enc == Encoding::Cbor ? "application/cbor" : "application/json";
}

SuccessReply::SuccessReply(Encoding enc, QByteArray &out, const QCborValue &id)
    : m_enc(enc), m_out(out), m_id(id)
{
    if (enc == Encoding::Cbor)
        m_out.append(kCborPrefix, sizeof kCborPrefix - 1);
    else
        m_out.append(kJsonPrefix, sizeof kJsonPrefix - 1);
    m_resultStart = m_out.size();
}

void SuccessReply::finish()
{
    const bool empty = !m_spilled && m_out.size() == m_resultStart;
    if (m_enc == Encoding::Cbor) {
        if (empty)
            m_out.append('\xF6');
        m_out.append("\x62" "id", 3);
        m_out.append(m_id.toCbor());
    } else {
        if (empty)
            m_out.append("null", 4);
        m_out.append(",\"id\":", 6);
        m_out.append(jsonScalar(m_id));
        m_out.append('}');
    }
}

QByteArray successReply(Encoding enc, const QCborValue &id, QByteArrayView encodedResult)
{
    QByteArray out;
    out.reserve(encodedResult.size() + 64);
    SuccessReply reply(enc, out, id);
    out.append(encodedResult);
    reply.finish();
    return out;
}

QByteArray errorReply(Encoding enc, const QCborValue &id, int code, const QString &message,
                      const QCborValue &data)
{
    QCborMap error;
    error.insert(QLatin1String("code"), code);
    error.insert(QLatin1String("message"), message);
    if (!data.isUndefined())
        error.insert(QLatin1String("data"), data);
    QCborMap reply;
    reply.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    reply.insert(QLatin1String("error"), error);
    reply.insert(QLatin1String("id"), id.isUndefined() ? QCborValue(QCborValue::Null) : id);
    if (enc == Encoding::Cbor)
        return QCborValue(reply).toCbor();
    return QJsonDocument(reply.toJsonObject()).toJson(QJsonDocument::Compact);
}

QByteArray encodeRequest(Encoding enc, const QString &method, const QCborArray &params,
                         const QCborValue &id)
{
    QCborMap req;
    req.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    req.insert(QLatin1String("method"), method);
    req.insert(QLatin1String("params"), params);
    req.insert(QLatin1String("id"), id);
    if (enc == Encoding::Cbor)
        return QCborValue(req).toCbor();
    return QJsonDocument(req.toJsonObject()).toJson(QJsonDocument::Compact);
}

} // namespace fiscal::rpc
