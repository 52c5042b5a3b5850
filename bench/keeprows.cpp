#include "keeprows.h"

#include "benchsupport.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace fiscal::bench {

const char *const kGetDadosSelects[7] = {
    "SELECT F.NRINSJURFORN, F.CDFORNECED, F.NMRAZSOCFORN, F.CDGRUPOFISC, F.IDTPIJURFORN, G.DSGRUPOFISC"
    " FROM FORNECEDOR F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.NMRAZSOCFORN, F.CDFORNECED",
    "SELECT C.NMFANTCLIE, C.NRINSJURCLIE, C.CDCLIENTE, C.NMRAZSOCCLIE, C.IDTPIJURCLIE, C.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM CLIENTE C LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = C.CDGRUPOFISC"
    " ORDER BY COALESCE(C.NMFANTCLIE, ''), C.CDCLIENTE",
    "SELECT F.CDFILIAL, F.NMFILIAL, F.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM FILIAL F LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC"
    " ORDER BY F.CDFILIAL",
    "SELECT T.CDTIPOOPER, T.IDENTRSAIDOP, T.NMTIPOOPER, T.CDGRUPOFISC, G.DSGRUPOFISC"
    " FROM TIPOOPERAC T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOOPER",
    "SELECT T.CDTIPOFATUR, T.CDGRUPOFISC, G.DSGRUPOFISC, T.CDTIPOFATUR"
    " FROM TIPOFATUR T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTIPOFATUR",
    "SELECT CDPARGERAL, DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'",
    "SELECT T.CDTPFATURFIS || ' - ' || T.NMTPFATURFIS, T.NMTPFATURFIS, T.CDTPFATURFIS, T.CDGRUPOFISC,"
    " G.DSGRUPOFISC"
    " FROM TPFATURFIS T LEFT JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = T.CDGRUPOFISC"
    " ORDER BY T.CDTPFATURFIS",
};

namespace {

constexpr int kMaxValues = 16;

void keepSqlite(const std::string &path, KeptRows &out)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("sqlite3_open: " + why);
    }
    for (const char *sql : kGetDadosSelects) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
            const std::string why = sqlite3_errmsg(db);
            sqlite3_close(db);
            throw std::runtime_error("sqlite3_prepare: " + why);
        }
        const int n = sqlite3_column_count(st);
        int lengths[kMaxValues];
        const char *text[kMaxValues];
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            for (int c = 0; c < n; ++c) {
                text[c] = reinterpret_cast<const char *>(sqlite3_column_text(st, c));
                lengths[c] = text[c] ? sqlite3_column_bytes(st, c) : -1;
            }
            out.add(n, lengths, text);
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            const std::string why = sqlite3_errmsg(db);
            sqlite3_close(db);
            throw std::runtime_error("sqlite3_step: " + why);
        }
    }
    sqlite3_close(db);
}

// Row by row (single-row mode), as a client that keeps its own copy would read.
void keepPostgres(const std::string &url, KeptRows &out)
{
    PGconn *conn = PQconnectdb(url.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        const std::string why = PQerrorMessage(conn);
        PQfinish(conn);
        throw std::runtime_error("PQconnectdb: " + why);
    }
    for (const char *sql : kGetDadosSelects) {
        if (!PQsendQuery(conn, sql) || !PQsetSingleRowMode(conn)) {
            const std::string why = PQerrorMessage(conn);
            PQfinish(conn);
            throw std::runtime_error("PQsendQuery: " + why);
        }
        std::string failure;
        while (PGresult *res = PQgetResult(conn)) {
            const ExecStatusType status = PQresultStatus(res);
            if (status == PGRES_SINGLE_TUPLE) {
                const int n = PQnfields(res);
                int lengths[kMaxValues];
                const char *text[kMaxValues];
                for (int c = 0; c < n; ++c) {
                    const bool null = PQgetisnull(res, 0, c);
                    text[c] = null ? nullptr : PQgetvalue(res, 0, c);
                    lengths[c] = null ? -1 : PQgetlength(res, 0, c);
                }
                out.add(n, lengths, text);
            } else if (status != PGRES_TUPLES_OK) {
                failure = PQresultErrorMessage(res);
            }
            PQclear(res);
        }
        if (!failure.empty()) {
            PQfinish(conn);
            throw std::runtime_error("PostgreSQL: " + failure);
        }
    }
    PQfinish(conn);
}

} // namespace

KeptRows::KeptRows(KeptRows &&other) noexcept : m_rows(std::move(other.m_rows)), m_bytes(other.m_bytes)
{
    other.m_rows.clear();
    other.m_bytes = 0;
}

KeptRows::~KeptRows()
{
    for (char *r : m_rows)
        std::free(r);
}

void KeptRows::add(int values, const int *lengths, const char *const *text)
{
    if (values > kMaxValues)
        throw std::runtime_error("row too wide");
    std::size_t size = sizeof(int) * std::size_t(values);
    for (int c = 0; c < values; ++c)
        size += lengths[c] > 0 ? std::size_t(lengths[c]) : 0;
    char *row = static_cast<char *>(std::malloc(size));
    if (!row)
        throw std::bad_alloc();
    std::memcpy(row, lengths, sizeof(int) * std::size_t(values));
    char *p = row + sizeof(int) * std::size_t(values);
    for (int c = 0; c < values; ++c) {
        if (lengths[c] > 0) {
            std::memcpy(p, text[c], std::size_t(lengths[c]));
            p += lengths[c];
        }
    }
    m_rows.push_back(row);
    m_bytes += size;
}

KeptRows keepEveryRow(const std::string &db)
{
    KeptRows rows;
    if (isPostgres(db))
        keepPostgres(db, rows);
    else
        keepSqlite(db, rows);
    return rows;
}

} // namespace fiscal::bench
