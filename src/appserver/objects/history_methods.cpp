// Ger10204.rdmHistorico: reading the change history and undoing an operation.
//
//   GetHistoricoRegistro(table, key)   the entries of one record, newest first
//   GetOperacoes(limit, beforeId)      the operations, newest first, a page at a time
//   GetOperacaoItens(id)               the rows one operation changed
//   DesfazOperacao(id)                 undoes an operation (history/undo.h)
//   SimulaDesfazOperacao(id)           what the undo would restore and skip, per table
//   GetSituacaoEm(table, tax, company, registration, moment)
//                                      a tab's table as it was at a moment (history/situation.h)

#include "appserver/access/roles.h"
#include "appserver/common/args.h"
#include "appserver/history/history.h"
#include "appserver/history/situation.h"
#include "appserver/history/undo.h"
#include "appserver/common/packetstream.h"
#include "appserver/objects/objects.h"
#include "appserver/common/transaction.h"
#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "protocol/historypackets.h"
#include "protocol/objects.h"

#include <QCborMap>

#include <string>
#include <vector>

namespace fiscal::appserver {

namespace method = protocol::method;
using protocol::history::kDesfeita;
using protocol::history::kItens;
using protocol::history::kOperacoes;
using protocol::history::kRegistro;
using protocol::history::kSimulada;

namespace {

using dataset::ValueWriter;
using storage::Connection;

constexpr int kDefaultPage = 100;
constexpr int kMaxPage = 1000;

// The record index holds the items of every operation but the bulk ones; those are sought
// one bulk operation at a time by the item's primary key (CROSS JOIN: SQLite keeps that
// order instead of scanning every item).
const std::string kRegistroSql =
    "SELECT h.IDOPERACAO, o.DTOPERACAO, o.NMUSUARIO, o.NMMETODO, h.IDACAO, h.CDGRUPOANT, ga.DSGRUPOFISC,"
    " h.CDGRUPONOVO, gn.DSGRUPOFISC, o.IDDESFEITAPOR FROM ("
    "SELECT i.IDOPERACAO, i.IDACAO, i.CDGRUPOANT, i.CDGRUPONOVO FROM HISTITEM i WHERE i.FLLOTE = 'N'"
    " AND i.NMTABELA = $1 AND i.CDCHAVE1 = $2 AND i.CDCHAVE2 = $3 AND i.CDCHAVE3 = $4 AND i.CDCHAVE4 = $5"
    " UNION ALL "
    "SELECT i.IDOPERACAO, i.IDACAO, i.CDGRUPOANT, i.CDGRUPONOVO FROM HISTOPERACAO b CROSS JOIN HISTITEM i"
    " WHERE b.FLLOTE = 'S' AND i.IDOPERACAO = b.IDOPERACAO AND i.NMTABELA = $1 AND i.CDCHAVE1 = $2"
    " AND i.CDCHAVE2 = $3 AND i.CDCHAVE3 = $4 AND i.CDCHAVE4 = $5 AND i.FLLOTE = 'S'"
    ") h JOIN HISTOPERACAO o ON o.IDOPERACAO = h.IDOPERACAO"
    " LEFT JOIN GRUPOFISCAL ga ON ga.CDGRUPOFISC = h.CDGRUPOANT"
    " LEFT JOIN GRUPOFISCAL gn ON gn.CDGRUPOFISC = h.CDGRUPONOVO"
    " ORDER BY h.IDOPERACAO DESC";

const std::string kItensSql =
    "SELECT h.NMTABELA, h.CDCHAVE1, NULLIF(h.CDCHAVE2, ''), NULLIF(h.CDCHAVE3, ''), NULLIF(h.CDCHAVE4, ''),"
    " h.IDACAO, h.CDGRUPOANT, ga.DSGRUPOFISC, h.CDGRUPONOVO, gn.DSGRUPOFISC"
    " FROM HISTITEM h"
    " LEFT JOIN GRUPOFISCAL ga ON ga.CDGRUPOFISC = h.CDGRUPOANT"
    " LEFT JOIN GRUPOFISCAL gn ON gn.CDGRUPOFISC = h.CDGRUPONOVO"
    " WHERE h.IDOPERACAO = $1 ORDER BY h.NMTABELA, h.CDCHAVE1, h.CDCHAVE2, h.CDCHAVE3, h.CDCHAVE4";

const std::string kOperacoesColumns =
    "SELECT IDOPERACAO, DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS,"
    " IDDESFAZ, IDDESFEITAPOR, DSENDERECO FROM HISTOPERACAO";

void getHistoricoRegistro(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 2, method::GetHistoricoRegistro);
    const std::string name = stringArg(params, 0, 20, "tabela");
    const history::Table *t = history::findTable(name);
    if (!t)
        invalid(QStringLiteral("A tabela %1 não tem histórico.").arg(rpc::echoed(q(name))));
    std::vector<std::string> key = parseKeyList(stringArg(params, 1, -1, "chave"), 21, "chave");
    if (key.size() != t->keys.size())
        invalid(QStringLiteral("A chave de %1 tem %2 campo(s), mas vieram %3.")
                            .arg(q(name)).arg(t->keys.size()).arg(key.size()));
    key.resize(4);   // unused key columns hold ''
    withReadTransaction(pool, [&](Connection &c) {
        auto st = c.prepareCached(kRegistroSql);
        st->bind(1, name);
        for (int i = 0; i < 4; ++i)
            st->bind(i + 2, key[std::size_t(i)]);
        writePacket(w, kRegistro, *st);
    });
}

void getOperacoes(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 2, method::GetOperacoes);
    const bool defaultLimit = stringArg(params, 0, 18, "limite").empty();
    const std::int64_t limit = defaultLimit ? kDefaultPage : integerArg(params, 0, "limite");
    if (limit < 1 || limit > kMaxPage)
        invalid(QStringLiteral("O limite deve ser de 1 a %1.").arg(kMaxPage));
    const bool fromNewest = stringArg(params, 1, 18, "operação inicial").empty();
    const std::int64_t before = fromNewest ? 0 : integerArg(params, 1, "operação inicial");
    withReadTransaction(pool, [&](Connection &c) {
        auto st = c.prepareCached(kOperacoesColumns + (fromNewest ? "" : " WHERE IDOPERACAO < $1")
                                  + " ORDER BY IDOPERACAO DESC LIMIT " + std::to_string(limit));
        if (!fromNewest)
            st->bindInt(1, before);
        writePacket(w, kOperacoes, *st);
    });
}

