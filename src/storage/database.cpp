#include "storage/database.h"

#include "storage/postgresql/pgconnection.h"
#include "storage/sqlite/sqliteconnection.h"
#include "storage/sqltext.h"

#include <cctype>

namespace fiscal::storage {
namespace {

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// A libpq keyword/value string: its first word is one of libpq's keywords followed by '='.
bool isKeywordString(std::string_view url)
{
    static constexpr std::string_view keywords[] = {
        "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "service",
        "sslmode", "connect_timeout", "application_name", "options", "target_session_attrs",
    };
    std::size_t i = 0;
    while (i < url.size() && std::isspace(static_cast<unsigned char>(url[i])))
        ++i;
    std::size_t e = i;
    while (e < url.size() && (std::isalnum(static_cast<unsigned char>(url[e])) || url[e] == '_'))
        ++e;
    const std::string_view word = url.substr(i, e - i);
    while (e < url.size() && url[e] == ' ')
        ++e;
    if (e >= url.size() || url[e] != '=')
        return false;
    for (std::string_view k : keywords) {
        if (word == k)
            return true;
    }
    return false;
}

} // namespace

std::unique_ptr<Connection> open(const std::string &url)
{
    if (url.empty())
        throw Error(Error::Kind::Connection, "no database given");
    if (startsWith(url, "postgresql://") || startsWith(url, "postgres://") || isKeywordString(url))
        return postgresql::open(url);
    return sqlite::open(url);
}

void detail::runSchemaStatements(Connection &c)
{
    for (const std::string &statement : detail::splitStatements(detail::schemaSql()))
        c.exec(statement);
}

void createSchema(Connection &c)
{
    // Each statement is idempotent; one transaction keeps a failure from leaving half a
    // schema behind.
    Transaction t(c);
    detail::runSchemaStatements(c);
    t.commit();
}

} // namespace fiscal::storage
