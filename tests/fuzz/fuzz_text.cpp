// Fuzz target: text on every road it travels. The bytes are a candidate UTF-8 text (NUL,
// byte-order marks, overlong forms, surrogates, code points above U+10FFFF...) and, a
// second time, the inside of a JSON string literal (escapes such as "\ud800" or "\u0000").
// Whatever they hold, every road agrees with Qt's strict decoder on what is valid: a valid
// text arrives exactly as sent (a leading U+FEFF included) in a CBOR or JSON request, in a
// data packet, and from the database through the server's packet writer to the client's
// decoder; an invalid one is refused with the road's own error, never turned into another
// text. U+0000 is refused wherever a database would see it.

#include "appserver/common/packetstream.h"
#include "appserver/common/text.h"
#include "dataset/packet.h"
#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "storage/database.h"

#include <QStringDecoder>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace fiscal;

namespace {

// Names the broken invariant before aborting, so a crash report says which one.
#define check(ok) ((ok) ? void(0) : fail(#ok, __LINE__))
[[noreturn]] void fail(const char *what, int line)
{
    std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, line, what);
    std::abort();
}

QByteArray cborText(QByteArrayView utf8)
{
    QByteArray out;
    const auto n = quint64(utf8.size());
    if (n < 24) {
        out.append(char(0x60 | n));
    } else if (n < 256) {
        out.append(char(0x78));
        out.append(char(n));
    } else {
        out.append(char(0x79));
        out.append(char(n >> 8));
        out.append(char(n & 0xff));
    }
    out.append(utf8);
    return out;
}

QByteArray cborRequest(QByteArrayView text)
{
    return QByteArray("\xA4" "\x67" "jsonrpc" "\x63" "2.0" "\x66" "method" "\x61" "M"
                      "\x66" "params" "\x81")
        + cborText(text) + QByteArray("\x62" "id" "\x01");
}

// The text as it sits inside a JSON string: only what JSON forbids raw is escaped.
QByteArray jsonLiteral(QByteArrayView utf8)
{
    QByteArray out;
    for (const char ch : utf8) {
        const auto u = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out.append('\\');
            out.append(ch);
        } else if (u < 0x20) {
            out.append(QByteArray("\\u00") + QByteArray::number(u, 16).rightJustified(2, '0'));
        } else {
            out.append(ch);
        }
    }
    return out;
}

QByteArray jsonRequest(QByteArrayView insideString)
{
    return QByteArray(R"({"jsonrpc":"2.0","method":"M","params":[")") + insideString.toByteArray()
        + QByteArray(R"("],"id":1})");
}

QByteArray packetWithText(QByteArrayView text)
{
    return QByteArray("\xA2" "\x66" "fields" "\x81" "\xA4" "\x64" "name" "\x61" "X" "\x64" "size"
                      "\x19\xFF\xFF" "\x64" "type" "\x66" "string" "\x68" "required" "\xF4"
                      "\x64" "rows" "\x81" "\x81")
        + cborText(text);
}

std::size_t codePointsOf(const QString &s)
{
    std::size_t n = 0;
    for (const QChar c : s)
        n += c.isLowSurrogate() ? 0 : 1;
    return n;
}

// How a request body holding the text as its one parameter is read: the parameter's
// text, or the fault's code.
struct Outcome {
    int code = 0;
    bool oneText = false;           // params held exactly one text
    QString text;
    bool refusedByParams = false;   // checkParams refused it (U+0000)
};

Outcome readParam(const QByteArray &body, rpc::Encoding enc)
{
    Outcome o;
    try {
        const rpc::Request req = rpc::parseRequest(body, enc);
        o.oneText = req.params.size() == 1 && req.params.at(0).isString();
        if (!o.oneText)
            return o;
        o.text = rpc::textOf(req.params.at(0));
        try {
            rpc::checkParams(req);
        } catch (const rpc::Fault &f) {
            check(f.code() == rpc::code::InvalidParams);
            o.refusedByParams = true;
        }
    } catch (const rpc::Fault &f) {
        o.code = f.code();
    }
    return o;
}

