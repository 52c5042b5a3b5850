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
    if (backendOf(url) == Backend::Postgres)
        return postgresql::open(url);
    return sqlite::open(url);
}

std::unique_ptr<Connection> openExisting(const std::string &url)
{
    if (url.empty())
        throw Error(Error::Kind::Connection, "no database given");
    if (backendOf(url) == Backend::Postgres)
        return postgresql::open(url);
    return sqlite::open(url, false);
}

void Statement::start()
{
    throw Error(Error::Kind::Other, "statements run without waiting only on PostgreSQL");
}

bool Statement::arrived()
{
    throw Error(Error::Kind::Other, "statements run without waiting only on PostgreSQL");
}

Backend backendOf(const std::string &url)
{
    if (startsWith(url, "postgresql://") || startsWith(url, "postgres://") || isKeywordString(url))
        return Backend::Postgres;
    return Backend::Sqlite;
}

std::string textListParameter(const std::vector<std::string> &texts)
{
    std::size_t size = 2;
    for (const std::string &t : texts)
        size += t.size() + 3;
    std::string json;
    json.reserve(size);
    json += '[';
    for (std::size_t i = 0; i < texts.size(); ++i) {
        // A NUL would come back as "\u0000", which PostgreSQL's text cannot hold.
        detail::refuseNul(texts[i], int(i + 1));
        json += i ? ",\"" : "\"";
        for (const char ch : texts[i]) {
            const auto u = static_cast<unsigned char>(ch);
            if (ch == '"' || ch == '\\') {
                json += '\\';
                json += ch;
            } else if (u < 0x20) {
                static const char hex[] = "0123456789abcdef";
                json += "\\u00";
                json += hex[u >> 4];
                json += hex[u & 15];
            } else {
                json += ch;   // UTF-8 goes as it is
            }
        }
        json += '"';
    }
    json += ']';
    return json;
}

std::string textListSubquery(Backend backend, int param)
{
    const std::string p = "$" + std::to_string(param);
    if (backend == Backend::Postgres)
        return "SELECT json_array_elements_text(" + p + "::json) AS value";
    return "SELECT value FROM json_each(" + p + ")";
}

void detail::runSchemaStatements(Connection &c)
{
    for (const std::string &statement : detail::splitStatements(detail::schemaSql()))
        c.exec(statement);
}

} // namespace fiscal::storage
