#pragma once
// Small builders shared by the data-set tests.

#include "dataset/clientdataset.h"

#include <QStringList>
#include <memory>
#include <ostream>

// Readable QString in test failure messages.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace fiscal::dataset::test {

// null written as "~" in the compact row notation "001|Alfa|~".
inline Row row(const QString &compact)
{
    Row r;
    for (const QString &v : compact.split(u'|')) {
        if (v == u"~")
            r.appendNull();
        else
            r.append(v);
    }
    return r;
}

inline QString compact(const Row &r)
{
    QStringList parts;
    for (qsizetype i = 0; i < r.size(); ++i)
        parts << (r.isNull(i) ? QStringLiteral("~") : r.view(i).toString());
    return parts.join(u'|');
}

inline QList<FieldDef> groupFields()
{
    return {FieldDef{QStringLiteral("CDGRUPOFISC"), 3}, FieldDef{QStringLiteral("DSGRUPOFISC"), 30}};
}

inline DataPacket groupPacket(const QStringList &rows)
{
    DataPacket p;
    p.fields = groupFields();
    for (const QString &r : rows)
        p.rows.append(row(r));
    return p;
}

// A data set with code-defined fields loaded with the given rows.
inline std::unique_ptr<TClientDataSet> groups(const QStringList &rows)
{
    auto ds = std::make_unique<TClientDataSet>();
    ds->setObjectName(QStringLiteral("cdsGrupoFiscal"));
    ds->addField(QStringLiteral("CDGRUPOFISC"), 3, QStringLiteral("Código"));
    ds->addField(QStringLiteral("DSGRUPOFISC"), 30, QStringLiteral("Descrição"));
    ds->setData(groupPacket(rows));
    return ds;
}

inline QStringList rowsOf(const TClientDataSet &ds)
{
    QStringList out;
    for (const Row &r : ds.Data().rows)
        out << compact(r);
    return out;
}

inline QStringList describe(const ChangeSet &cs)
{
    QStringList out;
    for (const Change &c : cs.changes) {
        QString s = QString::fromLatin1(opName(c.op));
        if (c.op != Change::Insert)
            s += QStringLiteral(" old=") + compact(c.oldValues);
        if (c.op != Change::Delete)
            s += QStringLiteral(" new=") + compact(c.newValues);
        out << s;
    }
    return out;
}

} // namespace fiscal::dataset::test
