#pragma once
// Shared by the history suites: the state of every table the history records, the net
// change between two states as history items, the items the server recorded for an
// operation, and calls that name their user.

#include "writesupport.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <chrono>
#include <set>
#include <thread>
#include <tuple>

namespace fiscal::test::history {

using writes::str;

// table, key (as many fields as the table's key), before, after, action (A/I/E)
using Item = std::tuple<std::string, std::vector<std::string>, std::optional<std::string>,
                        std::optional<std::string>, char>;
using Items = std::set<Item>;
using State = std::map<std::pair<std::string, std::vector<std::string>>, std::optional<std::string>>;

struct Recorded {
    const char *table;
    std::vector<const char *> keys;
    const char *group;
};

inline const std::vector<Recorded> &recordedTables()
{
    static const std::vector<Recorded> t{
        {"FORNECEDOR", {"CDFORNECED"}, "CDGRUPOFISC"},
        {"CLIENTE", {"CDCLIENTE"}, "CDGRUPOFISC"},
        {"FILIAL", {"CDFILIAL"}, "CDGRUPOFISC"},
        {"TIPOOPERAC", {"CDTIPOOPER"}, "CDGRUPOFISC"},
        {"TIPOFATUR", {"CDTIPOFATUR"}, "CDGRUPOFISC"},
        {"PARAMFILIAL", {"CDFILIAL", "CDTIPOFATUR"}, "CDGRUPOFISC"},
        {"PARAMGERAL", {"CDPARGERAL"}, "DSPARGERFIS"},
        {"TPFATURFIS", {"CDTPFATURFIS"}, "CDGRUPOFISC"},
        {"GRFISCIMPOSFILI", {"CDIMPOSTO", "CDFILIAL"}, "CDGRUPOFISC"},
        {"GRFISIMPIECLIE", {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDCLIENTE"}, "CDGRUPOFISC"},
        {"GRFISIMPIEFORN", {"CDIMPOSTO", "CDEMPRESA", "CDINSCESTA", "CDFORNECED"}, "CDGRUPOFISC"},
    };
    return t;
}

inline State state(const TestDb &db)
{
    State s;
    for (const Recorded &t : recordedTables()) {
        std::string sql = "SELECT ";
        for (const char *k : t.keys)
            sql += std::string(k) + ", ";
        for (const auto &row : db.query(sql + t.group + " FROM " + t.table)) {
            std::vector<std::string> key;
            for (std::size_t i = 0; i < t.keys.size(); ++i)
                key.push_back(*row[i]);
            s[{t.table, key}] = row.back();
        }
    }
    return s;
}

// What changed from `a` to `b`, row by row, as the history should have it.
inline Items diff(const State &a, const State &b)
{
    Items out;
    for (const auto &[key, before] : a) {
        const auto it = b.find(key);
        if (it == b.end())
            out.emplace(key.first, key.second, before, std::nullopt, 'E');
        else if (it->second != before)
            out.emplace(key.first, key.second, before, it->second, 'A');
    }
    for (const auto &[key, after] : b)
        if (!a.count(key))
            out.emplace(key.first, key.second, std::nullopt, after, 'I');
    return out;
}

inline Items itemsOf(const TestDb &db, const std::string &id)
{
    Items out;
    for (const auto &r : db.query("SELECT NMTABELA, CDCHAVE1, CDCHAVE2, CDCHAVE3, CDCHAVE4, CDGRUPOANT, CDGRUPONOVO,"
                                  " IDACAO FROM HISTITEM WHERE IDOPERACAO = $1",
                                  {id})) {
        std::vector<std::string> key;
        for (int i = 1; i <= 4; ++i)
            if (!r[std::size_t(i)]->empty())
                key.push_back(*r[std::size_t(i)]);
        out.emplace(*r[0], key, r[5], r[6], (*r[7])[0]);
    }
    return out;
}

// The items of `items` that `other` lacks, one per line.
inline std::string describe(const Items &items, const Items &other)
{
    std::string s;
    for (const Item &item : items) {
        if (other.count(item))
            continue;
        const auto &[table, key, before, after, action] = item;
        s += table + " [";
        for (const std::string &k : key)
            s += k + ' ';
        s += "] " + str(before) + " -> " + str(after) + ' ' + action + '\n';
    }
    return s;
}

inline std::optional<std::string> lastOperation(const TestDb &db)
{
    return db.scalar("SELECT MAX(IDOPERACAO) FROM HISTOPERACAO");
}

// The arguments as the history keeps them.
inline std::string argumentsJson(const QCborArray &args)
{
    return QJsonDocument(args.toJsonArray()).toJson(QJsonDocument::Compact).toStdString();
}

inline const std::string kHistorico = "Ger10204.rdmHistorico";

// A spreadsheet import's lines (key, group), and the arguments of ImportaGrupos for them.
using Lines = std::vector<std::pair<const char *, const char *>>;

inline QCborMap linesPacket(const Lines &lines)
{
    QCborArray fields;
    for (const auto &[name, size] : {std::pair{"CHAVE", 21}, std::pair{"CDGRUPOFISC", 3}})
        fields.append(QCborMap{{QStringLiteral("name"), QString::fromLatin1(name)}, {QStringLiteral("size"), size},
                               {QStringLiteral("type"), QStringLiteral("string")}, {QStringLiteral("required"), false}});
    QCborArray rows;
    for (const auto &[key, group] : lines)
        rows.append(QCborArray{QString::fromUtf8(key), QString::fromUtf8(group)});
    return QCborMap{{QStringLiteral("fields"), fields}, {QStringLiteral("rows"), rows}};
}

inline QCborArray importArgs(const char *entity, const Lines &lines, const char *tax = "", const char *company = "",
                      const char *registration = "")
{
    QCborArray a = writes::strings({entity, tax, company, registration});
    a.append(linesPacket(lines));
    return a;
}

// PostgreSQL: true once some session of this test's database waits for a lock (within ten
// seconds); the other suites share the cluster, and their waits must not count.
inline bool someoneWaitsForALock(const TestDb &db)
{
    for (int i = 0; i < 1000; ++i) {
        if (db.count("SELECT COUNT(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"
                     " AND datname = current_database()") > 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace fiscal::test::history
