#include "testsupport.h"

#include "storage/demo.h"

#include <QCborMap>
#include <QJsonDocument>
#include <QUrl>
#include <QJsonObject>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fiscal::test {

namespace fs = std::filesystem;

namespace {

std::string envOr(const char *name, const std::string &fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string trim(std::string s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    return s.substr(i);
}

std::string makeTempDir(const std::string &parent = {})
{
    std::string pattern = ((parent.empty() ? fs::temp_directory_path() : fs::path(parent)) / "fiscal-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder: " + std::string(std::strerror(errno)));
    return pattern;
}

// ---- child processes ----

struct Child {
    pid_t pid = -1;
    int out = -1;   // child's stdout (read end)
    int err = -1;   // child's stderr (read end), or -1 when inherited
};

// dropFileOverride: as root, the child loses the capabilities that let root ignore file modes,
// so that a file the test made read-only is read-only for it too.
Child spawn(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
            bool captureErr, bool dropFileOverride = false)
{
    // Everything the child needs is built before fork: only async-signal-safe calls after it.
    std::vector<std::string> envStrings;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const auto eq = entry.find('=');
        if (eq != std::string::npos && env.count(entry.substr(0, eq)))
            continue;
        envStrings.push_back(entry);
    }
    for (const auto &[k, v] : env)
        envStrings.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings = args;
    std::vector<char *> argv;
    for (auto &s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int outPipe[2], errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || (captureErr && pipe2(errPipe, O_CLOEXEC) != 0))
        throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test that dies must not leave servers behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // Test binaries may block signals in threads; the server must start with a clean mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (dropFileOverride && geteuid() == 0)
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
                if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
                    _exit(126);
        dup2(outPipe[1], STDOUT_FILENO);
        if (captureErr)
            dup2(errPipe[1], STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (captureErr)
        close(errPipe[1]);
    return {pid, outPipe[0], captureErr ? errPipe[0] : -1};
}

int exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// ---- PostgreSQL names ----

std::string withDatabase(const std::string &clusterUrl, const std::string &db)
{
    // postgresql://user@host:port/name[?options]
    const auto scheme = clusterUrl.find("://");
    const auto slash = clusterUrl.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash == std::string::npos)
        return clusterUrl + "/" + db;
    const auto query = clusterUrl.find('?', slash);
    return clusterUrl.substr(0, slash + 1) + db
        + (query == std::string::npos ? std::string() : clusterUrl.substr(query));
}

std::unique_ptr<storage::Connection> adminConnection()
{
    const auto url = postgresClusterUrl();
    if (!url)
        throw std::runtime_error("PostgreSQL test cluster not running (no URL file at "
                                 + envOr("FISCAL_PG_URL_FILE", FISCAL_PG_URL_FILE) + ")");
    return storage::open(*url);
}

int g_dbCounter = 0;
std::mutex g_templateMutex;

// Demo databases are built once per test process and copied for each test.
class Templates {
public:
    ~Templates()
    {
        try {
            if (!m_sqliteDir.empty())
                fs::remove_all(m_sqliteDir);
            if (!m_pgName.empty())
                adminConnection()->exec("DROP DATABASE IF EXISTS " + m_pgName + " WITH (FORCE)");
        } catch (...) {
        }
    }

    std::string sqliteTemplate()
    {
        std::lock_guard lock(g_templateMutex);
        if (m_sqliteDir.empty()) {
            const std::string dir = makeTempDir();
            const std::string file = dir + "/template.sqlite";
            {
                auto c = storage::open(file);
                storage::createSchema(*c);
                storage::populateDemo(*c, storage::DemoSize::Small);
            }
            m_sqliteDir = dir;
        }
        return m_sqliteDir + "/template.sqlite";
    }

