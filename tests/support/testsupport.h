#pragma once
// Test harness for everything that talks to a real fiscal-server.
//
//   Backend / backendsUnderTest() / backendName()   which databases a suite runs on:
//       SQLite always; PostgreSQL when the cluster URL file exists. FISCAL_TEST_BACKENDS
//       ("sqlite", "postgresql" or both, comma separated) narrows it; a backend asked for
//       by that variable but unavailable makes TestDb::create fail loudly.
//   TestDb::create(backend [, demo])   a fresh database with the schema and the demo data;
//       a SQLite file in a temporary folder or a PostgreSQL database with a unique name on
//       the test cluster. Removed / dropped by the destructor.
//   ServerProcess(dbUrl [, options])   starts FISCAL_SERVER_EXE --db URL --listen
//       127.0.0.1:0, reads the port it prints; stop() = SIGTERM and wait, kill() = SIGKILL.
//   rpcCall(port, object, method, params [, encoding, token])   one JSON-RPC call over
//       real HTTP; the decoded result, or the error {code, message, data}.
//   httpPost(...)   the raw HTTP exchange, for status codes and malformed bodies.
//   Packet::from(value)   a data packet decoded strictly, for assertions.
//   runServer(args)   runs fiscal-server to completion (for --init and bad command lines).

#include "storage/database.h"

#include <QByteArray>
#include <QCborArray>
#include <QCborValue>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace fiscal::test {

// ---- backends and databases -------------------------------------------------------------

enum class Backend { Sqlite, Postgres };

std::vector<Backend> backendsUnderTest();
std::string backendName(Backend b);   // "sqlite" / "postgresql"
// For INSTANTIATE_TEST_SUITE_P(..., ValuesIn(backendsUnderTest()), BackendParamName()).
struct BackendParamName {
    std::string operator()(const ::testing::TestParamInfo<Backend> &info) const
    {
        return backendName(info.param);
    }
};

// The test cluster's URL (from the file FISCAL_PG_URL_FILE), when it is running.
std::optional<std::string> postgresClusterUrl();

enum class Demo { None, Small };

class TestDb {
public:
    // Throws std::runtime_error when the backend is not available. A SQLite database goes
    // into a new folder inside `folder` when one is given (else in the temporary folder).
    static std::unique_ptr<TestDb> create(Backend backend, Demo demo = Demo::Small,
                                          const std::string &folder = {});
    ~TestDb();
    TestDb(const TestDb &) = delete;
    TestDb &operator=(const TestDb &) = delete;

    Backend backend() const { return m_backend; }
    const std::string &url() const { return m_url; }   // for --db and storage::open
    std::unique_ptr<storage::Connection> connect() const;

    // Direct SQL for checking what the server did ($1.. parameters; NULL = nullopt).
    using Row = std::vector<std::optional<std::string>>;
    std::vector<Row> query(const std::string &sql, const Row &params = {}) const;
    std::optional<std::string> scalar(const std::string &sql, const Row &params = {}) const;
    std::int64_t count(const std::string &sql, const Row &params = {}) const;
    void exec(const std::string &sql, const Row &params = {}) const;

private:
    TestDb(Backend b, std::string url, std::string cleanup);
    storage::Connection &connection() const;
    Backend m_backend;
    std::string m_url;
    std::string m_cleanup;   // SQLite: the folder; PostgreSQL: the database name
    mutable std::unique_ptr<storage::Connection> m_conn;
};

// ---- the server process -----------------------------------------------------------------

struct ServerOptions {
    std::string token;                       // --token
    int workers = 0;                         // --workers when > 0
    std::vector<std::string> extraArgs;
    std::map<std::string, std::string> env;  // added to the environment (e.g. FISCAL_SERVER_TOKEN)
    bool captureStderr = false;              // keep standard error for errors() instead of passing it on
    std::uint16_t port = 0;                  // --listen 127.0.0.1:PORT; 0 picks a free port
    bool honourFileModes = false;            // as root: without the capabilities that ignore file modes
    // --auth; tests that are not about signing in run without it (the names they declare are
    // recorded with "(não autenticado)", see recordedAs).
    std::string auth = "nenhuma";
};

class ServerProcess {
public:
    // Starts the server and waits until it prints its port; throws std::runtime_error with
    // the server's output when it exits or stays silent instead.
    explicit ServerProcess(const std::string &dbUrl, ServerOptions options = {});
    ~ServerProcess();   // kill() when still running
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    std::uint16_t port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    bool running();

