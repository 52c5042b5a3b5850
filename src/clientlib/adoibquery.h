#pragma once
// TADOIBQuery: a read-only query on the shared data module's connection (dbgeral.h).
// It is a TClientDataSet, so a TDataSource, a grid or a search list shows its rows.
//
//   qry->setSQL("SELECT E.CDEMPRESA, E.NMEMPRESA FROM EMPRESA E "
//               "WHERE (E.CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T')");
//   qry->Close();
//   qry->ParamByName("P_CDEMPRESA").setAsString("01");
//   qry->ParamByName("P_TCDEMPRESA").setAsString("");
//   qry->Open();
//   if (!qry->IsEmpty()) name = qry->FieldByName("NMEMPRESA")->AsString();
//
// Texts per database: SQL is the default; SQL_SQLITE / SQL_POSTGRES, when set, replace it
// on that database. SQL_ORACLE, SQL_MSSQL and SQL_IB are kept for screens that carry them
// and never run here (no such database in this system).
//
// Parameters are bound, never pasted into the text. A parameter never set is NULL;
// asking for a parameter the text does not have is an error. Open on an open query does
// nothing (Close first to run it again). Column names come upper-cased (PostgreSQL folds
// unquoted names to lower case); every field is read-only. A failing query throws
// dataset::EDatabaseError with the database's message and leaves the query closed.
//
// A query that names its catalogue statement (setConsulta, protocol/lookups.h) needs no
// database: without one configured it runs on the application server (remotelookup_p.h),
// its parameters sent in the order of the text, and gives the same fields and rows.
//
// The rows are read on a thread of its own while the caller waits in a loop that paints
// but takes no input (waitloop.h), as a server call waits: a long read keeps the screen
// drawn. A timer that opens the same query meanwhile gets an error, not a second read.

#include "dataset/clientdataset.h"
#include "dataset/databaseerror.h"
#include "storage/database.h"

#include <QString>
#include <optional>
#include <vector>

namespace fiscal::clientlib {

class TParam {
public:
    explicit TParam(const QString &name) : m_name(name) {}
    const QString &Name() const { return m_name; }
    QString AsString() const { return m_value.value_or(QString()); }
    void setAsString(const QString &value) { m_value = value; }
    bool IsNull() const { return !m_value.has_value(); }
    void Clear() { m_value.reset(); }
    const std::optional<QString> &Value() const { return m_value; }

private:
    QString m_name;
    std::optional<QString> m_value;
};

class TADOIBQuery : public dataset::TClientDataSet {
    Q_OBJECT
public:
    explicit TADOIBQuery(QObject *parent = nullptr);

    QString SQL() const { return m_sql; }
    void setSQL(const QString &sql);
    QString SQL_ORACLE() const { return m_sqlOracle; }
    void setSQL_ORACLE(const QString &sql) { m_sqlOracle = sql; }
    QString SQL_MSSQL() const { return m_sqlMssql; }
    void setSQL_MSSQL(const QString &sql) { m_sqlMssql = sql; }
    QString SQL_IB() const { return m_sqlIb; }
    void setSQL_IB(const QString &sql) { m_sqlIb = sql; }
    QString SQL_SQLITE() const { return m_sqlSqlite; }
    void setSQL_SQLITE(const QString &sql);
    QString SQL_POSTGRES() const { return m_sqlPostgres; }
    void setSQL_POSTGRES(const QString &sql);

    // The catalogue's name of the statement SQL holds; empty for a text of the screen's own.
    QString Consulta() const { return m_consulta; }
    void setConsulta(const QString &name) { m_consulta = name; }

    // The text that runs on that database.
    QString sqlFor(storage::Backend backend) const;

    // Names as written in the texts, without the colon.
    QStringList ParamNames() const;
    TParam &ParamByName(const QString &name);

    // Runs the query (when closed) and loads its rows.
    void Open();
    void Close();

private:
    void syncParams();
    dataset::DataPacket readDirect();
    dataset::DataPacket readDirectOnce();
    dataset::DataPacket readThroughServer();

    QString m_sql;
    QString m_sqlOracle;
    QString m_sqlMssql;
    QString m_sqlIb;
    QString m_sqlSqlite;
    QString m_sqlPostgres;
    QString m_consulta;
    std::vector<TParam> m_params;
    bool m_opening = false;
};

} // namespace fiscal::clientlib
