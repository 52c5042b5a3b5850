// fiscal-server: the application server of the fiscal-group parameters.
// Exit codes: 0 done (or stopped by SIGTERM/SIGINT), 1 the database, its schema, the
// address or a copy could not be used, 2 a bad command line.

#include "commandline.h"
#include "sdnotify.h"
#include "usercommand.h"

#include "appserver/access/pam.h"
#include "appserver/access/passwords.h"
#include "appserver/access/sessions.h"

#include "appserver/history/history.h"
#include "appserver/objects/objects.h"
#include "ops/calllog.h"
#include "ops/endpoints.h"
#include "ops/health.h"
#include "ops/metrics.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"
#include "storage/backup.h"
#include "storage/database.h"
#include "storage/demo.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <pthread.h>
#include <sys/prctl.h>
#include <thread>

using namespace fiscal;

namespace {

std::int64_t count(storage::Connection &c, const char *table)
{
    auto stmt = c.prepare(std::string("SELECT COUNT(*) FROM ") + table);
    if (!stmt->step())
        return 0;
    return std::stoll(std::string(stmt->text(0)));
}

void reportMigration(int from)
{
    if (from > 0 && from < storage::kSchemaVersion)
        std::cout << "schema migrated from version " << from << " to " << storage::kSchemaVersion << std::endl;
}

int initDatabase(const server::CommandLine &cl)
{
    auto conn = storage::open(cl.db);
    reportMigration(storage::createSchema(*conn));
    std::cout << "schema ready in " << cl.db << std::endl;
    if (!cl.demo)
        return 0;
    // Demo data goes only into an empty database: a second --demo must neither duplicate
    // rows nor mix the small and the large set, and its users, whose passwords are public,
    // never join real ones (an administrator made before the demo was asked for).
    for (const char *table : {"GRUPOFISCAL", "FORNECEDOR", "CLIENTE", "FILIAL", "IMPOSTO", "USUARIO"}) {
        if (count(*conn, table) > 0) {
            std::cout << "the database already holds data (" << table << "); demo data not added"
                      << std::endl;
            return 0;
        }
    }
    storage::populateDemo(*conn, *cl.demo == "large" ? storage::DemoSize::Large : storage::DemoSize::Small);
    // Only with the demo data, never into a database of real work: their passwords are public.
    server::addDemoUsers(*conn);
    std::cout << *cl.demo << " demo data added (users consulta, operador, administrador)" << std::endl;
    return 0;
}

// The schema brought to this program's version by its owner, and the servers' role given
// what they need.
int migrate(const server::CommandLine &cl)
{
    // The database owner's password may be in this environment (migrate.env), and the
    // instances run as the same system user: not dumpable, the process's /proc files
    // (environ, mem) are root's alone for the minutes a migration may wait for its locks.
    prctl(PR_SET_DUMPABLE, 0);
    // It runs before every start of an instance: a SQLite file moved away, or a data disk
    // not mounted, would be made again empty and served as if nothing had happened.
    if (!server::isPostgresUrl(cl.db) && !std::filesystem::exists(cl.db))
        throw std::runtime_error("database file '" + cl.db + "' does not exist; migrate only updates a database."
                                 " Put the file back, or create a new one with fiscal-server --db " + cl.db
                                 + " --init (as the user the servers run as)");
    auto conn = storage::open(cl.db);
    reportMigration(storage::createSchema(*conn));
    if (!cl.runtimeRole.empty()) {
        storage::grantRuntimeRole(*conn, cl.runtimeRole);
        std::cout << "role " << cl.runtimeRole << " may read and write the rows" << std::endl;
    }
    std::cout << "schema at version " << storage::kSchemaVersion << " in " << cl.db << std::endl;
    return 0;
}

int backup(const server::CommandLine &cl)
{
    storage::backupSqlite(cl.db, cl.file);
    std::cout << "copy of " << cl.db << " written to " << cl.file << std::endl;
    return 0;
}

int restore(const server::CommandLine &cl)
{
    const int version = storage::restoreSqlite(cl.file, cl.db);
    std::cout << cl.file << " restored into " << cl.db << std::endl;
    if (version < storage::kSchemaVersion)
        std::cout << "the copy's schema has version " << version << ": run fiscal-server migrate --db " << cl.db
                  << " before serving it" << std::endl;
    return 0;
}

// Fails early, with a clear message, when the database cannot serve the calls. The schema
// is never changed here: a server serves the version it was built for, or none.
void checkDatabase(const server::CommandLine &cl)
{
    if (!server::isPostgresUrl(cl.db) && !std::filesystem::exists(cl.db))
        throw std::runtime_error("database file '" + cl.db + "' does not exist; create it with --init");
    auto conn = storage::open(cl.db);
    try {
        count(*conn, "GRUPOFISCAL");
    } catch (const storage::Error &e) {
        if (e.kind() == storage::Error::Kind::Connection)
            throw;
        throw std::runtime_error(std::string("the database has no fiscal schema; run --init first (")
                                 + e.what() + ")");
    }
    const int version = storage::schemaVersion(*conn);
    if (version > storage::kSchemaVersion)
        throw std::runtime_error("the database schema has version " + std::to_string(version) + ", newer than this"
                                 " program's " + std::to_string(storage::kSchemaVersion)
                                 + ": install the fiscal-server that migrated it");
    if (version < storage::kSchemaVersion)
        throw std::runtime_error("the database schema has version " + std::to_string(version) + " and this program"
                                 " serves version " + std::to_string(storage::kSchemaVersion)
                                 + ": run fiscal-server migrate (as the owner of the schema) before serving it");
    if (storage::uncheckedTextEncoding(*conn))
        std::cerr << "fiscal-server: warning: the database's encoding is SQL_ASCII: names with accents may be "
                     "refused as too long, and text other programs wrote there may not be read; move the data "
                     "to a database made with ENCODING 'UTF8' (docs/deploy.md)"
                  << std::endl;
}

// The figures of the process besides those of the calls.
void addProcessMetrics(ops::Metrics &metrics, const appserver::ConnectionPool &pool,
                       const rpc::HttpServer &http, const ops::Health &health)
{
    using K = ops::Metrics::Kind;
    const auto poolValue = [&pool](auto member) {
        return [&pool, member] { return double(pool.stats().*member); };
    };
    using S = appserver::ConnectionPool::Stats;
    metrics.addValue("fiscal_db_pool_size", "Conexões com o banco que o servidor pode abrir (--pool).",
                     K::Gauge, poolValue(&S::size));
    metrics.addValue("fiscal_db_pool_open", "Conexões com o banco abertas.", K::Gauge, poolValue(&S::open));
    metrics.addValue("fiscal_db_pool_in_use", "Conexões com o banco em uso por uma chamada.", K::Gauge,
                     poolValue(&S::inUse));
    metrics.addValue("fiscal_db_pool_waiting", "Chamadas esperando uma conexão com o banco.", K::Gauge,
                     poolValue(&S::waiting));
    metrics.addValue("fiscal_db_pool_waits_total", "Chamadas que precisaram esperar uma conexão.",
                     K::Counter, poolValue(&S::waits));
    metrics.addValue("fiscal_db_pool_wait_seconds_total", "Tempo total dessas esperas, em segundos.",
                     K::Counter, poolValue(&S::waitSeconds));
    metrics.addValue("fiscal_http_open_connections", "Conexões HTTP abertas com o servidor.", K::Gauge,
                     [&http] { return double(http.openConnections()); });
    metrics.addValue("fiscal_database_up", "1 enquanto o banco responde, 0 quando não.", K::Gauge,
                     [&health] { return health.status().databaseUp ? 1.0 : 0.0; });
    metrics.addValue("fiscal_draining", "1 depois do SIGTERM, enquanto o servidor se despede.", K::Gauge,
                     [&health] { return health.status().draining ? 1.0 : 0.0; });
    const double started = double(std::time(nullptr));
    metrics.addValue("process_start_time_seconds", "Início do processo, em segundos desde 1970 (UTC).",
                     K::Gauge, [started] { return started; });
}

// Waits for SIGTERM or SIGINT and stops the server. With a drain time, /health answers 503
// and every answer closes its connection first, until that time has passed, no connection
// is left, or a second signal comes. SIGUSR1 only wakes the thread when run() ended by itself.
void watchSignals(const sigset_t &signals, int drainSeconds, rpc::HttpServer &http, ops::Health &health)
{
    int sig = 0;
    // A hang-up (an administrator's "reload", a closed terminal) ended the server at once,
    // without its drain, and systemd does not restart a process ended by it. There is nothing
    // to reload: it is said and ignored.
    while (sigwait(&signals, &sig) == 0 && sig == SIGHUP)
        std::cerr << "fiscal-server: SIGHUP ignored (nothing to reload; SIGTERM stops the server)" << std::endl;
    if (sig == SIGUSR1)
        return;
    server::notifySystemd("STOPPING=1");
    if (drainSeconds > 0) {
        std::cerr << "fiscal-server: draining for up to " << drainSeconds << " s" << std::endl;
        health.setDraining();
        http.beginDrain();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(drainSeconds);
        const timespec step{0, 100 * 1000 * 1000};
        while (std::chrono::steady_clock::now() < end && http.openConnections() > 0) {
            siginfo_t info;
            const int got = sigtimedwait(&signals, &info, &step);
            if (got > 0 && got != SIGHUP)
                break;
        }
    }
    http.requestStop();
}

// The probes' connection. A SQLite file that went away is not created again empty.
std::unique_ptr<storage::Connection> openProbe(const std::string &db)
{
    if (!server::isPostgresUrl(db) && !std::filesystem::exists(db))
        throw std::runtime_error("database file '" + db + "' is gone");
    auto c = storage::open(db);
    // A file replaced under the server by an older copy lacks what this server writes.
    if (const int version = storage::schemaVersion(*c); version < storage::kSchemaVersion)
        throw std::runtime_error("the database schema has version " + std::to_string(version) + ", older than the "
                                 "version " + std::to_string(storage::kSchemaVersion) + " this server serves");
    // Named, as the history's pruner is, so that pg_stat_activity tells them from the calls'.
    if (server::isPostgresUrl(db))
        c->exec("SET application_name = 'fiscal-server health'");
    return c;
}

int serve(const server::CommandLine &cl, rpc::TokenTable tokens)
{
    checkDatabase(cl);

    // Blocked before any thread starts, so that every thread inherits the mask and only the
    // watcher below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    rpc::Dispatcher dispatcher;
    appserver::ConnectionPool pool(cl.db, cl.pool > 0 ? cl.pool : cl.workers);
    appserver::registerAll(dispatcher, pool);
    namespace access = appserver::access;
    access::AuthSettings auth;
    auth.mode = cl.auth == server::AuthMode::Users ? access::AuthSettings::Mode::Users
                : cl.auth == server::AuthMode::Pam ? access::AuthSettings::Mode::Pam
                                                   : access::AuthSettings::Mode::None;
    auth.pamService = cl.pamService;
    auth.sharedToken = cl.token;
    auth.tokens = std::move(tokens);
    access::Sessions sessions(pool, cl.sessionHours);
    if (auth.mode == access::AuthSettings::Mode::Pam)
        sessions.followRoles(access::roleNowOr);
    appserver::registerSessionMethods(dispatcher, pool, auth, sessions);
    // A password hash takes 64 MiB: no more at once than calls can run, and never more than
    // eight (512 MiB), which with the bodies being read stays under the unit's MemoryHigh.
    access::setHashLimit(std::min(cl.workers, 8));

    ops::Health health([db = cl.db] { return openProbe(db); });
    ops::Metrics metrics;
    const ops::CallLog callLog;

    rpc::ServerOptions options;
    options.address = cl.address;
    options.port = cl.port;
    options.authenticate = access::authenticator(auth, sessions);
    options.workers = cl.workers;
    options.limits.read = std::chrono::seconds(cl.readLimitSeconds);
    options.limits.save = std::chrono::seconds(cl.saveLimitSeconds);
    options.limits.bulk = std::chrono::seconds(cl.bulkLimitSeconds);
    options.limits.lockWait = std::chrono::seconds(cl.lockWaitSeconds);
    options.limits.heavyPerBatch = std::size_t(cl.heavyPerBatch);
    options.trustedProxies = cl.trustedProxies;
    options.recordCall = [&metrics, &callLog](const rpc::CallRecord &call) {
        metrics.record(call);
        callLog.write(call);
    };
    options.answerGet = ops::endpoints(health, metrics);
    rpc::HttpServer http(dispatcher, options);
    addProcessMetrics(metrics, pool, http, health);
    // Prunes at once, then every hour, on a connection of its own each round; stops with the server.
    std::optional<appserver::HistoryPruner> pruner;
    if (cl.historyDays > 0)
        pruner.emplace(cl.db, cl.historyDays);

    std::thread watcher([&] { watchSignals(stopSignals, cl.drainSeconds, http, health); });

    std::cout << "listening on " << http.address() << ':' << http.port() << std::endl;
    std::fflush(stdout);
    server::notifySystemd("READY=1\nSTATUS=Atendendo em " + http.address() + ':' + std::to_string(http.port()));
    http.run();

    // run() may also end without a signal; wake the watcher so it can be joined.
    pthread_kill(watcher.native_handle(), SIGUSR1);
    watcher.join();
    std::cerr << "fiscal-server: stopped" << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);

