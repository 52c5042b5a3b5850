#pragma once
// Bulk operations of the two dialogs: automatic registration (one entity, or per tax and
// state registration) and replication of the per-registration parameters; and the import of
// groups from a spreadsheet (importa.cpp). Each is a few
// set-based statements inside the call's one transaction, each write preceded by the
// capture of the rows it changes into the history (history.h). With a previewing Recorder
// the same code changes nothing and only counts what it would change.
//
// The argument lists travel as protocol/bulkcalls.h defines them; the read*Args functions
// read them strictly and check their values (InvalidParams on anything wrong).
//
//   auto a = bulk::readCadastroArgs(params);
//   withTransaction(pool, [&](auto &c) { history::Recorder h(c, op); bulk::cadastroAutomatico(h, a); h.finish(); });

#include "appserver/bulk/packedstrings.h"
#include "appserver/common/temptable.h"
#include "protocol/importcalls.h"
#include "protocol/objects.h"
#include "storage/database.h"

#include <QCborArray>
#include <QString>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fiscal::appserver::history {
class Recorder;
}

namespace fiscal::appserver::bulk {

// CadastroAutomatico, checked.
struct CadastroArgs {
    std::string entity;        // FORNECEDOR, CLIENTE, FILIAL, TIPOOPERAC, TPFATURFIS, PARAMFILIAL,
                               // GRFISCIMPOSFILI, GRFISIMPIEFORN, GRFISIMPIECLIE
    std::string group;         // empty = none
    char mode = 'T';           // T every record, V only records without a group, L clear
    std::string tax, company, registration;
};
// `method` names the call in a message about the argument count (the previews share the list).
CadastroArgs readCadastroArgs(const QCborArray &params, const char *method = protocol::method::CadastroAutomatico);
void cadastroAutomatico(history::Recorder &h, const CadastroArgs &a);
// True when the call writes no foreign value but the group, which it holds (holdGroup):
// the entities whose own group column it sets, not the per-tax tables it fills with keys.
bool cadastroWritesOnlyTheGroup(const CadastroArgs &a);

// A choice with its list: "T" all, "L" the keys, "N" none.
struct Choice {
    char code = 'N';
    std::vector<std::string> keys;
};

// CadAutoImpInscEsta, checked.
struct InscEstaArgs {
    std::string tax;
    Choice registrations;      // keys: CDEMPRESA (2) followed by CDINSCESTA
    Choice clients, suppliers;
    std::string group;
    char mode = 'T';           // T upsert, V only where no row, E delete rows with the group
};
InscEstaArgs readInscEstaArgs(const QCborArray &params, const char *method = protocol::method::CadAutoImpInscEsta);
void cadAutoImpInscEsta(history::Recorder &h, const InscEstaArgs &a);

// Replica, checked.
struct ReplicaArgs {
    std::string tax, company, registration;
    bool allGroups = true;
    std::vector<std::string> groups;
    std::string destCompany;
    bool allDestinations = true;
    std::vector<std::string> destinations;   // CDINSCESTA of destCompany
    bool suppliers = false;                  // exactly one of the two
};
ReplicaArgs readReplicaArgs(const QCborArray &params, const char *method = protocol::method::Replica);
// Returns the number of destination rows written; 0 (and nothing changed) when the origin
// has no rows or the destination company no registration, and in a preview.
std::int64_t replica(history::Recorder &h, const ReplicaArgs &a);

// SimulaImportaGrupos and ImportaGrupos, checked: (entity, tax, company, registration, lines).
struct ImportArgs {
    const protocol::importing::Entity *entity = nullptr;
    std::string tax, company, registration;
    // Line i is (keys[i], groups[i]), each trimmed.
    PackedStrings keys;     // CHAVE: a code, or a CNPJ/CPF with or without punctuation
    PackedStrings groups;   // empty: no group
    std::size_t size() const { return keys.size(); }
};
ImportArgs readImportArgs(const QCborArray &params, const char *method);

// What the lines would do, checked against the database: counts, every line's error in line
// order (1-based positions in the lines sent). With `keepLines` the lines stay in their
// temporary table for applyImport, which works from it rather than from a second copy.
struct ImportPlan {
    std::int64_t lines = 0, toChange = 0, same = 0;
    std::int64_t changed = 0, inserted = 0;   // of toChange: parameter rows inserted, the rest
    std::vector<std::pair<std::int64_t, QString>> errors;
    bool kept = false;                         // the lines are kept for applyImport, one way or other:
    std::unique_ptr<TempTable> table;          // imp_linhas (NRLINHA, CHAVE, DOC, GRUPO), or,
    // where SQLite reads them in place, the changes: one per record, the line that gives its
    // group, and its group now, read in the transaction. Small, as there is one per line.
    static constexpr std::uint32_t kByCode = std::numeric_limits<std::uint32_t>::max();
    struct Change {
        std::uint32_t line;
        std::uint32_t record;                  // kByCode: the line's key; else in documentRecords
        std::uint32_t current;                 // 0: none; else groupNames[current - 1]
        std::int64_t row;                      // an entity's own record: its rowid, else 0
    };
    std::vector<Change> changes;
    std::vector<std::string> documentRecords;  // records the lines name by CNPJ/CPF
    std::vector<std::string> groupNames;
    std::int64_t repeats = 0;                  // lines naming a record an earlier line named
    bool byDocument = false;                   // a line names its record by CNPJ/CPF
};
ImportPlan planImport(storage::Connection &c, const ImportArgs &a, bool keepLines = false);

// Before the plan of an import that will be applied: on PostgreSQL no other call may add,
// change or remove the records and parameter rows the check reads until the apply has
// written them, nor the groups (SQLite writers already queue for the whole database).
void lockImport(history::Recorder &h, const ImportArgs &a);
// True when the import writes no foreign value but groups (an entity's own group column):
// with the groups held by lockImport, it may skip the per-row checks on PostgreSQL too.
bool importWritesOnlyGroups(const ImportArgs &a);

// Applies a plan without errors (its lines kept): set-based, captured into the history.
// Answers the rows changed (deleted parameter rows included) and inserted.
std::pair<std::int64_t, std::int64_t> applyImport(history::Recorder &h, const ImportArgs &a, ImportPlan &plan);

} // namespace fiscal::appserver::bulk
