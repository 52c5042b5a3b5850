#include "clientrows.h"

#include "benchsupport.h"

#include "dataset/packet.h"
#include "rpc/envelope.h"

#include <QCborValue>

#include <stdexcept>

namespace fiscal::bench {

namespace {

dataset::Row toRow(const std::vector<Value> &values)
{
    dataset::Row r;
    for (const Value &v : values) {
        if (v)
            r.append(QString::fromStdString(*v));
        else
            r.appendNull();
    }
    return r;
}

} // namespace

QCborArray changeSetFor(const ClientRow &c)
{
    dataset::ChangeSet cs;
    cs.fields = {{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21}, {"NOME", 50},
                 {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3}, {"DSGRUPOFISC", 30}};
    std::vector<Value> after = c.row;
    after[5] = c.newGroup;
    after[6] = c.newDescription;
    cs.changes.append(dataset::Change{dataset::Change::Update, toRow(c.row), toRow(after)});
    return QCborArray{rpc::preEncodedParam(cs.toCbor())};   // as the screens send it
}

std::vector<ClientRow> pickClients(storage::Connection &c, int count, int offset)
{
    std::vector<std::pair<std::string, std::string>> groups;
    {
        auto st = c.prepare("SELECT CDGRUPOFISC, DSGRUPOFISC FROM GRUPOFISCAL ORDER BY CDGRUPOFISC");
        while (st->step())
            groups.emplace_back(st->text(0), st->text(1));
    }
    if (groups.size() < 2)
        throw std::runtime_error("the database needs at least two fiscal groups");
    const std::int64_t total = bench::count(c, "SELECT COUNT(*) FROM CLIENTE");
    const std::int64_t step = total / (2 * std::int64_t(count));
    if (step < 1)
        throw std::runtime_error("not enough clients for " + std::to_string(count) + " calls per side");

    // One pass over the table in key order, taking every step-th client.
    auto st = c.prepare("SELECT C.NMFANTCLIE, C.NRINSJURCLIE, C.CDCLIENTE, C.NMRAZSOCCLIE, C.IDTPIJURCLIE,"
                        " C.CDGRUPOFISC, G.DSGRUPOFISC FROM CLIENTE C"
                        " LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = C.CDGRUPOFISC"
                        " ORDER BY C.CDCLIENTE");
    std::vector<ClientRow> out;
    for (std::int64_t i = 0; int(out.size()) < count && st->step(); ++i) {
        if (i % (2 * step) != offset * step)
            continue;
        ClientRow cl;
        for (int f = 0; f < 7; ++f)
            cl.row.push_back(st->isNull(f) ? Value{} : Value{std::string(st->text(f))});
        cl.group = cl.row[5];
        cl.description = cl.row[6];
        size_t next = 0;
        for (size_t g = 0; g < groups.size(); ++g)
            if (cl.group && groups[g].first == *cl.group)
                next = (g + 1) % groups.size();
        cl.newGroup = groups[next].first;
        cl.newDescription = groups[next].second;
        out.push_back(std::move(cl));
    }
    if (int(out.size()) < count)
        throw std::runtime_error("not enough clients");
    return out;
}

double rawSave(storage::Connection &c, storage::Statement &st, const std::string &key, const Value &from,
               const Value &to)
{
    const auto t0 = Clock::now();
    c.begin();
    st.bind(1, to ? std::optional<std::string_view>(*to) : std::nullopt);
    st.bind(2, key);
    st.bind(3, from ? std::optional<std::string_view>(*from) : std::nullopt);
    const std::int64_t n = st.execute();
    c.commit();
    const double s = secondsSince(t0);
    if (n != 1)
        throw std::runtime_error("raw UPDATE of client " + key + " changed " + std::to_string(n) + " rows");
    return s;
}

} // namespace fiscal::bench