    server::CommandLine cl;
    try {
        cl = server::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                      server::Environment::fromProcess());
    } catch (const server::UsageError &e) {
        std::cerr << "fiscal-server: " << e.what() << "\n" << server::usageText();
        return 2;
    }
    if (cl.help) {
        std::cout << server::helpText();
        return 0;
    }
    if (cl.version) {
        std::cout << "fiscal-server " FISCAL_VERSION "\n";
        return 0;
    }

    // A tokens file that cannot be used is a wrong setting, like a wrong option.
    rpc::TokenTable tokens;
    if (cl.listen && !cl.tokensFile.empty()) {
        try {
            tokens = rpc::TokenTable::load(cl.tokensFile);
        } catch (const std::exception &e) {
            std::cerr << "fiscal-server: " << e.what() << std::endl;
            return 2;
        }
        if (tokens.empty()) {
            std::cerr << "fiscal-server: o arquivo de tokens " << cl.tokensFile << " não tem nenhum token" << std::endl;
            return 2;
        }
    }

    try {
        switch (cl.command) {
        case server::Command::Migrate:
            return migrate(cl);
        case server::Command::Backup:
            return backup(cl);
        case server::Command::Restore:
            return restore(cl);
        case server::Command::User:
            return server::runUserCommand(cl);
        case server::Command::Serve:
            break;
        }
        if (cl.init) {
            const int rc = initDatabase(cl);
            if (rc != 0 || !cl.listen)
                return rc;
        }
        return serve(cl, std::move(tokens));
    } catch (const std::exception &e) {
        std::cerr << "fiscal-server: " << e.what() << std::endl;
        return 1;
    }
}
