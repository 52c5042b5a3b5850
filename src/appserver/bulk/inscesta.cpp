// CadAutoImpInscEsta: the fiscal group of the chosen clients and suppliers for one tax and
// the chosen company state registrations, as one INSERT ... SELECT (or DELETE) per side.

#include "appserver/common/args.h"
#include "appserver/bulk/bulk.h"
#include "appserver/history/history.h"
#include "protocol/bulkcalls.h"
#include "appserver/common/checks.h"
#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "appserver/common/temptable.h"

#include <QString>

namespace fiscal::appserver::bulk {

namespace {

Choice readChoice(const QString &choice, const char *choiceWhat, bool noneAllowed, const QString &listText,
                  int keySize, const char *listWhat)
{
    Choice ch;
    const std::string code = choice.toStdString();
    if (code != "T" && code != "L" && !(noneAllowed && code == "N"))
        invalid(QStringLiteral("Opção inválida em %1: \"%2\" (use %3).")
                    .arg(QString::fromUtf8(choiceWhat), q(code), noneAllowed ? QStringLiteral("T, L ou N")
                                                                               : QStringLiteral("T ou L")));
    ch.code = code[0];
    const std::string list = listText.toStdString();
    // A list kept beside another choice is the dialog's leftover: it means nothing.
    if (ch.code != 'L')
        return ch;
    const Selection sel = parseSelection(list, keySize, listWhat);
    if (sel.all || sel.keys.empty())
        invalid(QStringLiteral("A %1 deve ter ao menos um código.").arg(QString::fromUtf8(listWhat)));
    ch.keys = sel.keys;
    return ch;
}

struct Side {
    const char *table;     // GRFISIMPIECLIE / GRFISIMPIEFORN
    const char *key;       // CDCLIENTE / CDFORNECED
    const char *entity;    // CLIENTE / FORNECEDOR
    const char *temp;      // temporary table of the chosen keys
    const char *missing;   // message for an unknown key
    const Choice *choice;
};

// Bytes of the company code that opens a registrations list key: its first two characters.
std::size_t companyLength(std::string_view key)
{
    std::size_t at = 0;
    for (int chars = 0; chars < 2 && at < key.size(); ++chars)
        do
            ++at;
        while (at < key.size() && (static_cast<unsigned char>(key[at]) & 0xC0) == 0x80);
    return at;
}

} // namespace

InscEstaArgs readInscEstaArgs(const QCborArray &params, const char *method)
{
    const auto sent = protocol::CadAutoImpInscEstaArgs::decode(StrictArguments(params), method);
    InscEstaArgs a;
    a.tax = sent.tax.toStdString();
    a.registrations = readChoice(sent.registrationChoice, "opção de inscrições estaduais", false, sent.registrations,
                                 18, "lista de inscrições estaduais");
    a.clients = readChoice(sent.clientChoice, "opção de clientes", true, sent.clients, 21, "lista de clientes");
    a.suppliers = readChoice(sent.supplierChoice, "opção de fornecedores", true, sent.suppliers, 21,
                             "lista de fornecedores");
    a.group = sent.group.toStdString();
    const std::string mode = sent.mode.toStdString();
    if (mode != "T" && mode != "V" && mode != "E")
        invalid(QStringLiteral("Tipo de cadastramento inválido: \"%1\" (use T, V ou E).").arg(q(mode)));
    a.mode = mode[0];

    if (a.tax.empty())
        invalid(QStringLiteral("Imposto deve ser informado."));
    if (a.group.empty())
        invalid(QStringLiteral("Grupo fiscal deve ser informado."));
    if (a.clients.code == 'N' && a.suppliers.code == 'N')
        invalid(QStringLiteral("Nenhum Cliente e nenhum Fornecedor selecionado."));
    for (const std::string &k : a.registrations.keys) {
        // CDEMPRESA (two characters) followed by CDINSCESTA.
        if (codePoints(k) < 3)
            invalid(QStringLiteral("Inscrição estadual inválida na lista: \"%1\" (empresa e inscrição).").arg(q(k)));
    }
    return a;
}

void cadAutoImpInscEsta(history::Recorder &h, const InscEstaArgs &a)
{
    storage::Connection &c = h.connection();
    requireTax(c, a.tax);
    requireGroup(c, a.group);

    std::unique_ptr<TempTable> regs;
    if (a.registrations.code == 'L') {
        regs = std::make_unique<TempTable>(
            c, "wr_sel_insc", std::vector<TempColumn>{{"SEQ", true}, {"CDEMPRESA"}, {"CDINSCESTA"}});
        for (std::size_t i = 0; i < a.registrations.keys.size(); ++i) {
            const std::string_view key = a.registrations.keys[i];
            const std::size_t split = companyLength(key);
            regs->add({std::to_string(i), key.substr(0, split), key.substr(split)});
        }
        regs->finish();
        const auto st = c.prepare("SELECT s.CDEMPRESA, s.CDINSCESTA FROM wr_sel_insc s WHERE NOT EXISTS (SELECT 1 FROM "
                            "INSCRESTAD i WHERE i.CDEMPRESA = s.CDEMPRESA AND i.CDINSCESTA = s.CDINSCESTA) "
                            "ORDER BY s.SEQ LIMIT 1");
        if (st->step())
            notFound(QStringLiteral("Inscrição estadual %1 não cadastrada para a empresa %2.")
                                 .arg(q(st->text(1)), q(st->text(0))));
    }   // the check's statement is finished before the tables are dropped
    const std::string regSource = regs ? "wr_sel_insc" : "INSCRESTAD";

    const Side sides[] = {
        {"GRFISIMPIECLIE", "CDCLIENTE", "CLIENTE", "wr_sel_clie", "Cliente %1 não cadastrado.", &a.clients},
        {"GRFISIMPIEFORN", "CDFORNECED", "FORNECEDOR", "wr_sel_forn", "Fornecedor %1 não cadastrado.", &a.suppliers},
    };
    std::vector<std::unique_ptr<TempTable>> lists;
    for (const Side &s : sides) {
        if (s.choice->code != 'L')
            continue;
        lists.push_back(loadKeys(c, s.temp, s.choice->keys,
                                         "SELECT 1 FROM " + std::string(s.entity) + " e WHERE e." + s.key + " = s.K",
                                         {}, [&](std::string_view key) {
                                             return format(s.missing, {std::string(key)});
                                         }));
    }

    // The records and registrations read for the history are read again for the write: held
    // first, suppliers before clients as the history takes its locks.
    if (a.mode != 'E') {
        for (auto s = std::rbegin(sides); s != std::rend(sides); ++s)
            if (s->choice->code == 'T')
                h.hold(s->entity);
        if (!regs)
            h.hold("INSCRESTAD");
    }
    std::vector<std::string_view> captured;
    for (const Side &s : sides)
        if (s.choice->code != 'N')
            captured.push_back(s.table);
    h.lockAll(captured);
    for (const Side &s : sides) {
        if (s.choice->code == 'N')
            continue;
        const std::string p = s.table;
        const history::Table &ht = history::table(p);
        const std::string keys = "CDIMPOSTO, CDEMPRESA, CDINSCESTA, " + std::string(s.key);
        const bool listed = s.choice->code == 'L';
        // The existing rows of the tax among the chosen registrations and records (every
        // row's registration and record exist, so "all" needs no condition).
        std::string chosenRows = " WHERE CDIMPOSTO = $1";
        if (regs)
            chosenRows += " AND (CDEMPRESA, CDINSCESTA) IN (SELECT CDEMPRESA, CDINSCESTA FROM wr_sel_insc)";
        if (listed)
            chosenRows += " AND " + std::string(s.key) + " IN (SELECT K FROM " + s.temp + ")";
        if (a.mode == 'E') {
            const std::string where = chosenRows + " AND CDGRUPOFISC = $2";
            h.capture(ht, history::Action::Deleted, "CDGRUPOFISC", "NULL", "FROM " + p + where, {a.tax, a.group});
            h.write("DELETE FROM " + p + where, {a.tax, a.group});
            continue;
        }
        const std::string records = listed ? std::string(s.temp)
                                           : "(SELECT " + std::string(s.key) + " AS K FROM " + s.entity + ")";
        const std::string chosen = " FROM " + regSource + " i CROSS JOIN " + records + " e";
        if (h.previewing())
            // Every chosen pair of registration and record that is not yet a row of the tax is
            // an insertion: counted rather than walked (every registration by every client of
            // the large demo is 135 million pairs). Lists hold no key twice.
            h.previewCount(ht, history::Action::Inserted,
                           "SELECT (SELECT COUNT(*) FROM " + regSource + ") * (SELECT COUNT(*) FROM " + records
                               + " r) - (SELECT COUNT(*) FROM " + p + chosenRows + ")",
                           {a.tax});
        else
            h.capture(ht, history::Action::Inserted, "NULL", "$2",
                      chosen + " WHERE NOT EXISTS (SELECT 1 FROM " + p + " x WHERE x.CDIMPOSTO = $1"
                          " AND x.CDEMPRESA = i.CDEMPRESA AND x.CDINSCESTA = i.CDINSCESTA AND x." + s.key + " = e.K)",
                      {a.tax, a.group}, {"$1", "i.CDEMPRESA", "i.CDINSCESTA", "e.K"});
        if (a.mode == 'T')
            h.capture(ht, history::Action::Changed, "CDGRUPOFISC", "$2",
                      "FROM " + p + chosenRows + " AND CDGRUPOFISC <> $2", {a.tax, a.group});
        const std::string onConflict = a.mode == 'T'
            ? " ON CONFLICT (" + keys + ") DO UPDATE SET CDGRUPOFISC = excluded.CDGRUPOFISC WHERE "
                  + p + ".CDGRUPOFISC <> excluded.CDGRUPOFISC"
            : " ON CONFLICT (" + keys + ") DO NOTHING";
        h.write("INSERT INTO " + p + " (" + keys + ", CDGRUPOFISC) SELECT $1, i.CDEMPRESA, i.CDINSCESTA, e.K, $2"
                    + chosen + " WHERE true" + onConflict,
                {a.tax, a.group});
    }
}

} // namespace fiscal::appserver::bulk