void requireOperation(Connection &c, std::int64_t id)
{
    auto st = c.prepareCached("SELECT 1 FROM HISTOPERACAO WHERE IDOPERACAO = $1");
    st->bindInt(1, id);
    if (!st->step())
        notFound(QStringLiteral("Operação %1 não encontrada no histórico.").arg(id));
}

void getOperacaoItens(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 1, method::GetOperacaoItens);
    const std::int64_t id = integerArg(params, 0, "operação");
    withReadTransaction(pool, [&](Connection &c) {
        requireOperation(c, id);
        auto st = c.prepareCached(kItensSql);
        st->bindInt(1, id);
        writePacket(w, kItens, *st);
    });
}

void writeCounts(ValueWriter &w, std::int64_t restored, const history::Skipped &skipped, bool withTotal)
{
    w.string(std::to_string(restored));
    if (withTotal)
        w.string(std::to_string(skipped.total()));
    for (std::int64_t n : {skipped.later, skipped.outside, skipped.gone})
        w.string(std::to_string(n));
}

// Whose the operation is decides whether an operador may undo it.
void requireUndoRight(Connection &c, std::int64_t id)
{
    auto owner = c.prepareCached("SELECT NMUSUARIO FROM HISTOPERACAO WHERE IDOPERACAO = $1");
    owner->bindInt(1, id);
    if (owner->step())
        access::requireUndoOf(std::string(owner->text(0)));
}

void desfazOperacao(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 1, method::DesfazOperacao);
    const std::int64_t id = integerArg(params, 0, "operação");
    const history::Operation op{method::DesfazOperacao, history::argumentsJson(params), id};
    const history::UndoResult r = withTransaction(pool, [&](Connection &c) {
        requireUndoRight(c, id);
        history::Recorder h(c, op);
        return history::undoOperation(h, id);
    }, ForeignKeys::HeldOnce);   // undoOperation checks and holds what it writes
    w.startMap();
    w.key("fields");
    writeFieldDefs(w, kDesfeita);
    w.key("rows");
    w.startArray();
    w.startArray();
    if (r.operation)
        w.string(std::to_string(r.operation));
    else
        w.null();
    writeCounts(w, r.restored(), r.skipped(), true);
    w.endArray();
    w.endArray();
    w.endMap();
}

