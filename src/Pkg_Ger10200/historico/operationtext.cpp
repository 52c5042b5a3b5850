#include "Pkg_Ger10200/historico/operationtext.h"

#include "protocol/arguments.h"
#include "protocol/bulkcalls.h"
#include "protocol/objects.h"
#include "protocol/selectiondigest.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QStringList>

namespace fiscal::ger10200::historico {

namespace method = protocol::method;

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
    {method::SetFornecedor, "Gravação na grade de fornecedores"},
    {method::SetCliente, "Gravação na grade de clientes"},
    {method::SetFilial, "Gravação na grade de filiais"},
    {method::SetTipoOperac, "Gravação na grade de tipos de operação"},
    {method::SetTipoFatur, "Gravação na grade de tipos de contrato"},
    {method::SetTipoGest, "Gravação na grade de tipos de gestão fiscal"},
    {method::SetOperInter, "Gravação das operações interestaduais"},
    {method::SetImpFili, "Gravação na grade de imposto por filial"},
    {method::SetFornInsc, "Gravação na grade de fornecedores por inscrição estadual"},
    {method::SetCliInsc, "Gravação na grade de clientes por inscrição estadual"},
    {method::CadastroAutomatico, "Cadastramento automático"},
    {method::CadAutoImpInscEsta, "Cadastramento automático por imposto e inscrição estadual"},
    {method::Replica, "Replicação"},
    {method::ImportaGrupos, "Importação de planilha"},
    {method::DesfazOperacao, "Desfazer operação"},
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
qint64 listSize(const QString &selection)
{
    if (selection == QLatin1String("T"))
        return -1;
    // A long list the history kept as its count and digest.
    if (const auto digested = protocol::digestedKeys(selection))
        return *digested;
    return protocol::selectionKeyCount(selection);
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
    const qint64 n = listSize(list);
    return n <= 3 ? keysOf(list) : QStringLiteral("%1 %2").arg(count(n), QString::fromUtf8(some));
}

// The arguments as the history kept them (a JSON array), read with the calls' own lists;
// a list of another length is not that call's.
class KeptArguments : public protocol::ArgumentReader {
public:
    struct OtherList {};
    explicit KeptArguments(const QJsonArray &a) : m_a(a) {}
    void expectCount(qsizetype count, const char *) const override
    {
        if (m_a.size() != count)
            throw OtherList();
    }
    QString text(qsizetype index, int, const char *) const override { return m_a.at(index).toString(); }
    bool boolean(qsizetype index, const char *) const override { return m_a.at(index).toBool(); }

private:
    const QJsonArray &m_a;
};

QString cadastro(const protocol::CadastroAutomaticoArgs &a)
{
    QString text = tableCaption(a.entity) + QStringLiteral(": ");
    const QString &group = a.group;
    const QString &mode = a.mode;
    if (mode == QLatin1String("T"))
        text += QStringLiteral("grupo %1 em todos os registros").arg(group);
    else if (mode == QLatin1String("V"))
        text += QStringLiteral("grupo %1 nos registros sem grupo").arg(group);
    else
        text += group.isEmpty() ? QStringLiteral("grupo removido de todos os registros")
                                : QStringLiteral("grupo %1 removido").arg(group);
    if (!a.tax.isEmpty())
        text += QStringLiteral(", imposto %1").arg(a.tax);
    if (!a.company.isEmpty())
        text += QStringLiteral(", empresa %1, inscrição %2").arg(a.company, a.registration);
    return text;
}

QString porInscricao(const protocol::CadAutoImpInscEstaArgs &a)
{
    const QString &mode = a.mode;
    QString text = mode == QLatin1String("E") ? QStringLiteral("grupo %1 excluído").arg(a.group)
                 : mode == QLatin1String("V") ? QStringLiteral("grupo %1 onde não havia").arg(a.group)
                                              : QStringLiteral("grupo %1 em todos").arg(a.group);
    return QStringLiteral("Imposto %1, %2; inscrições: %3; clientes: %4; fornecedores: %5")
        .arg(a.tax, text, chosen(a.registrationChoice, a.registrations, "todas", "escolhidas"),
             chosen(a.clientChoice, a.clients, "todos", "escolhidos"),
             chosen(a.supplierChoice, a.suppliers, "todos", "escolhidos"));
}

// Every key of a list, or how many when the history kept only its count and digest.
QString listed(const QString &list, const char *some)
{
    if (const auto digested = protocol::digestedKeys(list))
        return QStringLiteral("%1 %2").arg(count(*digested), QString::fromUtf8(some));
    return keysOf(list);
}

QString replica(const protocol::ReplicaArgs &a)
{
    const QString who = a.suppliers ? QStringLiteral("Fornecedores") : QStringLiteral("Clientes");
    const QString groups = a.groups == QLatin1String("T") ? QStringLiteral("todos") : listed(a.groups, "escolhidos");
    const QString dests = a.destRegistrations == QLatin1String("T") ? QStringLiteral("todas")
                                                                      : listed(a.destRegistrations, "escolhidas");
    return QStringLiteral("%1 do imposto %2, empresa %3, inscrição %4, grupos %5 para a empresa %6, inscrições %7")
        .arg(who, a.tax, a.company, a.registration, groups, a.destCompany, dests);
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
    const KeptArguments kept(j);
    try {
        if (method == QLatin1String(method::CadastroAutomatico))
            return cadastro(protocol::CadastroAutomaticoArgs::decode(kept));
        if (method == QLatin1String(method::CadAutoImpInscEsta))
            return porInscricao(protocol::CadAutoImpInscEstaArgs::decode(kept));
        if (method == QLatin1String(method::Replica))
            return replica(protocol::ReplicaArgs::decode(kept));
    } catch (const KeptArguments::OtherList &) {
        return argumentsJson;
    }
    // The import: entity, tax, company, registration and the count of lines sent.
    if (method == QLatin1String(method::ImportaGrupos) && j.size() == 5 && j.at(4).isDouble()) {
        QString text = tableCaption(j.at(0).toString());
        if (!j.at(1).toString().isEmpty())
            text += QStringLiteral(", imposto %1").arg(j.at(1).toString());
        if (!j.at(2).toString().isEmpty())
            text += QStringLiteral(", empresa %1, inscrição %2").arg(j.at(2).toString(), j.at(3).toString());
        const qint64 rows = qint64(j.at(4).toDouble());
        return text + (rows == 1 ? QStringLiteral(": 1 linha") : QStringLiteral(": %1 linhas").arg(count(rows)));
    }
    if (method == QLatin1String(method::DesfazOperacao) && j.size() == 1)
        return QStringLiteral("Operação %1").arg(j.at(0).toString());
    if (j.size() == 1 && j.at(0).isDouble()) {
        const qint64 rows = qint64(j.at(0).toDouble());
        return rows == 1 ? QStringLiteral("1 linha enviada") : QStringLiteral("%1 linhas enviadas").arg(count(rows));
    }
    return argumentsJson;
}

QString localTime(const QString &utc, bool seconds)
{
    const QDateTime t = QDateTime::fromString(utc, Qt::ISODateWithMs);
    if (!t.isValid())
        return utc;
    return brazil().toString(t.toLocalTime(), seconds ? QStringLiteral("dd/MM/yyyy HH:mm:ss")
                                                      : QStringLiteral("dd/MM/yyyy HH:mm"));
}

QString skippedInWords(qint64 later, qint64 outside, qint64 gone)
{
    QStringList parts;
    const auto add = [&](qint64 n, const char *one, const char *many) {
        if (n > 0)
            parts << count(n) + QLatin1Char(' ') + QString::fromUtf8(n == 1 ? one : many);
    };
    add(later, "alterado por uma operação posterior", "alterados por operações posteriores");
    add(outside, "alterado fora do sistema", "alterados fora do sistema");
    add(gone, "cujo grupo ou registro não existe mais", "cujo grupo ou registro não existe mais");
    if (parts.isEmpty())
        return {};
    QString last = parts.takeLast();
    return parts.isEmpty() ? last : parts.join(QStringLiteral(", ")) + QStringLiteral(" e ") + last;
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

QString undoState(const QHash<QString, QString> &undoneBy, const QString &id)
{
    QString last = undoneBy.value(id);
    if (last.isEmpty())
        return {};
    bool undone = true;
    // Bounded: a chain never comes back on itself, but a damaged history must not hang the list.
    for (qsizetype steps = 0; steps < undoneBy.size(); ++steps) {
        const QString next = undoneBy.value(last);
        if (next.isEmpty())
            break;
        undone = !undone;
        last = next;
    }
    return (undone ? QStringLiteral("Desfeita pela operação %1") : QStringLiteral("Refeita pela operação %1")).arg(last);
}

} // namespace fiscal::ger10200::historico