    std::string pgTemplate()
    {
        std::lock_guard lock(g_templateMutex);
        if (m_pgName.empty()) {
            const std::string name = "fiscal_tmpl_" + std::to_string(getpid());
            auto admin = adminConnection();
            admin->exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
            admin->exec("CREATE DATABASE " + name);
            {
                auto c = storage::open(withDatabase(*postgresClusterUrl(), name));
                storage::createSchema(*c);
                storage::populateDemo(*c, storage::DemoSize::Small);
            }
            m_pgName = name;
        }
        return m_pgName;
    }

private:
    std::string m_sqliteDir;
    std::string m_pgName;
};

Templates &templates()
{
    static Templates t;
    return t;
}

// ---- sockets ----

int connectLoopback(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    timeval tv{120, 0};   // a hung server fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    return fd;
}

void sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            throw std::runtime_error("send failed: " + std::string(std::strerror(errno)));
        }
        data += n;
        size -= size_t(n);
    }
}

// Reads until `buf` holds at least `need` bytes; false at EOF.
bool fill(int fd, std::string &buf, size_t need)
{
    char chunk[65536];
    while (buf.size() < need) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("receive failed: " + std::string(std::strerror(errno)));
        }
        buf.append(chunk, size_t(n));
    }
    return true;
}

std::string lower(std::string s)
{
    for (char &c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

// ---- backends ----

std::string backendName(Backend b)
{
    return b == Backend::Sqlite ? "sqlite" : "postgresql";
}

std::optional<std::string> postgresClusterUrl()
{
    std::ifstream in(envOr("FISCAL_PG_URL_FILE", FISCAL_PG_URL_FILE));
    std::string line;
    if (!in || !std::getline(in, line))
        return std::nullopt;
    line = trim(line);
    if (line.empty())
        return std::nullopt;
    return line;
}

std::vector<Backend> backendsUnderTest()
{
    const std::string wanted = envOr("FISCAL_TEST_BACKENDS", "");
    if (wanted.empty()) {
        std::vector<Backend> all{Backend::Sqlite};
        if (postgresClusterUrl())
            all.push_back(Backend::Postgres);
        return all;
    }
    std::vector<Backend> list;
    std::stringstream ss(wanted);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item = trim(item);
        if (item == "sqlite")
            list.push_back(Backend::Sqlite);
        else if (item == "postgresql" || item == "postgres")
            list.push_back(Backend::Postgres);
    }
    return list;
}

// ---- TestDb ----

TestDb::TestDb(Backend b, std::string url, std::string cleanup)
    : m_backend(b), m_url(std::move(url)), m_cleanup(std::move(cleanup))
{
}

std::unique_ptr<TestDb> TestDb::create(Backend backend, Demo demo, const std::string &folder)
{
    if (backend == Backend::Sqlite) {
        const std::string dir = makeTempDir(folder);
        const std::string file = dir + "/fiscal.sqlite";
        if (demo == Demo::Small) {
            fs::copy_file(templates().sqliteTemplate(), file);
        } else {
            auto c = storage::open(file);
            storage::createSchema(*c);
        }
        return std::unique_ptr<TestDb>(new TestDb(backend, file, dir));
    }
    std::string name;
    {
        std::lock_guard lock(g_templateMutex);
        name = "fiscal_t_" + std::to_string(getpid()) + "_" + std::to_string(++g_dbCounter);
    }
    const std::string tmpl = demo == Demo::Small ? templates().pgTemplate() : std::string();
    auto admin = adminConnection();
    admin->exec("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)");
    admin->exec("CREATE DATABASE " + name + (tmpl.empty() ? std::string() : " TEMPLATE " + tmpl));
    const std::string url = withDatabase(*postgresClusterUrl(), name);
    if (demo == Demo::None) {
        auto c = storage::open(url);
        storage::createSchema(*c);
    }
    return std::unique_ptr<TestDb>(new TestDb(backend, url, name));
}

TestDb::~TestDb()
{
    m_conn.reset();
    try {
        if (m_backend == Backend::Sqlite)
            fs::remove_all(m_cleanup);
        else
            adminConnection()->exec("DROP DATABASE IF EXISTS " + m_cleanup + " WITH (FORCE)");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "TestDb cleanup failed: %s\n", e.what());
    }
}

std::unique_ptr<storage::Connection> TestDb::connect() const
{
    return storage::open(m_url);
}

