#include "rpc/envelope.h"

#include "rpc/dispatcher.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringDecoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace fiscal::rpc {

namespace {

// Tag 24 around a byte string: a param that travels as the CBOR it holds.
bool isEncodedParam(const QCborValue &v)
{
    return v.isTag() && v.tag() == QCborTag(QCborKnownTags::EncodedCbor) && v.taggedValue().isByteArray();
}

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

// What a lone request's param kept encoded holds, found in one pass over its bytes: whether its
// text is all valid UTF-8 and whether some of it may hold U+0000.
struct TextScan {
    bool valid = true;
    bool mayHoldNul = false;
    quint64 items = 0;        // up to a malformed head, where the decoding stops too
    quint64 containers = 0;   // arrays and maps among them
};

// A decoded tree costs about 16 bytes an item, and an array or a map some 112 more: a body of
// tiny items ("[[0],[0],...]", a long list of nulls) would take many times its size, and the
// memory kept for bodies counts only their bytes. Past this a request is refused undecoded.
constexpr quint64 kMaxTreeBytes = quint64(64) << 20;

void checkTreeSize(quint64 items, quint64 containers)
{
    if (items * 16 + containers * 112 > kMaxTreeBytes)
        invalidRequest(QStringLiteral("itens demais numa requisição (listas e pacotes grandes vão em CBOR, numa "
                                      "requisição que não seja um lote)"));
}

TextScan scanCborText(QByteArrayView cbor, bool checkUtf8);

// Whether text of `cbor` may hold U+0000; refuses it when its tree would be too large.
bool checkedForTree(QByteArrayView cbor)
{
    const TextScan scan = scanCborText(cbor, false);
    checkTreeSize(scan.items, scan.containers);
    return scan.mayHoldNul;
}

// The same for JSON, counted outside strings: a value follows each '[', '{', ':' and ','.
void checkJsonTreeSize(QByteArrayView json)
{
    quint64 items = 1, containers = 0;
    bool inString = false;
    for (qsizetype i = 0; i < json.size(); ++i) {
        const char c = json[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++containers;
            ++items;
        } else if (c == ',' || c == ':') {
            ++items;
        }
    }
    checkTreeSize(2 * items, 2 * containers);   // the document, then the tree made of it
}

// The container params of a lone request stay encoded until the method is known: a method
// that reads them as a stream never has them decoded into a tree (a save's change set would
// otherwise be decoded, encoded again and read a second time).

// One CBOR head: its major type and argument (info 31, indefinite length, gives arg 31).
// Null when it is reserved or cut short.
const uchar *readHead(const uchar *p, const uchar *end, uchar &major, quint64 &arg)
{
    if (p >= end)
        return nullptr;
    major = *p >> 5;
    const uchar info = *p++ & 0x1f;
    arg = info;
    if (info < 24 || info == 31)
        return p;
    if (info > 27)
        return nullptr;
    const int n = 1 << (info - 24);
    if (end - p < n)
        return nullptr;
    arg = 0;
    for (int i = 0; i < n; ++i)
        arg = (arg << 8) | *p++;
    return p;
}

// The end of the data item at p, from its heads alone: nothing is decoded (Qt's reader
// decodes every string it skips). Null when it is malformed, cut short or deeply nested, or
// holds what Qt's decoder may refuse; the full decoding then has the last word, as before.
const uchar *skipItem(const uchar *p, const uchar *end)
{
    struct Level {
        quint64 left;      // items still to come; for an indefinite one, items seen
        bool indefinite;   // up to a break
        uchar major;       // 2 or 3: the chunks of a string; 4, 5: a container; 6: a tag
    };
    QVarLengthArray<Level, 16> levels;
    levels.append({1, false, 6});
    while (!levels.isEmpty()) {
        Level &top = levels.last();
        if (!top.indefinite && top.left == 0) {
            levels.removeLast();
            continue;
        }
        if (p >= end)
            return nullptr;
        if (*p == 0xff) {
            if (!top.indefinite || (top.major == 5 && top.left % 2 != 0))
                return nullptr;
            ++p;
            levels.removeLast();
            continue;
        }
        if (top.indefinite)
            ++top.left;
        else
            --top.left;
        const uchar info = *p & 0x1f;
        const uchar chunkOf = top.major == 2 || top.major == 3 ? top.major : 0;
        uchar major;
        quint64 arg;
        if (!(p = readHead(p, end, major, arg)) || levels.size() > 500)
            return nullptr;
        if (chunkOf && (major != chunkOf || info == 31))
            return nullptr;   // a string's chunks are definite strings of its own kind
        if (info == 31) {
            if (major < 2 || major > 5)
                return nullptr;
            levels.append({0, true, major});   // chunks, items or pairs up to a break
            continue;
        }
        switch (major) {
        case 2:
        case 3:
            if (arg > quint64(end - p))
                return nullptr;
            p += arg;
            break;
        case 4:
            levels.append({arg, false, 4});
            break;
        case 5:
            if (arg > (quint64(1) << 62))
                return nullptr;
            levels.append({2 * arg, false, 5});
            break;
        case 6:
            levels.append({1, false, 6});   // the tagged item
            break;
        case 7:
            if (info == 24 && arg < 32)
                return nullptr;   // a simple value written in two bytes that fits in one
            break;
        default:
            break;
        }
    }
    return p;
}

constexpr quint64 kMaxKeptParams = 256;

// The container params of a lone request (a map) as byte ranges of the body; none when the
// body is not one plainly well-formed request, which the full decoding then reports.
std::vector<KeptParam> containerParams(QByteArrayView bytes)
{
    const auto *begin = reinterpret_cast<const uchar *>(bytes.data());
    const auto *end = begin + bytes.size();
    uchar major;
    quint64 pairs;
    const uchar *p = readHead(begin, end, major, pairs);
    if (!p || major != 5)
        return {};
    const bool indefinite = pairs == 31 && (*begin & 0x1f) == 31;
    std::vector<KeptParam> kept;
    bool seenParams = false;
    for (quint64 k = 0; indefinite || k < pairs; ++k) {
        if (indefinite && p < end && *p == 0xff)
            break;
        quint64 length;
        const uchar *key = p;
        if (!(p = readHead(p, end, major, length)))
            return {};
        bool isParams = false;
        if (major == 3 && (*key & 0x1f) != 31) {
            if (length > quint64(end - p))
                return {};
            isParams = QByteArrayView(p, qsizetype(length)) == QByteArrayView("params");
            p += length;
        } else if (!(p = skipItem(key, end))) {
            return {};
        }
        if (!isParams) {
            if (!(p = skipItem(p, end)))
                return {};
            continue;
        }
        quint64 count;
        const uchar *head = p;
        if (seenParams || !(p = readHead(p, end, major, count)) || major != 4 || (*head & 0x1f) == 31)
            return {};   // repeated, not an array, or one of indefinite length: the tree decides
        seenParams = true;
        if (count > kMaxKeptParams)
            return {};   // no method takes so many: the whole body is weighed as a tree
        for (quint64 i = 0; i < count; ++i) {
            const uchar *start = p;
            if (!(p = skipItem(p, end)))
                return {};
            const uchar first = *start >> 5;
            if (first != 4 && first != 5)
                continue;
            const QByteArrayView encoded(start, p - start);
            if (!scanCborText(encoded, true).valid)
                return {};
            kept.push_back({qsizetype(i), encoded});
        }
    }
    return kept;
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

constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// QJsonDocument drops a U+FEFF that opens a string as if it marked the byte order. Written as
// the escape it stands for, the parser keeps it; outside a string it stays an error.
QByteArray escapeByteOrderMarks(QByteArrayView json)
{
    QByteArray out;
    out.reserve(json.size() + 64);
    qsizetype from = 0;
    for (qsizetype at; (at = json.indexOf(QByteArrayView(kUtf8Bom, 3), from)) >= 0; from = at + 3) {
        out.append(json.sliced(from, at - from));
        // After an escaping backslash the mark is an invalid escape, and must stay one.
        qsizetype slashes = 0;
        while (at - slashes > 0 && json[at - slashes - 1] == '\\')
            ++slashes;
        out.append(slashes % 2 ? QByteArrayView(kUtf8Bom, 3) : QByteArrayView("\\ufeff"));
    }
    out.append(json.sliced(from));
    return out;
}

QCborValue decodeJson(QByteArrayView body)
{
    if (!isValidUtf8(body))
        parseError(QStringLiteral("texto com UTF-8 inválido"));
    checkJsonTreeSize(body);
    QByteArray escaped;
    if (body.contains(QByteArrayView(kUtf8Bom, 3)))
        body = escaped = escapeByteOrderMarks(body);
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

// One pass over the bytes of well-formed CBOR: is every text string valid UTF-8, does any hold
// a NUL byte? Much cheaper than looking at every decoded value; those are looked at only when
// one may. A malformed head counts as both, so that the full decoding has the last word.
TextScan scanCborText(QByteArrayView cbor, bool checkUtf8)
{
    TextScan scan;
    const auto malformed = [&scan] {
        scan.valid = false;
        scan.mayHoldNul = true;
        return scan;
    };
    const auto *p = reinterpret_cast<const uchar *>(cbor.data());
    const auto *end = p + cbor.size();
    while (p < end) {
        const uchar major = *p >> 5, info = *p & 0x1f;
        ++p;
        if (major != 7 || info != 31) {
            ++scan.items;
            if (major == 4 || major == 5 || major == 6)   // a tag too is a container of its own
                ++scan.containers;
        }
        if (info == 31)
            continue;   // an indefinite-length item opens (its chunks or members follow) or a break
        if (info > 27)
            return malformed();
        quint64 arg = info;
        if (info >= 24) {
            const int n = 1 << (info - 24);
            if (end - p < n)
                return malformed();
            arg = 0;
            for (int i = 0; i < n; ++i)
                arg = (arg << 8) | *p++;
        }
        if (major != 2 && major != 3)
            continue;   // numbers, simple values, tags, container heads: nothing to skip
        if (arg > quint64(end - p))
            return malformed();
        if (major == 3) {
            const QByteArrayView text(p, qsizetype(arg));
            if (std::memchr(p, 0, std::size_t(arg)))
                scan.mayHoldNul = true;
            if (checkUtf8 && scan.valid && !isValidUtf8(text))
                scan.valid = false;
        }
        p += arg;
    }
    return scan;
}

bool holdsNul(const QCborValue &v)
{
    switch (v.type()) {
    case QCborValue::String:
        return v.toString().contains(QChar(u'\0'));
    case QCborValue::Array:
        for (const QCborValue &e : v.toArray())
            if (holdsNul(e))
                return true;
        return false;
    case QCborValue::Map:
        for (auto it = v.toMap().cbegin(), end = v.toMap().cend(); it != end; ++it)
            if (holdsNul(it.key()) || holdsNul(it.value()))
                return true;
        return false;
    default:
        return false;
    }
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
        // Eight ASCII bytes at a time: nearly all the text a database holds.
        if (end - p >= 8) {
            quint64 word;
            std::memcpy(&word, p, sizeof word);
            if (!(word & 0x8080808080808080ull)) {
                p += 8;
                continue;
            }
        }
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

QString textFromUtf8(QByteArrayView utf8)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

QString textOf(const QCborValue &text)
{
    if (!text.isString())
        return {};
    // A text value encodes as one definite-length string: its head, then the bytes.
    const QByteArray cbor = text.toCbor();
    const auto info = uchar(cbor.at(0)) & 0x1f;
    const qsizetype head = info < 24 ? 1 : info == 24 ? 2 : info == 25 ? 3 : info == 26 ? 5 : 9;
    return textFromUtf8(QByteArrayView(cbor).sliced(head));
}

Body decodeBody(QByteArrayView body, Encoding enc)
{
    if (enc == Encoding::Cbor) {
        std::vector<KeptParam> kept = containerParams(body);
        if (kept.empty()) {
            const bool mayHoldNul = checkedForTree(body);
            return {decodeCbor(body), mayHoldNul, {}};
        }
        // The tree is built without them: each stands as one `undefined` until the method is known.
        QByteArray rest;
        qsizetype from = 0;
        for (const KeptParam &k : kept) {
            const qsizetype at = k.cbor.data() - body.data();
            rest.append(body.sliced(from, at - from));
            rest.append('\xF7');
            from = at + k.cbor.size();
        }
        rest.append(body.sliced(from));
        checkedForTree(rest);
        return {decodeCbor(rest), scanCborText(body, false).mayHoldNul, std::move(kept)};
    }
    // JSON writes U+0000 as an escape (or, leniently read, as the raw byte).
    return {decodeJson(body), body.contains("u0000") || body.contains('\0'), {}};
}

Request readRequest(const Body &body, const QCborValue &root, QCborValue *idOut)
{
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
        const QString k = textOf(it.key());
        bool *seen = nullptr;
        if (k == QLatin1String("jsonrpc")) { seen = &hasVersion; version = it.value(); }
        else if (k == QLatin1String("method")) { seen = &hasMethod; method = it.value(); }
        else if (k == QLatin1String("params")) { seen = &hasParams; params = it.value(); }
        else if (k == QLatin1String("id")) { seen = &hasId; req.id = it.value(); }
        else invalidRequest(QStringLiteral("membro desconhecido \"%1\"").arg(echoed(k)));
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
    if (!hasVersion || !version.isString() || textOf(version) != QLatin1String("2.0"))
        invalidRequest(QStringLiteral("\"jsonrpc\" deve ser \"2.0\""));
    if (!hasMethod || !method.isString() || textOf(method).isEmpty())
        invalidRequest(QStringLiteral("\"method\" deve ser um texto não vazio"));
    req.method = textOf(method);
    if (hasParams) {
        if (params.isMap())
            req.paramsByName = true;
        else if (params.isArray()) {
            req.params = params.toArray();
            req.kept = body.kept;   // only a lone request has any
        }
        else
            invalidRequest(QStringLiteral("\"params\" deve ser uma lista"));
    }
    req.notification = !hasId;
    req.textMayHoldNul = body.textMayHoldNul;
    return req;
}

void checkBatch(const QCborArray &batch, std::size_t max)
{
    if (batch.isEmpty())
        invalidRequest(QStringLiteral("lote sem requisições"));
    if (std::size_t(batch.size()) > max)
        invalidRequest(QStringLiteral("lote com mais de %1 requisições").arg(max));
}

Request parseRequest(QByteArrayView body, Encoding enc, QCborValue *idOut)
{
    const Body decoded = decodeBody(body, enc);
    if (decoded.value.isArray())
        invalidRequest(QStringLiteral("esperava uma requisição, não um lote"));
    return readRequest(decoded, decoded.value, idOut);
}

void checkParams(const Request &req)
{
    if (req.paramsByName)
        throw Fault(code::InvalidParams,
                    QStringLiteral("Parâmetros por nome não são aceitos: envie \"params\" como uma lista."));
    const auto refuse = [](qsizetype i) {
        throw Fault(code::InvalidParams,
                    QStringLiteral("O argumento %1 contém o caractere nulo (U+0000), que não é aceito.").arg(i + 1));
    };
    for (qsizetype i = 0; req.textMayHoldNul && i < req.params.size(); ++i)
        if (holdsNul(req.params.at(i)))
            refuse(i);
    // A kept param is well formed (containerParams checked it): a zero byte in its text is
    // a U+0000, found without decoding it.
    for (const KeptParam &k : req.kept)
        if (req.textMayHoldNul && scanCborText(k.cbor, false).mayHoldNul)
            refuse(k.index);
}

QCborArray methodParams(const Request &req, bool keepEncoded)
{
    QCborArray params = req.params;
    if (!keepEncoded) {
        TextScan all;
        for (const KeptParam &k : req.kept) {
            const TextScan one = scanCborText(k.cbor, false);
            all.items += one.items;
            all.containers += one.containers;
        }
        checkTreeSize(all.items, all.containers);
    }
    for (const KeptParam &k : req.kept)
        params[k.index] = keepEncoded ? QCborValue(QCborKnownTags::EncodedCbor, k.cbor.toByteArray())
                                      : decodeCbor(k.cbor);
    return params;
}

QByteArray encodedParam(const QCborValue &param)
{
    if (isEncodedParam(param))
        return param.taggedValue().toByteArray();
    return param.toCbor();
}

QCborValue preEncodedParam(QByteArray cbor)
{
    return QCborValue(QCborKnownTags::EncodedCbor, std::move(cbor));
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

namespace {

// The head of a CBOR item of major type `major` and argument `n`.
QByteArray cborHead(uchar major, quint64 n)
{
    QByteArray head;
    const uchar m = uchar(major << 5);
    if (n < 24)
        return head.append(char(m | n));
    int bytes = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffull ? 4 : 8;
    head.append(char(m | (bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27)));
    for (int i = bytes - 1; i >= 0; --i)
        head.append(char((n >> (8 * i)) & 0xff));
    return head;
}

} // namespace

QByteArray encodeRequest(Encoding enc, const QString &method, const QCborArray &params,
                         const QCborValue &id)
{
    // A param already encoded (tag 24 around its bytes) goes as the value it encodes: in CBOR
    // its bytes are copied in as they are, never decoded.
    if (std::any_of(params.cbegin(), params.cend(), isEncodedParam)) {
        if (enc == Encoding::Json) {
            QCborArray decoded;
            for (const QCborValue &p : params)
                decoded.append(isEncodedParam(p) ? QCborValue::fromCbor(p.taggedValue().toByteArray()) : p);
            return encodeRequest(enc, method, decoded, id);
        }
        const QCborValue last = params.last();
        const QByteArray lastBytes = isEncodedParam(last) ? last.taggedValue().toByteArray() : last.toCbor();
        QCborArray leading = params;
        leading.removeLast();
        const RequestFrame frame = requestFrame(method, leading, id);
        QByteArray out;
        // Sized once: growing by doubling would hold twice the lines for a moment.
        out.reserve(frame.head.size() + lastBytes.size() + frame.tail.size());
        out.append(frame.head).append(lastBytes).append(frame.tail);
        return out;
    }
    QCborMap req;
    req.insert(QLatin1String("jsonrpc"), QLatin1String("2.0"));
    req.insert(QLatin1String("method"), method);
    req.insert(QLatin1String("params"), params);
    req.insert(QLatin1String("id"), id);
    if (enc == Encoding::Cbor)
        return QCborValue(req).toCbor();
    return QJsonDocument(req.toJsonObject()).toJson(QJsonDocument::Compact);
}

RequestFrame requestFrame(const QString &method, const QCborArray &params, const QCborValue &id)
{
    RequestFrame f{cborHead(5, 4), {}};
    for (const QCborValue &v : {QCborValue(QLatin1String("jsonrpc")), QCborValue(QLatin1String("2.0")),
                                QCborValue(QLatin1String("method")), QCborValue(method),
                                QCborValue(QLatin1String("params"))})
        f.head += v.toCbor();
    f.head += cborHead(4, quint64(params.size()) + 1);
    for (const QCborValue &p : params)
        f.head += isEncodedParam(p) ? p.taggedValue().toByteArray() : p.toCbor();
    f.tail = QCborValue(QLatin1String("id")).toCbor() + id.toCbor();
    return f;
}

} // namespace fiscal::rpc
