#include "appserver/common/packetstream.h"

#include "rpc/dispatcher.h"
#include "rpc/envelope.h"

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
    // Nearly every value is short and ASCII: settle those here, in a loop the compiler
    // vectorises, rather than with a call into the RPC library per value.
    unsigned char bits = 0;
    for (const char ch : s)
        bits |= static_cast<unsigned char>(ch);
    return bits < 0x80 || rpc::isValidUtf8(QByteArrayView(s.data(), qsizetype(s.size())));
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