storage::Connection &TestDb::connection() const
{
    // A session the database ended (a restart under a test) is replaced.
    if (!m_conn || m_conn->lostWhileIdle())
        m_conn = connect();
    return *m_conn;
}

std::vector<TestDb::Row> TestDb::query(const std::string &sql, const Row &params) const
{
    auto stmt = connection().prepare(sql);
    for (size_t i = 0; i < params.size(); ++i)
        stmt->bind(int(i) + 1, params[i] ? std::optional<std::string_view>(*params[i]) : std::nullopt);
    std::vector<Row> rows;
    while (stmt->step()) {
        Row r;
        for (int c = 0; c < stmt->columnCount(); ++c)
            r.push_back(stmt->isNull(c) ? std::nullopt : std::optional<std::string>(std::string(stmt->text(c))));
        rows.push_back(std::move(r));
    }
    return rows;
}

std::optional<std::string> TestDb::scalar(const std::string &sql, const Row &params) const
{
    const auto rows = query(sql, params);
    if (rows.empty() || rows.front().empty())
        return std::nullopt;
    return rows.front().front();
}

std::int64_t TestDb::count(const std::string &sql, const Row &params) const
{
    const auto v = scalar(sql, params);
    return v ? std::stoll(*v) : 0;
}

void TestDb::exec(const std::string &sql, const Row &params) const
{
    auto stmt = connection().prepare(sql);
    for (size_t i = 0; i < params.size(); ++i)
        stmt->bind(int(i) + 1, params[i] ? std::optional<std::string_view>(*params[i]) : std::nullopt);
    stmt->execute();
}

// ---- ServerProcess ----

std::string serverExecutable()
{
    return envOr("FISCAL_SERVER_EXE", FISCAL_SERVER_EXE);
}

ServerProcess::ServerProcess(const std::string &dbUrl, ServerOptions options)
{
    std::vector<std::string> args{serverExecutable(), "--db", dbUrl, "--listen",
                                  "127.0.0.1:" + std::to_string(options.port)};
    if (!options.token.empty()) {
        args.push_back("--token");
        args.push_back(options.token);
    }
    if (!options.auth.empty()) {
        args.push_back("--auth");
        args.push_back(options.auth);
    }
    if (options.workers > 0) {
        args.push_back("--workers");
        args.push_back(std::to_string(options.workers));
    }
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    const Child child = spawn(args, options.env, options.captureStderr, options.honourFileModes);
    m_pid = child.pid;
    m_stdout = child.out;
    m_stderr = child.err;

    // Read stdout line by line until the port is announced.
    const std::string marker = "listening on 127.0.0.1:";
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (true) {
        const auto pos = seen.find(marker);
        if (pos != std::string::npos) {
            const auto eol = seen.find('\n', pos);
            if (eol != std::string::npos) {
                m_port = std::uint16_t(std::stoi(seen.substr(pos + marker.size(), eol - pos - marker.size())));
                m_output = seen;
                break;
            }
        }
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now()).count());
        pollfd p{m_stdout, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            kill();
            close(m_stdout);
            if (m_stderr >= 0)
                close(m_stderr);
            throw std::runtime_error("fiscal-server printed no port; output: " + seen);
        }
        char buf[4096];
        const ssize_t n = read(m_stdout, buf, sizeof buf);
        if (n <= 0) {
            const int code = waitExit(10000);
            close(m_stdout);
            if (m_stderr >= 0)
                close(m_stderr);
            throw std::runtime_error("fiscal-server exited (" + std::to_string(code)
                                     + ") before listening; output: " + seen);
        }
        seen.append(buf, size_t(n));
    }
    // Keep draining the pipes so the server never blocks on a full one.
    const auto drainInto = [this](int fd, std::string &text) {
        return std::thread([this, fd, &text] {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard lock(m_mutex);
                text.append(buf, size_t(n));
            }
        });
    };
    m_drain = drainInto(m_stdout, m_output);
    if (m_stderr >= 0)
        m_drainErr = drainInto(m_stderr, m_errors);
}

