// Selections of 100,000 keys in every method that takes one, on both backends: the right
// answer, never a limit on statement parameters, and an unknown key at the very end of a
// list still found and named.

#include "writesupport.h"

#include <functional>

using namespace fiscal::test;
using namespace fiscal::test::writes;

namespace {

constexpr int kKeys = 100000;
constexpr int kNotFound = -32002;

// The n-th of kKeys distinct three-character group codes: a letter, then two letters or
// digits. The seeded groups are all digits.
QString groupCode(int n)
{
    static const QString alphabet = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
    const QString letters = alphabet.mid(10);
    return QString(letters.at(n / (62 * 62))) + alphabet.at(n / 62 % 62) + alphabet.at(n % 62);
}
QString registration(int n) { return QStringLiteral("R%1").arg(n, 6, 10, QChar(u'0')); }
QString client(int n) { return QStringLiteral("SC%1").arg(n, 6, 10, QChar(u'0')); }

QString selection(const QStringList &keys)
{
    QString out;
    for (const QString &k : keys)
        out += (out.isEmpty() ? QStringLiteral("'") : QStringLiteral(",'")) + QString(k).replace(u'\'', QStringLiteral("''"))
            + QLatin1Char('\'');
    return out;
}

QStringList many(QString (*code)(int), const QString &prefix = {})
{
    QStringList keys;
    keys.reserve(kKeys);
    for (int i = 0; i < kKeys; ++i)
        keys.append(prefix + code(i));
    return keys;
}

void load(TestDb &db, const char *table, const std::vector<std::string> &columns,
          const std::function<std::vector<std::string>(int)> &row)
{
    auto c = db.connect();
    fiscal::storage::Transaction tx(*c);
    auto bulk = c->bulkInsert(table, columns);
    for (int i = 0; i < kKeys; ++i) {
        const std::vector<std::string> values = row(i);
        bulk->addRow(std::vector<std::optional<std::string_view>>(values.begin(), values.end()));
    }
    bulk->finish();
    tx.commit();
}

QCborArray replica(const QString &groups, const QString &destinations)
{
    QCborArray a = strings({"91", "91", "IE-A"});
    a.append(groups);
    a.append(QStringLiteral("92"));
    a.append(destinations);
    a.append(true);
    a.append(false);
    return a;
}

// CadAutoImpInscEsta of group 903, tax 91, for the listed registrations and clients.
QCborArray inscEsta(const QString &registrations, const QString &clients)
{
    return QCborArray{QStringLiteral("91"), QString(), QStringLiteral("L"), registrations, QStringLiteral("L"),
                      clients, QStringLiteral("N"), QString(), QStringLiteral("903"), QStringLiteral("T")};
}

class Selections : public ::testing::TestWithParam<Backend> {};

TEST_P(Selections, HundredThousandKeysInEveryList)
{
    Env env(GetParam());
    load(*env.db, "GRUPOFISCAL", {"CDGRUPOFISC", "DSGRUPOFISC"},
         [](int i) { return std::vector<std::string>{groupCode(i).toStdString(), "Grupo em lote"}; });
    load(*env.db, "INSCRESTAD", {"CDEMPRESA", "CDINSCESTA"},
         [](int i) { return std::vector<std::string>{"92", registration(i).toStdString()}; });
    load(*env.db, "CLIENTE", {"CDCLIENTE", "NMRAZSOCCLIE"},
         [](int i) { return std::vector<std::string>{client(i).toStdString(), "Cliente em lote"}; });

    env.db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('D''x', 'Grupo com aspas')");

    // The seeded 901 rows at IE-A (supplier WF1, client WC1) are the only ones in the list.
    const QStringList groups = many(groupCode) << QStringLiteral("901") << QStringLiteral("D'x");
    for (const char *method : {"GetFornInscGrup", "GetCliInscGrup"}) {
        SCOPED_TRACE(method);
        QCborArray a = strings({"91", "91", "IE-A"});
        a.append(selection(groups));
        const RpcResult r = env.call(kParamGrupFiscal, method, a);
        ASSERT_TRUE(r.ok()) << r.errorCode << " " << r.errorMessage.toStdString();
        const Packet p = Packet::from(r.result);
        ASSERT_EQ(p.rows.size(), 1);
        EXPECT_EQ(p.columnValues(QStringLiteral("CDGRUPOFISC")), QStringList{QStringLiteral("901")});
    }

    // Unknown keys at the end of long lists are found and named, and nothing is written.
    const std::string before = snapshot(*env.db);
    const struct {
        const char *what;
        std::string object;
        const char *method;
        QCborArray args;
        QString named;
    } unknown[] = {
        {"replica groups", kParamGrupFiscal, "Replica",
         replica(selection(many(groupCode) << QStringLiteral("#9#")), QStringLiteral("T")), QStringLiteral("#9#")},
        {"replica destinations", kParamGrupFiscal, "Replica",
         replica(QStringLiteral("'901'"), selection(many(registration) << QStringLiteral("NOPE"))), QStringLiteral("NOPE")},
        {"registrations", kCadAutParGrpFis, "CadAutoImpInscEsta",
         inscEsta(selection(many(registration, QStringLiteral("92")) << QStringLiteral("92NOPE")), QStringLiteral("'WC1'")),
         QStringLiteral("NOPE")},
        {"clients", kCadAutParGrpFis, "CadAutoImpInscEsta",
         inscEsta(QStringLiteral("'91IE-A'"), selection(many(client) << QStringLiteral("NOPE"))), QStringLiteral("NOPE")},
    };
    for (const auto &u : unknown) {
        SCOPED_TRACE(u.what);
        const RpcResult r = env.call(u.object, u.method, u.args);
        EXPECT_EQ(r.errorCode, kNotFound) << r.errorMessage.toStdString();
        EXPECT_TRUE(r.errorMessage.contains(u.named)) << r.errorMessage.toStdString();
        EXPECT_TRUE(snapshot(*env.db) == before) << "a refused call wrote something";
    }

    // WF1's 901 at IE-A goes to each of the 100,000 registrations of company 92.
    const RpcResult copied = env.call(kParamGrupFiscal, "Replica", replica(selection(groups), selection(many(registration))));
    ASSERT_TRUE(copied.ok()) << copied.errorMessage.toStdString();
    EXPECT_EQ(copied.result.toInteger(), kKeys);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIEFORN WHERE CDIMPOSTO = '91' AND CDEMPRESA = '92'"
                            " AND CDFORNECED = 'WF1' AND CDGRUPOFISC = '901'"),
              kKeys);

    // Every listed client at IE-A, then WC1 at every listed registration.
    const QString listed[][2] = {{QStringLiteral("'91IE-A'"), selection(many(client))},
                                 {selection(many(registration, QStringLiteral("92"))), QStringLiteral("'WC1'")}};
    for (const auto &[registrations, clients] : listed) {
        const RpcResult r = env.call(kCadAutParGrpFis, "CadAutoImpInscEsta", inscEsta(registrations, clients));
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '91' AND CDGRUPOFISC = '903'"
                            " AND CDEMPRESA = '91' AND CDINSCESTA = 'IE-A' AND CDCLIENTE LIKE 'SC%'"),
              kKeys);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM GRFISIMPIECLIE WHERE CDIMPOSTO = '91' AND CDGRUPOFISC = '903'"
                            " AND CDEMPRESA = '92' AND CDCLIENTE = 'WC1'"),
              kKeys);
}

INSTANTIATE_TEST_SUITE_P(Writes, Selections, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());

} // namespace
