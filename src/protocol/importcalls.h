#pragma once
// The import of fiscal groups from a spreadsheet, Ger10201.rdmCadAutParGrpFis
// SimulaImportaGrupos and ImportaGrupos, both with (entity, tax, company, registration,
// lines): the entities that can be imported, with what each needs, and the fields of the
// packets both sides read and write.

#include "protocol/packetfield.h"

#include <span>
#include <string_view>

namespace fiscal::protocol::importing {

// The lines sent.
inline constexpr char CHAVE[] = "CHAVE";              // the record's code, or a CNPJ/CPF
inline constexpr char CDGRUPOFISC[] = "CDGRUPOFISC";  // empty: no group
// A group that cannot be a code goes as written, up to this many characters: the server
// refuses it with its line, and the other lines of its record with it.
inline constexpr int kGroupAsWritten = 40;
inline constexpr PacketField kLinhas[] = {{CHAVE, 21}, {CDGRUPOFISC, kGroupAsWritten}};

// SimulaImportaGrupos: [counts (one row), errors (in line order)].
inline constexpr char QTLINHAS[] = "QTLINHAS";
inline constexpr char QTALTERAR[] = "QTALTERAR";
inline constexpr char QTIGUAIS[] = "QTIGUAIS";
inline constexpr char QTERROS[] = "QTERROS";
inline constexpr char NRLINHA[] = "NRLINHA";          // 1-based position in the lines sent
inline constexpr char DSERRO[] = "DSERRO";
inline constexpr PacketField kContagem[] = {{QTLINHAS, 12}, {QTALTERAR, 12}, {QTIGUAIS, 12}, {QTERROS, 12}};
inline constexpr PacketField kErros[] = {{NRLINHA, 12}, {DSERRO, 200}};

// ImportaGrupos: one row; IDOPERACAO null when nothing changed.
inline constexpr char IDOPERACAO[] = "IDOPERACAO";
inline constexpr char QTALTERADOS[] = "QTALTERADOS";
inline constexpr char QTINCLUIDOS[] = "QTINCLUIDOS";
inline constexpr PacketField kResultado[] = {{IDOPERACAO, 20}, {QTALTERADOS, 12}, {QTINCLUIDOS, 12}};

enum class Needs { Nothing, Tax, Registration };

struct Entity {
    std::string_view table;       // as the history names it
    Needs needs;
    std::string_view records;     // the table of the records a line names
    std::string_view recordKey;   // their code column
    int codeWidth;                // codes padded to it with zeros; 0: taken as written
    std::string_view document;    // the CNPJ/CPF column of `records`; empty: codes only
};

inline constexpr Entity kEntities[] = {
    {"FORNECEDOR", Needs::Nothing, "FORNECEDOR", "CDFORNECED", 0, "NRINSJURFORN"},
    {"CLIENTE", Needs::Nothing, "CLIENTE", "CDCLIENTE", 0, "NRINSJURCLIE"},
    {"FILIAL", Needs::Nothing, "FILIAL", "CDFILIAL", 4, ""},
    {"TIPOOPERAC", Needs::Nothing, "TIPOOPERAC", "CDTIPOOPER", 2, ""},
    {"TIPOFATUR", Needs::Nothing, "TIPOFATUR", "CDTIPOFATUR", 3, ""},
    {"TPFATURFIS", Needs::Nothing, "TPFATURFIS", "CDTPFATURFIS", 5, ""},
    {"GRFISCIMPOSFILI", Needs::Tax, "FILIAL", "CDFILIAL", 4, ""},
    {"GRFISIMPIEFORN", Needs::Registration, "FORNECEDOR", "CDFORNECED", 0, "NRINSJURFORN"},
    {"GRFISIMPIECLIE", Needs::Registration, "CLIENTE", "CDCLIENTE", 0, "NRINSJURCLIE"},
};

inline const Entity *findEntity(std::string_view table)
{
    for (const Entity &e : kEntities) {
        if (e.table == table)
            return &e;
    }
    return nullptr;
}

} // namespace fiscal::protocol::importing