std::string ServerProcess::errors() const
{
    std::lock_guard lock(m_mutex);
    return m_errors;
}

ServerProcess::~ServerProcess()
{
    if (running())
        kill();
    if (m_drain.joinable())
        m_drain.join();
    if (m_drainErr.joinable())
        m_drainErr.join();
    if (m_stdout >= 0)
        close(m_stdout);
    if (m_stderr >= 0)
        close(m_stderr);
}

bool ServerProcess::running()
{
    if (m_exit != -2 || m_pid <= 0)
        return false;
    int status = 0;
    const pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_exit = exitCodeOf(status);
        return false;
    }
    return r == 0;
}

int ServerProcess::waitExit(int timeoutMs)
{
    if (m_exit != -2)
        return m_exit;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        int status = 0;
        const pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_exit = exitCodeOf(status);
            return m_exit;
        }
        if (r < 0) {
            m_exit = -1;
            return m_exit;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ServerProcess::stop(int timeoutMs)
{
    if (!running())
        return m_exit;
    ::kill(m_pid, SIGTERM);
    const int code = waitExit(timeoutMs);
    if (code == -2) {
        kill();
        return -1;
    }
    if (m_drain.joinable())
        m_drain.join();
    return code;
}

int ServerProcess::kill()
{
    if (running()) {
        ::kill(m_pid, SIGKILL);
        waitExit(60000);
    }
    if (m_drain.joinable())
        m_drain.join();
    return m_exit;
}

std::string ServerProcess::output() const
{
    std::lock_guard lock(m_mutex);
    return m_output;
}

// ---- HTTP and JSON-RPC ----

bool healthBecomes(std::uint16_t port, int status)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
        if (httpGet(port, "/health").status == status)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

HttpResponse httpPost(std::uint16_t port, const std::string &path, const QByteArray &body,
                      const std::string &contentType,
                      const std::vector<std::pair<std::string, std::string>> &headers,
                      const std::string &httpMethod)
{
    const int fd = connectLoopback(port);
    struct Closer { int fd; ~Closer() { close(fd); } } closer{fd};

    std::string req = httpMethod + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!contentType.empty())
        req += "Content-Type: " + contentType + "\r\n";
    req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    for (const auto &[k, v] : headers)
        req += k + ": " + v + "\r\n";
    req += "\r\n";
    sendAll(fd, req.data(), req.size());
    sendAll(fd, body.constData(), size_t(body.size()));

    std::string buf;
    size_t headerEnd;
    while ((headerEnd = buf.find("\r\n\r\n")) == std::string::npos) {
        if (!fill(fd, buf, buf.size() + 1))
            throw std::runtime_error("connection closed before the response headers");
    }
    HttpResponse r;
    std::stringstream head(buf.substr(0, headerEnd));
    std::string line;
    std::getline(head, line);
    {
        std::stringstream status(line);
        std::string version;
        status >> version >> r.status;
    }
    while (std::getline(head, line)) {
        line = trim(line);
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            r.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
    }
    r.contentType = r.headers.count("content-type") ? r.headers["content-type"] : std::string();
    std::string rest = buf.substr(headerEnd + 4);
    if (r.headers.count("content-length")) {
        const size_t len = std::stoul(r.headers["content-length"]);
        if (!fill(fd, rest, len))
            throw std::runtime_error("connection closed in the middle of the body");
        r.body = QByteArray(rest.data(), qsizetype(len));
    } else if (lower(r.headers["transfer-encoding"]).find("chunked") != std::string::npos) {
        std::string out;
        size_t pos = 0;
        while (true) {
            size_t eol;
            while ((eol = rest.find("\r\n", pos)) == std::string::npos)
                if (!fill(fd, rest, rest.size() + 1))
                    throw std::runtime_error("connection closed in a chunk header");
            const size_t size = std::stoul(rest.substr(pos, eol - pos), nullptr, 16);
            pos = eol + 2;
            if (size == 0)
                break;
            if (!fill(fd, rest, pos + size + 2))
                throw std::runtime_error("connection closed in a chunk");
            out.append(rest, pos, size);
            pos += size + 2;
        }
        r.body = QByteArray(out.data(), qsizetype(out.size()));
    } else {
        while (fill(fd, rest, rest.size() + 1)) {
        }
        r.body = QByteArray(rest.data(), qsizetype(rest.size()));
    }
    return r;
}

