#include "Pkg_Ger10200/historico/operationtext.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QStringList>

namespace fiscal::ger10200::historico {

namespace {

QLocale brazil() { return QLocale(QLocale::Portuguese, QLocale::Brazil); }

struct Name {
    const char *key;
    const char *text;
};

QString lookUp(const Name *names, std::size_t n, const QString &key)
{
    for (std::size_t i = 0; i < n; ++i)
        if (key == QLatin1String(names[i].key))
            return QString::fromUtf8(names[i].text);
    return key;
}

const Name kMethods[] = {
    {"SetFornecedor", "Gravação na grade de fornecedores"},
    {"SetCliente", "Gravação na grade de clientes"},
    {"SetFilial", "Gravação na grade de filiais"},
    {"SetTipoOperac", "Gravação na grade de tipos de operação"},
    {"SetTipoFatur", "Gravação na grade de tipos de contrato"},
    {"setTipoGest", "Gravação na grade de tipos de gestão fiscal"},
    {"SetOperInter", "Gravação das operações interestaduais"},
    {"SetImpFili", "Gravação na grade de imposto por filial"},
    {"SetFornInsc", "Gravação na grade de fornecedores por inscrição estadual"},
    {"SetCliInsc", "Gravação na grade de clientes por inscrição estadual"},
    {"CadastroAutomatico", "Cadastramento automático"},
    {"CadAutoImpInscEsta", "Cadastramento automático por imposto e inscrição estadual"},
    {"Replica", "Replicação"},
    {"DesfazOperacao", "Desfazer operação"},
};

// The entities of CadastroAutomatico and the tables of the history.
const Name kTables[] = {
    {"FORNECEDOR", "Fornecedores"},
    {"CLIENTE", "Clientes"},
    {"FILIAL", "Filiais"},
    {"TIPOOPERAC", "Tipos de operação"},
    {"TIPOFATUR", "Tipos de contrato"},
    {"PARAMFILIAL", "Tipos de contrato das filiais"},
    {"PARAMGERAL", "Operações interestaduais"},
    {"TPFATURFIS", "Tipos de gestão fiscal"},
    {"GRFISCIMPOSFILI", "Imposto por filial"},
    {"GRFISIMPIEFORN", "Fornecedores por imposto e inscrição estadual"},
    {"GRFISIMPIECLIE", "Clientes por imposto e inscrição estadual"},
};

// 'a','b' -> number of keys; "T" -> nullopt-like -1.
int listSize(const QString &selection)
{
    if (selection == QLatin1String("T"))
        return -1;
    if (selection.isEmpty())
        return 0;
    int keys = 0;
    bool inside = false;
    for (qsizetype i = 0; i < selection.size(); ++i) {
        if (selection[i] != QLatin1Char('\''))
            continue;
        if (inside && i + 1 < selection.size() && selection[i + 1] == QLatin1Char('\'')) {
            ++i;   // a quote inside a key
            continue;
        }
        inside = !inside;
        if (inside)
            ++keys;
    }
    return keys;
}

// The keys of a short list, for showing: 'a','b' -> "a, b".
QString keysOf(const QString &selection)
{
    QStringList keys;
    QString key;
    bool inside = false;
    for (qsizetype i = 0; i < selection.size(); ++i) {
        const QChar c = selection[i];
        if (c == QLatin1Char('\'')) {
            if (inside && i + 1 < selection.size() && selection[i + 1] == QLatin1Char('\'')) {
                key += c;
                ++i;
            } else if (inside) {
                keys << key;
                key.clear();
                inside = false;
            } else {
                inside = true;
            }
        } else if (inside) {
            key += c;
        }
    }
    return keys.join(QStringLiteral(", "));
}

// "todos", "nenhum", the keys when a few, else how many.
QString chosen(const QString &choice, const QString &list, const char *all, const char *some)
{
    if (choice == QLatin1String("T"))
        return QString::fromUtf8(all);
    if (choice == QLatin1String("N"))
        return QStringLiteral("nenhum");
    const int n = listSize(list);
    return n <= 3 ? keysOf(list) : QStringLiteral("%1 %2").arg(count(n), QString::fromUtf8(some));
}

QString cadastro(const QStringList &a)
{
    QString text = tableCaption(a.value(0)) + QStringLiteral(": ");
    const QString group = a.value(1);
    const QString mode = a.value(3);
    if (mode == QLatin1String("T"))
        text += QStringLiteral("grupo %1 em todos os registros").arg(group);
    else if (mode == QLatin1String("V"))
        text += QStringLiteral("grupo %1 nos registros sem grupo").arg(group);
    else
        text += group.isEmpty() ? QStringLiteral("grupo removido de todos os registros")
                                : QStringLiteral("grupo %1 removido").arg(group);
    if (!a.value(4).isEmpty())
        text += QStringLiteral(", imposto %1").arg(a.value(4));
    if (!a.value(5).isEmpty())
        text += QStringLiteral(", empresa %1, inscrição %2").arg(a.value(5), a.value(6));
    return text;
}

QString porInscricao(const QStringList &a)
{
    const QString mode = a.value(9);
    QString text = mode == QLatin1String("E") ? QStringLiteral("grupo %1 excluído").arg(a.value(8))
                 : mode == QLatin1String("V") ? QStringLiteral("grupo %1 onde não havia").arg(a.value(8))
                                              : QStringLiteral("grupo %1 em todos").arg(a.value(8));
    return QStringLiteral("Imposto %1, %2; inscrições: %3; clientes: %4; fornecedores: %5")
        .arg(a.value(0), text, chosen(a.value(2), a.value(3), "todas", "escolhidas"),
             chosen(a.value(4), a.value(5), "todos", "escolhidos"), chosen(a.value(6), a.value(7), "todos", "escolhidos"));
}

QString replica(const QJsonArray &j, const QStringList &a)
{
    const QString who = j.at(6).toBool() ? QStringLiteral("Fornecedores") : QStringLiteral("Clientes");
    const QString groups = a.value(3) == QLatin1String("T") ? QStringLiteral("todos") : keysOf(a.value(3));
    const QString dests = a.value(5) == QLatin1String("T") ? QStringLiteral("todas") : keysOf(a.value(5));
    return QStringLiteral("%1 do imposto %2, empresa %3, inscrição %4, grupos %5 para a empresa %6, inscrições %7")
        .arg(who, a.value(0), a.value(1), a.value(2), groups, a.value(4), dests);
}

} // namespace

QString methodCaption(const QString &method)
{
    return lookUp(kMethods, std::size(kMethods), method);
}

QString tableCaption(const QString &table)
{
    return lookUp(kTables, std::size(kTables), table);
}

QString actionCaption(const QString &action)
{
    if (action == QLatin1String("A"))
        return QStringLiteral("Alterado");
    if (action == QLatin1String("I"))
        return QStringLiteral("Incluído");
    if (action == QLatin1String("E"))
        return QStringLiteral("Excluído");
    return action;
}

QString argumentsInWords(const QString &method, const QString &argumentsJson)
{
    const QJsonDocument doc = QJsonDocument::fromJson(argumentsJson.toUtf8());
    if (!doc.isArray())
        return argumentsJson;
    const QJsonArray j = doc.array();
    QStringList a;
    for (const QJsonValue &v : j)
        a << v.toString();
    if (method == QLatin1String("CadastroAutomatico") && j.size() == 7)
        return cadastro(a);
    if (method == QLatin1String("CadAutoImpInscEsta") && j.size() == 10)
        return porInscricao(a);
    if (method == QLatin1String("Replica") && j.size() == 8)
        return replica(j, a);
    if (method == QLatin1String("DesfazOperacao") && j.size() == 1)
        return QStringLiteral("Operação %1").arg(a.value(0));
    if (j.size() == 1 && j.at(0).isDouble()) {
        const qint64 rows = qint64(j.at(0).toDouble());
        return rows == 1 ? QStringLiteral("1 linha enviada") : QStringLiteral("%1 linhas enviadas").arg(count(rows));
    }
    return argumentsJson;
}

QStringList operationTables(const QString &method, const QString &argumentsJson)
{
    static const Name saves[] = {
        {"SetFornecedor", "FORNECEDOR"}, {"SetCliente", "CLIENTE"}, {"SetFilial", "FILIAL"},
        {"SetTipoOperac", "TIPOOPERAC"}, {"setTipoGest", "TPFATURFIS"}, {"SetOperInter", "PARAMGERAL"},
        {"SetImpFili", "GRFISCIMPOSFILI"}, {"SetFornInsc", "GRFISIMPIEFORN"}, {"SetCliInsc", "GRFISIMPIECLIE"},
    };
    const QJsonArray a = QJsonDocument::fromJson(argumentsJson.toUtf8()).array();
    const auto billing = QStringList{QStringLiteral("TIPOFATUR"), QStringLiteral("PARAMFILIAL")};
    if (method == QLatin1String("SetTipoFatur"))
        return billing;
    if (const QString table = lookUp(saves, std::size(saves), method); table != method)
        return {table};
    if (method == QLatin1String("CadastroAutomatico") && !a.isEmpty()) {
        const QString entity = a.at(0).toString();
        return entity == QLatin1String("PARAMFILIAL") ? billing : QStringList{entity};
    }
    if (method == QLatin1String("CadAutoImpInscEsta") && a.size() == 10) {
        QStringList tables;
        if (a.at(4).toString() != QLatin1String("N"))
            tables << QStringLiteral("GRFISIMPIECLIE");
        if (a.at(6).toString() != QLatin1String("N"))
            tables << QStringLiteral("GRFISIMPIEFORN");
        return tables;
    }
    if (method == QLatin1String("Replica") && a.size() == 8)
        return {a.at(6).toBool() ? QStringLiteral("GRFISIMPIEFORN") : QStringLiteral("GRFISIMPIECLIE")};
    return {};
}

QString localTime(const QString &utc)
{
    const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
    if (!t.isValid())
        return utc;
    return brazil().toString(t.toLocalTime(), QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QString groupText(const QString &code, const QString &description)
{
    if (code.isEmpty())
        return QStringLiteral("(nenhum)");
    return description.isEmpty() ? code : code + QStringLiteral(" - ") + description;
}

QString count(qint64 n)
{
    return brazil().toString(n);
}

} // namespace fiscal::ger10200::historico