storage::Connection &memoryDatabase()
{
    static const auto c = storage::open(":memory:");
    return *c;
}

// The text stored in a database, sent by the server's packet writer, read by the client.
void checkDatabaseRoad(QByteArrayView bytes, bool valid, const QString &text)
{
    const std::string_view raw(bytes.data(), std::size_t(bytes.size()));
    static const auto select = memoryDatabase().prepare("SELECT $1");
    select->reset();
    try {
        select->bind(1, raw);
    } catch (const storage::Error &e) {
        check(e.kind() == storage::Error::Kind::Constraint && raw.find('\0') != std::string_view::npos);
        return;
    }
    check(raw.find('\0') == std::string_view::npos);
    QByteArray out;
    auto writer = dataset::makeWriter(dataset::Encoding::Cbor, out);
    static constexpr std::array<appserver::FieldSpec, 1> fields{{{"X", 65535}}};
    try {
        appserver::writePacket(*writer, fields, *select);
    } catch (const rpc::Fault &f) {
        check(!valid && f.code() == rpc::code::Database);
        return;
    }
    check(valid);
    const dataset::DataPacket p = dataset::DataPacket::readCbor(out);
    check(p.rows.size() == 1 && p.rows.at(0).size() == 1 && p.rows.at(0).value(0) == text);
}

void checkAsText(QByteArrayView bytes)
{
    const bool valid = rpc::isValidUtf8(bytes);
    QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless
                                                    | QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = strict.decode(bytes);
    // (Qt reports an error for no bytes at all.)
    check(bytes.isEmpty() || valid == !strict.hasError());

    const QString text = valid ? rpc::textFromUtf8(bytes) : QString();
    const bool nul = bytes.contains('\0');
    if (valid) {
        check(text == decoded);
        check(text.toUtf8() == bytes);
        check(appserver::codePoints(std::string_view(bytes.data(), std::size_t(bytes.size())))
              == codePointsOf(text));
    }

    for (const rpc::Encoding enc : {rpc::Encoding::Cbor, rpc::Encoding::Json}) {
        const Outcome o = readParam(enc == rpc::Encoding::Cbor ? cborRequest(bytes) : jsonRequest(jsonLiteral(bytes)), enc);
        if (!valid) {
            check(o.code == rpc::code::ParseError);
            continue;
        }
        check(o.code == 0 && o.oneText && o.text == text && o.refusedByParams == nul);
    }

    try {
        const dataset::DataPacket p = dataset::DataPacket::readCbor(packetWithText(bytes));
        check(valid && p.rows.size() == 1 && p.rows.at(0).value(0) == text);
    } catch (const dataset::PacketError &) {
        check(!valid);
    }

    checkDatabaseRoad(bytes, valid, text);
}

// The bytes between the quotes of a JSON string: whatever the escapes make of them, what the
// server accepts is well-formed text that reads back the same in both encodings.
void checkAsJsonEscapes(QByteArrayView bytes)
{
    const Outcome o = readParam(jsonRequest(bytes), rpc::Encoding::Json);
    if (o.code != 0) {
        check(o.code == rpc::code::ParseError || o.code == rpc::code::InvalidRequest);
        return;
    }
    if (!o.oneText)
        return;   // the bytes closed the string and wrote more of the request
    const QByteArray utf8 = o.text.toUtf8();
    check(rpc::isValidUtf8(utf8) && rpc::textFromUtf8(utf8) == o.text);
    check(o.refusedByParams == o.text.contains(QChar(u'\0')));
    for (const rpc::Encoding enc : {rpc::Encoding::Cbor, rpc::Encoding::Json}) {
        const QByteArray again = rpc::encodeRequest(enc, QStringLiteral("M"), {o.text}, QCborValue(1));
        const Outcome back = readParam(again, enc);
        check(back.code == 0 && back.oneText && back.text == o.text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const QByteArrayView bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkAsText(bytes);
    checkAsJsonEscapes(bytes);
    return 0;
}
