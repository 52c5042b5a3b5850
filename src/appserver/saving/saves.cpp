#include "appserver/saving/saves.h"

#include "appserver/common/args.h"
#include "appserver/common/faults.h"
#include "appserver/common/transaction.h"
#include "appserver/history/history.h"
#include "appserver/saving/apply.h"
#include "dataset/packet.h"
#include "rpc/envelope.h"

#include <string>

namespace fiscal::appserver {

namespace {

// The param comes still encoded from a CBOR request (the method is registered so): it is
// read once, from the request's bytes.
dataset::ChangeSet readChangeSet(const changeset::TableSpec &spec, const QCborValue &v)
{
    try {
        const QByteArray cbor = rpc::encodedParam(v);
        if (!spec.wholePacket)
            return dataset::ChangeSet::readCbor(cbor);
        dataset::DataPacket p = dataset::DataPacket::readCbor(cbor);
        if (p.changes)
            return *std::move(p.changes);
        return dataset::ChangeSet{p.fields, {}};
    } catch (const dataset::PacketError &e) {
        invalid(QStringLiteral("As alterações enviadas a %1 são inválidas: %2")
                    .arg(QLatin1String(spec.method), e.message()));
    }
}

} // namespace

Saves::Saves(ConnectionPool &pool)
    : m_pool(pool),
      m_combined(pool, [this](const changeset::TableSpec &spec, const std::vector<changeset::Item> &items) {
          saveAlone(spec, items);
      })
{
}

void Saves::save(const changeset::TableSpec &spec, const QCborArray &params, dataset::ValueWriter &out)
{
    expectCount(params, 1, spec.method);
    std::vector<changeset::Item> items = changeset::decode(spec, readChangeSet(spec, params.at(0)));
    if (m_combined.accepts(spec, items))
        m_combined.save(spec, std::move(items));
    else
        saveAlone(spec, items);
    out.null();
}

void Saves::saveAlone(const changeset::TableSpec &spec, const std::vector<changeset::Item> &items)
{
    // The arguments are the rows the change set carried, as argumentsJson gives them and as
    // the combined statement (apply_combined.cpp) records them too.
    const history::Operation op{spec.method, "[" + std::to_string(items.size()) + "]", {}};
    const auto write = [&](storage::Connection &c) {
        history::Recorder h(c, op);
        changeset::apply(c, spec, items, h);
        h.finish();
    };
    if (changeset::singleStatement(spec, items))
        withSingleStatement(m_pool, write);
    else if (!items.empty())
        withTransaction(m_pool, write);
}

} // namespace fiscal::appserver
