// Ger10207.rdmConsultas: the module's lookups for desktops that have no database of their
// own. Only the catalogue's statements run (no SQL text travels); each in one read-only
// snapshot, its packet built from the statement's columns exactly as the client builds it
// from a direct query: names upper case, every field a string of no fixed size, nulls kept.

#include "appserver/common/args.h"
#include "appserver/common/packetstream.h"
#include "appserver/common/transaction.h"
#include "appserver/objects/objects.h"
#include "protocol/lookups.h"
#include "protocol/objects.h"
#include "rpc/envelope.h"

#include <QCborArray>
#include <algorithm>
#include <cctype>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fiscal::appserver {

namespace {

using dataset::ValueWriter;

rpc::Fault badParams(const QString &message)
{
    return rpc::Fault(rpc::code::InvalidParams, message);
}

const protocol::Lookup &lookupArg(const QCborArray &params)
{
    const std::string name = stringArg(params, 0, 64, "nome da consulta");
    try {
        return protocol::findLookup(name);
    } catch (const std::out_of_range &) {
        throw badParams(QStringLiteral("Consulta desconhecida: \"%1\".").arg(QString::fromStdString(name)));
    }
}

// The values by parameter name, in the catalogue's order; null stands for a parameter never set.
std::vector<std::optional<std::string>> valuesArg(const QCborArray &params, const protocol::Lookup &l)
{
    if (!params.at(1).isArray())
        throw badParams(QStringLiteral("Consulta: os parâmetros devem ser uma lista."));
    const QCborArray list = params.at(1).toArray();
    if (list.size() != qsizetype(l.params.size()))
        throw badParams(QStringLiteral("Consulta %1: esperados %2 parâmetros, recebidos %3.")
                            .arg(QString::fromUtf8(l.name))
                            .arg(l.params.size())
                            .arg(list.size()));
    std::vector<std::optional<std::string>> values;
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (list.at(i).isNull()) {
            values.emplace_back();
            continue;
        }
        if (!list.at(i).isString())
            throw badParams(QStringLiteral("Consulta %1: o parâmetro %2 deve ser texto.")
                                .arg(QString::fromUtf8(l.name), QString::fromUtf8(l.params[size_t(i)])));
        values.emplace_back(rpc::textOf(list.at(i)).toStdString());
    }
    return values;
}

void writeRow(ValueWriter &w, storage::Statement &st, const std::vector<std::string> &names)
{
    w.startArray();
    for (int c = 0; c < st.columnCount(); ++c) {
        if (st.isNull(c)) {
            w.null();
            continue;
        }
        const std::string_view text = st.text(c);
        if (!isValidUtf8(text))
            throw rpc::Fault(rpc::code::Database, QStringLiteral("O banco de dados contém texto inválido no campo %1.")
                                                      .arg(QString::fromStdString(names[size_t(c)])));
        w.string(text);
    }
    w.endArray();
}

// The columns are known once the statement has run (PostgreSQL), so the first row is read
// before the fields are written.
void streamLookup(storage::Connection &c, ValueWriter &w, const protocol::Lookup &l,
                  const std::vector<std::optional<std::string>> &values)
{
    const storage::NamedSql named = storage::translateNamed(l.sql);
    auto st = c.prepareCached(named.sql);
    for (size_t i = 0; i < named.names.size(); ++i) {
        const auto at = std::find_if(l.params.begin(), l.params.end(),
                                     [&](const char *p) { return named.names[i] == p; });
        const std::optional<std::string> &v = values[size_t(at - l.params.begin())];
        st->bind(int(i) + 1, v ? std::optional<std::string_view>(*v) : std::nullopt);
    }
    const bool any = st->step();
    std::vector<std::string> names;
    std::vector<protocol::PacketField> fields;
    for (int col = 0; col < st->columnCount(); ++col) {
        std::string n = st->columnName(col);
        std::transform(n.begin(), n.end(), n.begin(), [](unsigned char ch) { return char(std::toupper(ch)); });
        names.push_back(std::move(n));
    }
    for (const std::string &n : names)
        fields.push_back({n, 0});
    w.startMap();
    w.key("fields");
    writeFieldDefs(w, fields);
    w.key("rows");
    w.startArray();
    for (bool more = any; more; more = st->step())
        writeRow(w, *st, names);
    w.endArray();
    w.endMap();
}

} // namespace

void registerLookupMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    // Reads only: every role may call it. Some lookups read every client or supplier, so each
    // call counts against a batch's heavy calls (the desktop sends them one at a time).
    d.add(protocol::kConsultas, protocol::method::Consulta, [&pool](const QCborArray &params, ValueWriter &w) {
        expectCount(params, 2, protocol::method::Consulta);
        const protocol::Lookup &l = lookupArg(params);
        const auto values = valuesArg(params, l);
        withReadTransaction(pool, [&](storage::Connection &c) { streamLookup(c, w, l, values); });
    }, rpc::CallKind::HeavyRead);
}

} // namespace fiscal::appserver
