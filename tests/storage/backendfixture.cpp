#include "backendfixture.h"

#include <cstdlib>
#include <fstream>
#include <random>

namespace fiscal::storage::test {
namespace {

std::string backendName()
{
    const char *env = std::getenv("FISCAL_STORAGE_BACKEND");
    return env && *env ? env : "sqlite";
}

std::string pgUrl()
{
    const char *env = std::getenv("FISCAL_PG_URL_FILE");
    const std::string file = env && *env ? env : FISCAL_PG_URL_FILE;
    std::ifstream in(file);
    std::string url;
    std::getline(in, url);
    if (url.empty())
        throw std::runtime_error("no PostgreSQL test cluster: " + file + " is missing or empty");
    return url;
}

std::string randomSuffix()
{
    std::random_device rd;
    std::string s;
    for (int i = 0; i < 12; ++i)
        s.push_back(static_cast<char>('a' + rd() % 26));
    return s;
}

} // namespace

void BackendTest::SetUp()
{
    const std::string backend = backendName();
    ASSERT_TRUE(backend == "sqlite" || backend == "postgresql") << backend;
    m_postgres = backend == "postgresql";
    if (m_postgres) {
        m_url = pgUrl();
    } else {
        m_dir = std::filesystem::temp_directory_path() / ("storage-test-" + randomSuffix());
        std::filesystem::create_directories(m_dir);
    }
    db = connect(newSchema());
}

void BackendTest::TearDown()
{
    db.reset();
    if (m_postgres) {
        auto admin = open(m_url);
        for (const std::string &schema : m_schemas)
            admin->exec("DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    } else if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

std::string BackendTest::newSchema()
{
    const std::string name = "t_" + randomSuffix();
    m_schemas.push_back(name);
    if (m_postgres)
        open(m_url)->exec("CREATE SCHEMA " + name);
    return name;
}

std::unique_ptr<Connection> BackendTest::connect(const std::string &schema)
{
    if (!m_postgres)
        return open((m_dir / (schema + ".db")).string());
    auto c = open(m_url);
    c->exec("SET search_path TO " + schema);
    return c;
}

std::unique_ptr<Connection> BackendTest::openAnother()
{
    return connect(m_schemas.front());
}

std::unique_ptr<Connection> BackendTest::openOtherDatabase()
{
    return connect(newSchema());
}

std::vector<std::vector<std::string>> BackendTest::rows(Connection &c, std::string_view sql,
                                                        const std::vector<std::optional<std::string>> &params)
{
    auto s = c.prepare(sql);
    for (std::size_t i = 0; i < params.size(); ++i)
        s->bind(static_cast<int>(i + 1), params[i] ? std::optional<std::string_view>(*params[i]) : std::nullopt);
    std::vector<std::vector<std::string>> out;
    while (s->step()) {
        std::vector<std::string> row;
        for (int col = 0; col < s->columnCount(); ++col)
            row.push_back(s->isNull(col) ? "<null>" : std::string(s->text(col)));
        out.push_back(std::move(row));
    }
    return out;
}

std::string BackendTest::scalar(Connection &c, std::string_view sql, const std::vector<std::optional<std::string>> &params)
{
    const auto r = rows(c, sql, params);
    if (r.size() != 1 || r.front().size() != 1)
        throw std::runtime_error("not a single value: " + std::string(sql));
    return r.front().front();
}

} // namespace fiscal::storage::test
