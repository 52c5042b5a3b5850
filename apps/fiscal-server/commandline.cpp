#include "commandline.h"

#include <charconv>

namespace fiscal::server {

namespace {

int parseInt(const std::string &text, const std::string &option, int lo, int hi)
{
    int value = 0;
    const char *end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || p != end || value < lo || value > hi)
        throw UsageError(option + " expects a number from " + std::to_string(lo) + " to "
                         + std::to_string(hi) + ", got '" + text + "'");
    return value;
}

} // namespace

const char *usageText()
{
    return "usage:\n"
           "  fiscal-server --db DB --init [--demo small|large]\n"
           "  fiscal-server --db DB --listen ADDRESS:PORT [--token TOKEN] [--workers N]\n"
           "DB is a SQLite file or a PostgreSQL URL (postgresql://user@host:port/db).\n"
           "--init creates the schema (idempotent); --demo adds demo data to a database that\n"
           "holds none. PORT 0 picks a free port. FISCAL_SERVER_TOKEN also sets the token.\n";
}

bool isPostgresUrl(const std::string &db)
{
    for (const char *prefix : {"postgresql://", "postgres://", "host=", "dbname="})
        if (db.rfind(prefix, 0) == 0)
            return true;
    return false;
}

CommandLine parseCommandLine(const std::vector<std::string> &args, const char *envToken)
{
    CommandLine cl;
    bool tokenGiven = false;
    bool workersGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
                throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            cl.help = true;
        } else if (a == "--db") {
            cl.db = value();
            if (cl.db.empty())
                throw UsageError("--db needs a value");
        } else if (a == "--init") {
            cl.init = true;
        } else if (a == "--demo") {
            const std::string &d = value();
            if (d != "small" && d != "large")
                throw UsageError("--demo expects 'small' or 'large', got '" + d + "'");
            cl.demo = d;
        } else if (a == "--listen") {
            const std::string &l = value();
            const auto colon = l.rfind(':');
            if (colon == std::string::npos || colon == 0)
                throw UsageError("--listen expects ADDRESS:PORT, got '" + l + "'");
            cl.address = l.substr(0, colon);
            if (cl.address.size() > 2 && cl.address.front() == '[' && cl.address.back() == ']')
                cl.address = cl.address.substr(1, cl.address.size() - 2);
            cl.port = std::uint16_t(parseInt(l.substr(colon + 1), "--listen port", 0, 65535));
            cl.listen = true;
        } else if (a == "--token") {
            cl.token = value();
            if (cl.token.empty())
                throw UsageError("--token needs a non-empty value");
            tokenGiven = true;
        } else if (a == "--workers") {
            cl.workers = parseInt(value(), "--workers", 1, 64);
            workersGiven = true;
        } else {
            throw UsageError("unknown argument '" + a + "'");
        }
    }
    if (cl.help)
        return cl;
    if (cl.db.empty())
        throw UsageError("--db is required");
    if (!cl.init && !cl.listen)
        throw UsageError("say --init or --listen");
    if (cl.demo && !cl.init)
        throw UsageError("--demo goes with --init");
    if ((tokenGiven || workersGiven) && !cl.listen)
        throw UsageError("--token and --workers go with --listen");
    if (!tokenGiven && envToken)
        cl.token = envToken;
    return cl;
}

} // namespace fiscal::server