    // SIGTERM, then wait for the exit. Returns the exit code, or 128 + signal; -1 when it had
    // to be killed after timeoutMs.
    int stop(int timeoutMs = 30000);
    // SIGKILL and wait; returns 128 + 9.
    int kill();
    // Waits, without a signal, for the exit; its code as stop() returns it, -2 if still running.
    int waitForExit(int timeoutMs) { return waitExit(timeoutMs); }
    // What the server wrote on stdout (stderr goes to the test's own stderr).
    std::string output() const;
    // What it wrote on stderr so far, with captureStderr.
    std::string errors() const;

private:
    int waitExit(int timeoutMs);
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
    int m_stdout = -1;
    int m_stderr = -1;
    int m_exit = -2;
    std::thread m_drain;
    std::thread m_drainErr;
    mutable std::mutex m_mutex;
    std::string m_output;
    std::string m_errors;
};

// ---- calls ------------------------------------------------------------------------------

enum class Encoding { Cbor, Json };

struct HttpResponse {
    int status = 0;
    std::string contentType;
    QByteArray body;
    std::map<std::string, std::string> headers;   // lower-case names
};

// One request on a fresh connection. Throws std::runtime_error on a transport failure.
HttpResponse httpPost(std::uint16_t port, const std::string &path, const QByteArray &body,
                      const std::string &contentType,
                      const std::vector<std::pair<std::string, std::string>> &headers = {},
                      const std::string &httpMethod = "POST");
inline HttpResponse httpGet(std::uint16_t port, const std::string &path)
{
    return httpPost(port, path, {}, {}, {}, "GET");
}
// Polls GET /health until it answers `status` (the server asks its database every second).
bool healthBecomes(std::uint16_t port, int status);

struct RpcResult {
    int httpStatus = 0;
    QCborValue result;            // valid when ok()
    int errorCode = 0;            // 0 when ok()
    QString errorMessage;
    QCborValue errorData;
    QCborValue id;
    bool ok() const { return errorCode == 0; }
};

RpcResult rpcCall(std::uint16_t port, const std::string &object, const std::string &method,
                  const QCborArray &params = {}, Encoding enc = Encoding::Cbor,
                  const std::string &token = {});
// The same naming its user in X-Fiscal-User (percent-encoded here).
RpcResult rpcCallAs(const std::string &user, std::uint16_t port, const std::string &object,
                    const std::string &method, const QCborArray &params = {}, const std::string &token = {});
// What the history records for a client that declares `user` to a server run with
// --auth nenhuma.
std::string recordedAs(const std::string &user);
// The response body of any request decoded as a JSON-RPC reply.
RpcResult decodeReply(const HttpResponse &r);

inline const std::string kParamGrupFiscal = "Ger10200.rdmParamGrupFiscal";
inline const std::string kCadAutParGrpFis = "Ger10201.rdmCadAutParGrpFis";

// A Prometheus text exposition read back by the Prometheus project's own parser: sample
// "name{label=value,...}" (labels sorted, no quotes; "name" alone without labels) to value.
// Throws std::runtime_error when the text does not parse.
std::map<std::string, double> prometheusSamples(const std::string &text);

// ---- data packets -----------------------------------------------------------------------

struct Packet {
    struct Field {
        QString name;
        int size = 0;
        bool operator==(const Field &o) const { return name == o.name && size == o.size; }
    };
    QList<Field> fields;
    QList<QList<std::optional<QString>>> rows;

    // Throws std::runtime_error unless `v` is a well-formed packet (every row as wide as
    // the fields, values strings or null, no value longer than its field; size 0 has no limit).
    static Packet from(const QCborValue &v);
    int column(const QString &name) const;   // -1 when absent
    QStringList names() const;
    // The values of one column, null as "<null>".
    QStringList columnValues(const QString &name) const;
};

// ---- running fiscal-server to completion ------------------------------------------------

struct ExitResult {
    int code = -1;   // exit code, or 128 + signal
    std::string out;
    std::string err;
};
ExitResult runServer(const std::vector<std::string> &args,
                     const std::map<std::string, std::string> &env = {}, int timeoutMs = 300000);

std::string serverExecutable();   // FISCAL_SERVER_EXE (env overrides the build's path)

} // namespace fiscal::test
