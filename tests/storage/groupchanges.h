#pragma once
// A change set moving records of one table to another fiscal group, as the screen's grid
// sends it to SetCliente or SetFornecedor: each row's key and the group it was loaded with.

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fiscal::test {

using GroupRow = std::pair<std::string, std::optional<std::string>>;   // key, group as loaded

inline QCborValue groupChanges(const std::string &method, const std::vector<GroupRow> &rows, const std::string &now)
{
    const bool clients = method == "SetCliente";
    const std::vector<std::pair<const char *, int>> fields =
        clients ? std::vector<std::pair<const char *, int>>{{"NMFANTCLIE", 50}, {"NRINSJURCLIE", 20}, {"CDCLIENTE", 21},
                                                            {"NOME", 50}, {"IDTPIJURCLIE", 1}, {"CDGRUPOFISC", 3},
                                                            {"DSGRUPOFISC", 30}}
                : std::vector<std::pair<const char *, int>>{{"NRINSJURFORN", 20}, {"CDFORNECED", 21}, {"NOME", 40},
                                                            {"CDGRUPOFISC", 3}, {"IDTPIJURFORN", 1},
                                                            {"DSGRUPOFISC", 30}};
    const QString keyField = QString::fromLatin1(clients ? "CDCLIENTE" : "CDFORNECED");
    QCborArray fieldList;
    for (const auto &[name, size] : fields)
        fieldList.append(QCborMap{{QStringLiteral("name"), QString::fromLatin1(name)}, {QStringLiteral("size"), size},
                                  {QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("required"), false}});
    const auto row = [&](const std::string &key, const std::optional<std::string> &group) {
        QCborArray r;
        for (const auto &field : fields) {
            const QString name = QString::fromLatin1(field.first);
            if (name == keyField)
                r.append(QString::fromStdString(key));
            else if (name == QLatin1String("CDGRUPOFISC") && group)
                r.append(QString::fromStdString(*group));
            else
                r.append(QCborValue(nullptr));
        }
        return r;
    };
    QCborArray changes;
    for (const auto &[key, was] : rows)
        changes.append(QCborMap{{QStringLiteral("op"), QStringLiteral("update")},
                                {QStringLiteral("old"), row(key, was)}, {QStringLiteral("new"), row(key, now)}});
    return QCborMap{{QStringLiteral("fields"), fieldList}, {QStringLiteral("changes"), changes}};
}

} // namespace fiscal::test
