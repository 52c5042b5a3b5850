#pragma once
// The command line of fiscal-server:
//   fiscal-server --db DB --init [--demo small|large]
//   fiscal-server --db DB --listen ADDRESS:PORT [--token T] [--tokens FILE] [--history-days N]
//                 [--workers N] [--pool N] [--drain S] [--read-limit S] [--save-limit S]
//                 [--bulk-limit S] [--lock-wait S] [--heavy-per-batch N] [--trusted-proxy ADDRESS,...]
//   fiscal-server migrate [--db DB] [--runtime-role ROLE]
//   fiscal-server backup --db DB FILE
//   fiscal-server restore --db DB FILE
//   fiscal-server --db DB user add LOGIN --role ROLE [--name NAME] | passwd LOGIN | role LOGIN ROLE
//                 | disable LOGIN | enable LOGIN | list
// Both --init and --listen may be given: the database is prepared, then served.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fiscal::server {

enum class Command {
    Serve,     // --init and/or --listen
    Migrate,   // the schema brought to this program's version, by its owner
    Backup,    // a copy of a SQLite database into FILE
    Restore,   // FILE put back into a SQLite database
    User,      // the users of the database: add, passwd, role, disable, enable, list
};

enum class AuthMode { Users, Pam, None };

struct CommandLine {
    Command command = Command::Serve;
    std::string db;
    std::string runtimeRole;             // migrate: --runtime-role, else FISCAL_RUNTIME_ROLE
    std::string file;                    // backup, restore: the copy
    bool init = false;
    std::optional<std::string> demo;     // "small" or "large"
    bool listen = false;
    std::string address;
    std::uint16_t port = 0;
    std::string token;                   // --token, else FISCAL_SERVER_TOKEN
    std::string tokensFile;              // --tokens, else FISCAL_SERVER_TOKENS
    int historyDays = 0;                 // --history-days, else FISCAL_HISTORY_DAYS; 0 keeps all
    int workers = 4;
    int pool = 0;                        // database connections; 0: as many as workers
    int drainSeconds = 0;                // after SIGTERM: /health 503 this long before stopping
    int readLimitSeconds = 120;          // a read's deadline
    int saveLimitSeconds = 30;           // a one-row save's
    int bulkLimitSeconds = 900;          // a bulk call's (and its preview's)
    int lockWaitSeconds = 5;             // a save waiting for a row another operation holds
    int heavyPerBatch = 4;               // heavy calls in one batch
    std::vector<std::string> trustedProxies;   // --trusted-proxy, else FISCAL_TRUSTED_PROXY
    AuthMode auth = AuthMode::Users;     // --auth, else FISCAL_AUTH
    std::string pamService = "fiscal-server";
    int sessionHours = 8;                // --session-hours, else FISCAL_SESSION_HOURS
    // user: the action, its login, and for add/role the role and name.
    std::string userAction;
    std::string userLogin;
    std::string userRole;
    std::string userName;
    bool help = false;
    bool version = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The shortest token a server accepts: anything shorter can be guessed.
constexpr std::size_t kMinTokenLength = 32;

// A hundred years: beyond that a number of days is a slip.
constexpr int kMaxHistoryDays = 36500;

// Settings an option may also take from the environment (the service's environment file);
// the option wins.
struct Environment {
    const char *token = nullptr;         // FISCAL_SERVER_TOKEN
    const char *pool = nullptr;          // FISCAL_POOL
    const char *drain = nullptr;         // FISCAL_DRAIN
    const char *tokensFile = nullptr;    // FISCAL_SERVER_TOKENS
    const char *historyDays = nullptr;   // FISCAL_HISTORY_DAYS
    const char *db = nullptr;            // FISCAL_DB, for migrate
    const char *migrateDb = nullptr;     // FISCAL_MIGRATE_DB, for migrate, before FISCAL_DB
    const char *runtimeRole = nullptr;   // FISCAL_RUNTIME_ROLE
    const char *trustedProxy = nullptr;  // FISCAL_TRUSTED_PROXY
    const char *auth = nullptr;          // FISCAL_AUTH
    const char *sessionHours = nullptr;  // FISCAL_SESSION_HOURS
    static Environment fromProcess();
};

// Throws UsageError with a one-line message, in Portuguese, naming the offending option.
CommandLine parseCommandLine(const std::vector<std::string> &args, const Environment &env = {});

// The short synopsis printed after a command-line error, and the whole --help text.
const char *usageText();
const char *helpText();

// storage::open's rule: these prefixes open PostgreSQL, anything else is a SQLite file.
bool isPostgresUrl(const std::string &db);

// Whether an --listen address is the machine's own (127.0.0.0/8, ::1, localhost).
bool isLoopback(const std::string &address);

} // namespace fiscal::server