// What DesfazOperacao would do now, per table, without doing it.
void simulaDesfazOperacao(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 1, method::SimulaDesfazOperacao);
    const std::int64_t id = integerArg(params, 0, "operação");
    withPreviewTransaction(pool, [&](Connection &c) {
        // Refused here already: the desktop asks about the pending changes it would reload
        // between this preview and the undo, and may discard them on the clerk's word.
        requireUndoRight(c, id);
        history::Recorder h(c, {}, history::Recorder::Mode::Preview);
        const history::UndoResult r = history::undoOperation(h, id);
        w.startMap();
        w.key("fields");
        writeFieldDefs(w, kSimulada);
        w.key("rows");
        w.startArray();
        for (const history::TableUndo &t : r.tables) {
            w.startArray();
            w.string(std::string_view(t.table->name));
            w.string(std::to_string(t.items));
            writeCounts(w, t.restored, t.skipped, false);
            w.endArray();
        }
        w.endArray();
        w.endMap();
    });
}

// The moment is checked before the database is: a malformed or future one never waits for
// a connection.
void getSituacaoEm(ConnectionPool &pool, const QCborArray &params, ValueWriter &w)
{
    expectCount(params, 5, method::GetSituacaoEm);
    history::SituationQuery query;
    query.table = stringArg(params, 0, 20, "tabela");
    query.imposto = codeArg(params, 1, 2, "código do imposto");
    query.empresa = codeArg(params, 2, 2, "código da empresa");
    query.inscricao = codeArg(params, 3, 16, "código da inscrição estadual");
    const QString text = QString::fromStdString(stringArg(params, 4, 40, "momento"));
    const std::optional<std::string> moment = history::normalizedMoment(text);
    if (!moment)
        invalid(QStringLiteral("O momento %1 não está no formato ISO 8601 (por exemplo 2026-03-15T14:30:00Z).")
                    .arg(rpc::echoed(text)));
    // The server's time goes with the refusal: a desktop whose clock runs ahead can offer it.
    if (const std::string now = history::utcNow(); *moment > now)
        throw rpc::Fault(rpc::code::InvalidParams, QStringLiteral("O momento %1 está no futuro.").arg(rpc::echoed(text)),
                         QCborMap{{QStringLiteral("agoraServidor"), QString::fromStdString(now)}});
    query.moment = *moment;
    withReadTransaction(pool, [&](Connection &c) { history::writeSituation(c, query, w); });
}

} // namespace

void registerHistoryMethods(rpc::Dispatcher &d, ConnectionPool &pool)
{
    d.add(protocol::kHistorico, method::GetHistoricoRegistro,
          [&pool](const QCborArray &p, ValueWriter &w) { getHistoricoRegistro(pool, p, w); });
    d.add(protocol::kHistorico, method::GetOperacoes, [&pool](const QCborArray &p, ValueWriter &w) { getOperacoes(pool, p, w); });
    // An operation's items: a registration's may be 500,000 rows.
    d.add(protocol::kHistorico, method::GetOperacaoItens,
          [&pool](const QCborArray &p, ValueWriter &w) { getOperacaoItens(pool, p, w); }, rpc::CallKind::HeavyRead);
    d.add(protocol::kHistorico, method::DesfazOperacao, [&pool](const QCborArray &p, ValueWriter &w) { desfazOperacao(pool, p, w); }, rpc::CallKind::Bulk);
    d.add(protocol::kHistorico, method::SimulaDesfazOperacao,
          [&pool](const QCborArray &p, ValueWriter &w) { simulaDesfazOperacao(pool, p, w); }, rpc::CallKind::Bulk);
    d.add(protocol::kHistorico, method::GetSituacaoEm, [&pool](const QCborArray &p, ValueWriter &w) { getSituacaoEm(pool, p, w); }, rpc::CallKind::HeavyRead);
}

} // namespace fiscal::appserver