RpcResult decodeReply(const HttpResponse &r)
{
    RpcResult res;
    res.httpStatus = r.status;
    QCborValue reply;
    if (lower(r.contentType).find("cbor") != std::string::npos) {
        QCborParserError err;
        reply = QCborValue::fromCbor(r.body, &err);
        if (err.error != QCborError::NoError)
            throw std::runtime_error("reply is not valid CBOR: " + err.errorString().toStdString());
    } else {
        QJsonParseError err;
        const QJsonDocument doc = QJsonDocument::fromJson(r.body, &err);
        if (err.error != QJsonParseError::NoError || !doc.isObject())
            throw std::runtime_error("reply is not a JSON object: " + r.body.left(200).toStdString());
        reply = QCborValue::fromJsonValue(doc.object());
    }
    if (!reply.isMap())
        throw std::runtime_error("reply is not an object");
    const QCborMap m = reply.toMap();
    if (m.value(QStringLiteral("jsonrpc")).toString() != QStringLiteral("2.0"))
        throw std::runtime_error("reply without jsonrpc 2.0");
    res.id = m.value(QStringLiteral("id"));
    if (m.contains(QStringLiteral("error"))) {
        const QCborMap e = m.value(QStringLiteral("error")).toMap();
        res.errorCode = int(e.value(QStringLiteral("code")).toInteger());
        res.errorMessage = e.value(QStringLiteral("message")).toString();
        res.errorData = e.value(QStringLiteral("data"));
        if (res.errorCode == 0)
            throw std::runtime_error("error reply with code 0");
    } else if (m.contains(QStringLiteral("result"))) {
        res.result = m.value(QStringLiteral("result"));
    } else {
        throw std::runtime_error("reply with neither result nor error");
    }
    return res;
}

namespace {

RpcResult call(std::uint16_t port, const std::string &object, const std::string &method, const QCborArray &params,
               Encoding enc, std::vector<std::pair<std::string, std::string>> headers)
{
    QCborMap req;
    req.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));
    req.insert(QStringLiteral("method"), QString::fromStdString(method));
    req.insert(QStringLiteral("params"), params);
    req.insert(QStringLiteral("id"), 1);
    QByteArray body;
    std::string type;
    if (enc == Encoding::Cbor) {
        body = QCborValue(req).toCbor();
        type = "application/cbor";
    } else {
        body = QJsonDocument(req.toJsonObject()).toJson(QJsonDocument::Compact);
        type = "application/json";
    }
    return decodeReply(httpPost(port, "/rpc/" + object, body, type, headers));
}

std::vector<std::pair<std::string, std::string>> bearer(const std::string &token)
{
    if (token.empty())
        return {};
    return {{"Authorization", "Bearer " + token}};
}

} // namespace

std::string recordedAs(const std::string &user)
{
    return user + " (não autenticado)";
}

RpcResult rpcCall(std::uint16_t port, const std::string &object, const std::string &method,
                  const QCborArray &params, Encoding enc, const std::string &token)
{
    return call(port, object, method, params, enc, bearer(token));
}

RpcResult rpcCallAs(const std::string &user, std::uint16_t port, const std::string &object,
                    const std::string &method, const QCborArray &params, const std::string &token)
{
    auto headers = bearer(token);
    headers.emplace_back("X-Fiscal-User",
                         QUrl::toPercentEncoding(QString::fromStdString(user)).toStdString());
    return call(port, object, method, params, Encoding::Cbor, headers);
}

// ---- packets ----

