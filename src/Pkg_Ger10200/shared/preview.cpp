#include "Pkg_Ger10200/shared/preview.h"

#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/packetrow.h"

#include "clientlib/interaction.h"
#include "clientlib/waitanimation.h"
#include "protocol/historypackets.h"

#include <QLocale>
#include <QStringList>

#include <array>

namespace fiscal::ger10200 {

namespace field = protocol::history;

namespace {

struct Noun {
    const char *table;
    const char *one;
    const char *many;
    bool feminine;
};

const Noun kNouns[] = {
    {"FORNECEDOR", "fornecedor", "fornecedores", false},
    {"CLIENTE", "cliente", "clientes", false},
    {"FILIAL", "filial", "filiais", true},
    {"TIPOOPERAC", "tipo de operação", "tipos de operação", false},
    {"TIPOFATUR", "tipo de contrato", "tipos de contrato", false},
    {"PARAMFILIAL", "tipo de contrato de filial", "tipos de contrato de filiais", false},
    {"PARAMGERAL", "operação interestadual", "operações interestaduais", true},
    {"TPFATURFIS", "tipo de gestão fiscal", "tipos de gestão fiscal", false},
    {"GRFISCIMPOSFILI", "parâmetro de imposto por filial", "parâmetros de imposto por filial", false},
    {"GRFISIMPIEFORN", "parâmetro de fornecedor por inscrição estadual",
     "parâmetros de fornecedores por inscrição estadual", false},
    {"GRFISIMPIECLIE", "parâmetro de cliente por inscrição estadual",
     "parâmetros de clientes por inscrição estadual", false},
};

struct Counted {
    qint64 n;
    QString noun;
    bool feminine;
};

Counted counted(const QString &table, qint64 n)
{
    for (const Noun &noun : kNouns)
        if (table == QLatin1String(noun.table))
            return {n, QString::fromUtf8(n == 1 ? noun.one : noun.many), noun.feminine};
    return {n, n == 1 ? QStringLiteral("registro de %1").arg(table) : QStringLiteral("registros de %1").arg(table), false};
}

// "1.234 clientes e 56 fornecedores"
QString listOf(const QList<Counted> &items)
{
    const QLocale brazil(QLocale::Portuguese, QLocale::Brazil);
    QStringList parts;
    for (const Counted &c : items)
        parts << QStringLiteral("%1 %2").arg(brazil.toString(c.n), c.noun);
    if (parts.isEmpty())
        return {};
    QString list = parts.takeLast();
    if (!parts.isEmpty())
        list = parts.join(QStringLiteral(", ")) + QStringLiteral(" e ") + list;
    return list;
}

// "Serão alterados 1.234 clientes e 56 fornecedores." The participle is feminine only when
// every noun is, as Portuguese does with a mixed list.
QString sentence(const QList<Counted> &items, const char *stem)
{
    bool feminine = true;
    for (const Counted &c : items)
        feminine = feminine && c.feminine;
    const bool plural = items.size() > 1 || items.first().n != 1;
    return QStringLiteral("%1 %2%3%4 %5.")
        .arg(plural ? QStringLiteral("Serão") : QStringLiteral("Será"), QString::fromUtf8(stem),
             feminine ? QStringLiteral("a") : QStringLiteral("o"), plural ? QStringLiteral("s") : QString(),
             listOf(items));
}

} // namespace

QString previewText(const dataset::DataPacket &counts)
{
    const std::array<const char *, 3> fields{"QTALTERADOS", "QTINCLUIDOS", "QTEXCLUIDOS"};
    const std::array<const char *, 3> stems{"alterad", "incluíd", "excluíd"};
    std::array<QList<Counted>, 3> byAction;
    for (int r = 0; r < int(counts.rows.size()); ++r) {
        const PacketRow row(counts, r);
        for (std::size_t k = 0; k < fields.size(); ++k)
            if (const qint64 n = row[fields[k]].toLongLong(); n > 0)
                byAction[k] << counted(row[field::NMTABELA], n);
    }
    QStringList text;
    for (std::size_t k = 0; k < byAction.size(); ++k)
        if (!byAction[k].isEmpty())
            text << sentence(byAction[k], stems[k]);
    return text.isEmpty() ? QStringLiteral("Nenhum registro será alterado.") : text.join(QLatin1Char(' '));
}

QString countedRows(const QList<std::pair<QString, qint64>> &perTable)
{
    QList<Counted> items;
    for (const auto &[table, n] : perTable)
        items << counted(table, n);
    return listOf(items);
}

void showPreview(NetRemoteObject &net, const QString &method, const QCborArray &params, QWidget *owner)
{
    dataset::DataPacket counts;
    {
        clientlib::WaitScope wait(owner, 6);
        counts = net.packet(method, params);
    }
    clientlib::interaction().message(clientlib::mtInformation, QStringLiteral("Simulação"),
                                     previewText(counts) + QStringLiteral("\n\nNada foi gravado: isto é só uma simulação."),
                                     clientlib::mbOK, owner);
}

} // namespace fiscal::ger10200
