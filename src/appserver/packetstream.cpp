#include "appserver/packetstream.h"

#include "rpc/dispatcher.h"

#include <iostream>

namespace fiscal::appserver {

namespace {

void beginPacket(dataset::ValueWriter &w, std::span<const FieldSpec> fields)
{
    w.startMap();
    w.key("fields");
    writeFieldDefs(w, fields);
    w.key("rows");
    w.startArray();
}

void endPacket(dataset::ValueWriter &w)
{
    w.endArray();
    w.endMap();
}

} // namespace

bool isValidUtf8(std::string_view s)
{
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const auto *end = p + s.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        char32_t cp;
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (end - p <= extra)
            return false;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // overlong forms, surrogates and values past U+10FFFF
        if ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)
            || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            return false;
        p += extra + 1;
    }
    return true;
}

void writeFieldDefs(dataset::ValueWriter &w, std::span<const FieldSpec> fields)
{
    w.startArray();
    for (const FieldSpec &f : fields) {
        w.startMap();
        w.key("name");
        w.string(f.name);
        w.key("size");
        w.integer(f.size);
        w.key("type");
        w.string(std::string_view("string"));
        w.key("required");
        w.boolean(false);
        w.endMap();
    }
    w.endArray();
}

std::int64_t writePacket(dataset::ValueWriter &w, std::span<const FieldSpec> fields,
                         storage::Statement &stmt)
{
    beginPacket(w, fields);
    const int n = int(fields.size());
    std::int64_t rows = 0;
    bool checked = false;
    while (stmt.step()) {
        if (!checked) {
            if (stmt.columnCount() != n) {
                std::cerr << "fiscal-server: query returned " << stmt.columnCount()
                          << " columns for a packet of " << n << " fields" << std::endl;
                throw rpc::Fault(rpc::code::Internal, QStringLiteral("Erro interno do servidor."));
            }
            checked = true;
        }
        w.startArray();
        for (int c = 0; c < n; ++c) {
            if (stmt.isNull(c)) {
                w.null();
                continue;
            }
            const std::string_view text = stmt.text(c);
            // The database may hold bytes no client can decode; refuse rather than send them.
            if (!isValidUtf8(text))
                throw rpc::Fault(rpc::code::Database,
                    QStringLiteral("O banco de dados contém texto inválido no campo %1.")
                        .arg(QString::fromUtf8(fields[c].name.data(), qsizetype(fields[c].name.size()))));
            w.string(text);
        }
        w.endArray();
        ++rows;
    }
    endPacket(w);
    return rows;
}

void writeEmptyPacket(dataset::ValueWriter &w, std::span<const FieldSpec> fields)
{
    beginPacket(w, fields);
    endPacket(w);
}

} // namespace fiscal::appserver
