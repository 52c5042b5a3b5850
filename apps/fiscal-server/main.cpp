// fiscal-server: the application server of the fiscal-group parameters.
// Exit codes: 0 done (or stopped by SIGTERM/SIGINT), 1 the database or the address could
// not be used, 2 a bad command line.

#include "commandline.h"

#include "appserver/server.h"
#include "rpc/dispatcher.h"
#include "rpc/httpserver.h"
#include "storage/database.h"
#include "storage/demo.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <pthread.h>
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

int initDatabase(const server::CommandLine &cl)
{
    auto conn = storage::open(cl.db);
    storage::createSchema(*conn);
    std::cout << "schema ready in " << cl.db << std::endl;
    if (!cl.demo)
        return 0;
    // Demo data goes only into an empty database: a second --demo must neither duplicate
    // rows nor mix the small and the large set.
    for (const char *table : {"GRUPOFISCAL", "FORNECEDOR", "CLIENTE", "FILIAL", "IMPOSTO"}) {
        if (count(*conn, table) > 0) {
            std::cout << "the database already holds data (" << table << "); demo data not added"
                      << std::endl;
            return 0;
        }
    }
    storage::populateDemo(*conn, *cl.demo == "large" ? storage::DemoSize::Large : storage::DemoSize::Small);
    std::cout << *cl.demo << " demo data added" << std::endl;
    return 0;
}

// Fails early, with a clear message, when the database cannot serve the calls.
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
}

int serve(const server::CommandLine &cl)
{
    checkDatabase(cl);

    // Blocked before any thread starts, so that every thread inherits the mask and only the
    // watcher below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    rpc::Dispatcher dispatcher;
    appserver::ConnectionPool pool(cl.db);
    appserver::registerAll(dispatcher, pool);

    rpc::ServerOptions options;
    options.address = cl.address;
    options.port = cl.port;
    options.token = cl.token;
    options.workers = cl.workers;
    rpc::HttpServer http(dispatcher, options);

    // Signals are blocked in every thread; this one waits for them and asks the server to
    // stop, which lets the calls under way finish.
    std::thread watcher([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        http.requestStop();
    });

    std::cout << "listening on " << http.address() << ':' << http.port() << std::endl;
    std::fflush(stdout);
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
                                      std::getenv("FISCAL_SERVER_TOKEN"));
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

    try {
        if (cl.init) {
            const int rc = initDatabase(cl);
            if (rc != 0 || !cl.listen)
                return rc;
        }
        return serve(cl);
    } catch (const std::exception &e) {
        std::cerr << "fiscal-server: " << e.what() << std::endl;
        return 1;
    }
}