Packet Packet::from(const QCborValue &v)
{
    const auto bad = [](const std::string &why) { throw std::runtime_error("bad data packet: " + why); };
    if (!v.isMap())
        bad("not an object");
    const QCborMap m = v.toMap();
    if (!m.value(QStringLiteral("fields")).isArray() || !m.value(QStringLiteral("rows")).isArray())
        bad("fields or rows missing");
    Packet p;
    for (const QCborValue &f : m.value(QStringLiteral("fields")).toArray()) {
        const QCborMap fm = f.toMap();
        if (!fm.value(QStringLiteral("name")).isString() || !fm.value(QStringLiteral("size")).isInteger())
            bad("field without name or size");
        if (fm.value(QStringLiteral("type")).toString() != QStringLiteral("string"))
            bad("field of a type other than string");
        p.fields.push_back({fm.value(QStringLiteral("name")).toString(),
                            int(fm.value(QStringLiteral("size")).toInteger())});
    }
    for (const QCborValue &r : m.value(QStringLiteral("rows")).toArray()) {
        if (!r.isArray())
            bad("row is not an array");
        const QCborArray a = r.toArray();
        if (a.size() != p.fields.size())
            bad("row width " + std::to_string(a.size()) + " for " + std::to_string(p.fields.size()) + " fields");
        QList<std::optional<QString>> row;
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (a.at(i).isNull()) {
                row.push_back(std::nullopt);
            } else if (a.at(i).isString()) {
                const QString s = a.at(i).toString();
                if (p.fields[i].size > 0 && s.toUcs4().size() > p.fields[i].size)   // 0: no limit
                    bad("value '" + s.toStdString() + "' longer than field " + p.fields[i].name.toStdString());
                row.push_back(s);
            } else {
                bad("value neither string nor null");
            }
        }
        p.rows.push_back(row);
    }
    return p;
}

int Packet::column(const QString &name) const
{
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].name == name)
            return i;
    return -1;
}

QStringList Packet::names() const
{
    QStringList n;
    for (const Field &f : fields)
        n << f.name;
    return n;
}

QStringList Packet::columnValues(const QString &name) const
{
    const int c = column(name);
    QStringList out;
    if (c < 0)
        return out;
    for (const auto &r : rows)
        out << (r[c] ? *r[c] : QStringLiteral("<null>"));
    return out;
}

// ---- running to completion ----

ExitResult runServer(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                     int timeoutMs)
{
    std::vector<std::string> full{serverExecutable()};
    full.insert(full.end(), args.begin(), args.end());
    const Child child = spawn(full, env, true);
    ExitResult r;
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    int open = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    while (open > 0) {
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0 || poll(fds, 2, left) <= 0) {
            timedOut = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                (i == 0 ? r.out : r.err).append(buf, size_t(n));
            }
        }
    }
    if (timedOut)
        ::kill(child.pid, SIGKILL);
    for (auto &f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    waitpid(child.pid, &status, 0);
    r.code = timedOut ? -1 : exitCodeOf(status);
    return r;
}

std::map<std::string, double> prometheusSamples(const std::string &text)
{
    char path[] = "/tmp/fiscal-metrics-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    std::string out;
    int status = -1;
    if (written) {
        const std::string command = std::string("/usr/bin/python3 '") + FISCAL_PROMETHEUS_READ + "' '" + path + "' 2>&1";
        if (FILE *p = popen(command.c_str(), "r")) {
            char buf[4096];
            std::size_t n;
            while ((n = fread(buf, 1, sizeof buf, p)) > 0)
                out.append(buf, n);
            status = pclose(p);
        }
    }
    unlink(path);
    if (status != 0)
        throw std::runtime_error("the metrics do not parse: " + out);
    std::map<std::string, double> samples;
    std::size_t pos = 0;
    while (pos < out.size()) {
        const std::size_t eol = out.find('\n', pos);
        const std::string line = out.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? out.size() : eol + 1;
        const auto bar1 = line.find('|');
        const auto bar2 = line.rfind('|');
        if (bar1 == std::string::npos || bar1 == bar2)
            continue;
        const std::string labels = line.substr(bar1 + 1, bar2 - bar1 - 1);
        const std::string key = line.substr(0, bar1) + (labels.empty() ? "" : "{" + labels + "}");
        samples[key] = std::stod(line.substr(bar2 + 1));
    }
    return samples;
}

} // namespace fiscal::test
