#pragma once
// The packets of Ger10204.rdmHistorico and of the previews (Simula...), as the server
// writes them and the history screens read them: field names once, with their sizes.

#include "protocol/packetfield.h"

namespace fiscal::protocol::history {

// Field names.
inline constexpr char IDOPERACAO[] = "IDOPERACAO";
inline constexpr char DTOPERACAO[] = "DTOPERACAO";        // UTC, ISO 8601 with milliseconds
inline constexpr char NMUSUARIO[] = "NMUSUARIO";
inline constexpr char NMMETODO[] = "NMMETODO";
inline constexpr char DSARGUMENTOS[] = "DSARGUMENTOS";    // JSON array: texts and booleans as sent,
                                                          // a change set as its row count
inline constexpr char NMTABELA[] = "NMTABELA";
inline constexpr char CDCHAVE1[] = "CDCHAVE1";
inline constexpr char CDCHAVE2[] = "CDCHAVE2";
inline constexpr char CDCHAVE3[] = "CDCHAVE3";
inline constexpr char CDCHAVE4[] = "CDCHAVE4";
inline constexpr char IDACAO[] = "IDACAO";                // A changed, I inserted, E deleted
inline constexpr char CDGRUPOANT[] = "CDGRUPOANT";
inline constexpr char DSGRUPOANT[] = "DSGRUPOANT";
inline constexpr char CDGRUPONOVO[] = "CDGRUPONOVO";
inline constexpr char DSGRUPONOVO[] = "DSGRUPONOVO";
inline constexpr char QTALTERADOS[] = "QTALTERADOS";
inline constexpr char QTINCLUIDOS[] = "QTINCLUIDOS";
inline constexpr char QTEXCLUIDOS[] = "QTEXCLUIDOS";
inline constexpr char IDDESFAZ[] = "IDDESFAZ";            // the operation an undo undid
inline constexpr char IDDESFEITAPOR[] = "IDDESFEITAPOR";  // the undo that undid this one
inline constexpr char DSENDERECO[] = "DSENDERECO";        // the client's address ('' before it was kept)
inline constexpr char QTRESTAURADOS[] = "QTRESTAURADOS";
inline constexpr char QTIGNORADOS[] = "QTIGNORADOS";
inline constexpr char QTALTERADOSDEPOIS[] = "QTALTERADOSDEPOIS";  // skipped: written since by an operation in force
inline constexpr char QTALTERADOSFORA[] = "QTALTERADOSFORA";      // skipped: changed outside the server
inline constexpr char QTINEXISTENTES[] = "QTINEXISTENTES";        // skipped: the record or its group is gone
inline constexpr char QTREGISTROS[] = "QTREGISTROS";
inline constexpr char CDGRUPOEM[] = "CDGRUPOEM";          // the group at the moment asked for
inline constexpr char DSGRUPOEM[] = "DSGRUPOEM";
inline constexpr char CDGRUPOATUAL[] = "CDGRUPOATUAL";    // the group now
inline constexpr char DSGRUPOATUAL[] = "DSGRUPOATUAL";
// GetHistoricoRegistro(table, key): the entries of one record, newest first.
inline constexpr PacketField kRegistro[] = {
    {IDOPERACAO, 20}, {DTOPERACAO, 24}, {NMUSUARIO, 64}, {NMMETODO, 40}, {IDACAO, 1},
    {CDGRUPOANT, 60}, {DSGRUPOANT, 30}, {CDGRUPONOVO, 60}, {DSGRUPONOVO, 30}, {IDDESFEITAPOR, 20}};

// GetOperacoes(limit, beforeId): the operations, newest first.
inline constexpr PacketField kOperacoes[] = {
    {IDOPERACAO, 20}, {DTOPERACAO, 24}, {NMUSUARIO, 64}, {NMMETODO, 40}, {DSARGUMENTOS, 0},
    {QTALTERADOS, 12}, {QTINCLUIDOS, 12}, {QTEXCLUIDOS, 12}, {IDDESFAZ, 20}, {IDDESFEITAPOR, 20},
    {DSENDERECO, 45}};

// GetOperacaoItens(id): the rows one operation changed.
inline constexpr PacketField kItens[] = {
    {NMTABELA, 20}, {CDCHAVE1, 21}, {CDCHAVE2, 21}, {CDCHAVE3, 21}, {CDCHAVE4, 21}, {IDACAO, 1},
    {CDGRUPOANT, 60}, {DSGRUPOANT, 30}, {CDGRUPONOVO, 60}, {DSGRUPONOVO, 30}};

// DesfazOperacao(id): the undo's own operation (none: nothing restored), what it restored,
// what it skipped (in all, then by reason).
inline constexpr PacketField kDesfeita[] = {{IDOPERACAO, 20},        {QTRESTAURADOS, 12},   {QTIGNORADOS, 12},
                                            {QTALTERADOSDEPOIS, 12}, {QTALTERADOSFORA, 12}, {QTINEXISTENTES, 12}};

// SimulaDesfazOperacao(id): per table with rows of the operation, what the undo would do now.
inline constexpr PacketField kSimulada[] = {{NMTABELA, 20},          {QTREGISTROS, 12},     {QTRESTAURADOS, 12},
                                            {QTALTERADOSDEPOIS, 12}, {QTALTERADOSFORA, 12}, {QTINEXISTENTES, 12}};

// GetSituacaoEm(table, tax, company, registration, moment): the fields of the tab's grid
// but its group (named as in the tab's packet), then these, one row per record of the grid.
// IDOPERACAO, DTOPERACAO and NMUSUARIO: the last operation that changed the record before
// the moment (null when none in the history).
inline constexpr PacketField kSituacao[] = {{CDGRUPOEM, 3},   {DSGRUPOEM, 30}, {CDGRUPOATUAL, 3}, {DSGRUPOATUAL, 30},
                                            {IDOPERACAO, 20}, {DTOPERACAO, 24}, {NMUSUARIO, 64}};

// Simula...: one row per table the call would write.
inline constexpr PacketField kPrevia[] = {{NMTABELA, 20}, {QTALTERADOS, 12}, {QTINCLUIDOS, 12}, {QTEXCLUIDOS, 12}};

} // namespace fiscal::protocol::history
