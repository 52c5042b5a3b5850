// Users, sessions and roles over real HTTP: every method of every remote object put to each
// role; what a refused call leaves (nothing); who the history records; sessions ended,
// unknown and missing; failed sign-ins.

#include "historysupport.h"

#include "appserver/access/accounts.h"
#include "appserver/access/passwords.h"
#include "appserver/objects/objects.h"
#include "protocol/objects.h"

#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <filesystem>
#include <future>
#include <fstream>
#include <functional>
#include <unistd.h>
#include <set>
#include <thread>

using namespace fiscal;
using namespace fiscal::test;
using namespace fiscal::test::writes;
using namespace fiscal::test::history;

namespace {

const std::string kSessao = "Ger10206.rdmSessao";
const std::string kRelatorios = "Ger10205.rdmRelatorios";

void addUser(const TestDb &db, const std::string &login, appserver::access::Role role, const std::string &password)
{
    auto c = db.connect();
    appserver::access::User u;
    u.login = login;
    u.name = login;
    u.role = role;
    u.passwordHash = appserver::access::hashPassword(password);
    appserver::access::createUser(*c, u);
}

struct Env {
    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;
    explicit Env(Backend b, int workers = 0)
    {
        db = TestDb::create(b);
        seed(*db);
        using appserver::access::Role;
        addUser(*db, "consulta", Role::Consulta, "consulta-senha");
        addUser(*db, "operador", Role::Operador, "operador-senha");
        addUser(*db, "outro", Role::Operador, "outro-senha-1");
        addUser(*db, "administrador", Role::Administrador, "administrador-senha");
        ServerOptions o;
        o.auth = "usuarios";
        o.workers = workers;
        server = std::make_unique<ServerProcess>(db->url(), o);
    }
    RpcResult signIn(const std::string &user, const std::string &password) const
    {
        return rpcCall(server->port(), kSessao, "Entrar", {QString::fromStdString(user), QString::fromStdString(password)});
    }
    std::string token(const std::string &user) const
    {
        const RpcResult r = signIn(user, user + (user == "outro" ? "-senha-1" : "-senha"));
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        return r.ok() ? Packet::from(r.result).rows.at(0).at(0)->toStdString() : std::string();
    }
    RpcResult as(const std::string &token, const std::string &object, const std::string &method,
                 const QCborArray &args = {}) const
    {
        return rpcCall(server->port(), object, method, args, Encoding::Cbor, token);
    }
};

// What each role may call: the writes and the users' methods by name, everything else a read.
const std::set<std::string> kWrites{"SetFornecedor", "SetCliente", "SetFilial", "SetTipoOperac", "SetTipoFatur",
                                    "setTipoGest", "SetImpFili", "SetFornInsc", "SetCliInsc", "SetOperInter",
                                    "SetUpdateTipoFatur", "CadastroAutomatico", "CadAutoImpInscEsta", "Replica",
                                    "ImportaGrupos", "DesfazOperacao"};
const std::set<std::string> kManage{"GetUsuarios", "SetUsuario", "RedefineSenha"};

bool allowed(const std::string &role, const std::string &method)
{
    if (kManage.count(method))
        return role == "administrador";
    if (kWrites.count(method))
        return role != "consulta";
    return true;
}

// Arguments that would change something, so that a refusal that let the call through shows.
QCborArray argumentsOf(const std::string &method)
{
    const std::map<std::string, QCborArray> args{
        {"SetCliente", {ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}},
                                                              {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "902"}}).build()}},
        {"SetFornecedor", {ChangeSetBuilder("SetFornecedor").update({{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "901"}},
                                                                    {{"CDFORNECED", "WF1"}, {"CDGRUPOFISC", "902"}}).build()}},
        {"CadastroAutomatico", strings({"FORNECEDOR", "903", "", "T", "", "", ""})},
        {"CadAutoImpInscEsta", strings({"91", "", "T", "", "L", "'WC1','WC2'", "T", "", "903", "T"})},
        {"Replica", QCborArray{"01", "01", "362143930808", "T", "01", "'1358506423827'", true, false}},
        {"SetUpdateTipoFatur", strings({"903", "W01"})},
        {"SetUsuario", QCborArray{"novo", "Novo", "operador", true}},
        {"RedefineSenha", strings({"outro"})},
    };
    const auto it = args.find(method);
    return it == args.end() ? QCborArray{} : it->second;
}

class Roles : public ::testing::TestWithParam<Backend> {};

// fiscal-server --db DB user ...: as an operator runs it, the password on standard input,
// typed `typingSeconds` after the command started.
int userCommand(const TestDb &db, const std::string &args, const std::string &input, std::string *out = nullptr,
                int typingSeconds = 0)
{
    const std::string file = std::filesystem::temp_directory_path() / ("fiscal-user-" + std::to_string(::getpid()));
    const std::string line = "(sleep " + std::to_string(typingSeconds) + "; printf '%s\\n' '" + input + "') | '" + serverExecutable() + "' --db '" + db.url() + "' user "
                             + args + " >'" + file + "' 2>&1";
    const int status = std::system(line.c_str());
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(file);
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_P(Roles, EveryMethodOfEveryObjectGivesEachRoleExactlyItsRights)
{
    Env env(GetParam());
    // Every method the server registers, read from the same registration it runs.
    rpc::Dispatcher d;
    appserver::ConnectionPool pool(env.db->url(), 1);
    appserver::registerAll(d, pool);
    appserver::access::AuthSettings settings;
    appserver::access::Sessions sessions(pool, 8);
    appserver::registerSessionMethods(d, pool, settings, sessions);
    const auto methods = d.methods();
    ASSERT_GT(methods.size(), 40u);

    for (const std::string role : {"consulta", "operador", "administrador"}) {
        const std::string token = env.token(role);
        for (const auto &[object, method] : methods) {
            if (method == "Sair" || method == "Entrar")
                continue;
            SCOPED_TRACE(role + " " + object + "." + method);
            ASSERT_TRUE(appserver::access::rightOf(object, method)) << "a method without a rule";
            const std::int64_t operations = env.db->count("SELECT COUNT(*) FROM HISTOPERACAO");
            const std::int64_t users = env.db->count("SELECT COUNT(*) FROM USUARIO");
            const State before = state(*env.db);
            const RpcResult r = env.as(token, object, method, argumentsOf(method));
            if (allowed(role, method)) {
                EXPECT_NE(r.errorCode, -32005) << r.errorMessage.toStdString();
                EXPECT_NE(r.errorCode, -32004) << r.errorMessage.toStdString();
            } else {
                EXPECT_EQ(r.errorCode, -32005);
                EXPECT_TRUE(r.errorMessage.startsWith(QStringLiteral("Seu papel (%1) não permite").arg(QString::fromStdString(role))))
                    << r.errorMessage.toStdString();
                EXPECT_TRUE(diff(before, state(*env.db)).empty());
                EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations);
                EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM USUARIO"), users);
            }
        }
    }
}

// The client waits for bulk work as long as the server gives it by the client's own list;
// a method registered as bulk and missing there would be given up after two minutes.
TEST(Registration, TheClientsBulkMethodsAreTheServersBulkMethods)
{
    const auto db = TestDb::create(Backend::Sqlite);
    rpc::Dispatcher d;
    appserver::ConnectionPool pool(db->url(), 1);
    appserver::registerAll(d, pool);
    int bulk = 0;
    for (const auto &[object, method] : d.methods()) {
        rpc::MethodName names;
        ASSERT_TRUE(d.find(object, method, &names));
        EXPECT_EQ(names.kind == rpc::CallKind::Bulk, fiscal::protocol::method::isBulk(method)) << object << "." << method;
        bulk += names.kind == rpc::CallKind::Bulk;
    }
    EXPECT_EQ(bulk, int(std::size(fiscal::protocol::method::kBulk)));
}

TEST_P(Roles, AnOperadorUndoesOnlyItsOwnOperations)
{
    Env env(GetParam());
    const std::string operador = env.token("operador"), outro = env.token("outro"), admin = env.token("administrador");
    const auto save = [&](const std::string &token, const char *from, const char *to) {
        const RpcResult r = env.as(token, kParamGrupFiscal, "SetCliente",
                                   {ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", from}},
                                                                          {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", to}}).build()});
        EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        return QString::fromStdString(lastOperation(*env.db).value_or(""));
    };
    const QString mine = save(operador, "901", "902");
    const QString theirs = save(outro, "902", "903");

    // The preview is refused too: the desktop may discard pending changes between the two.
    for (const char *method : {"SimulaDesfazOperacao", "DesfazOperacao"}) {
        SCOPED_TRACE(method);
        const RpcResult refused = env.as(operador, kHistorico, method, {theirs});
        EXPECT_EQ(refused.errorCode, -32005);
        EXPECT_EQ(refused.errorMessage.toStdString(), "Seu papel (operador) não permite desfazer operações de outros usuários.");
    }
    EXPECT_TRUE(env.as(operador, kHistorico, "SimulaDesfazOperacao", {mine}).ok());
    EXPECT_EQ(env.db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = 'WC1'"), "903");
    EXPECT_TRUE(env.as(admin, kHistorico, "DesfazOperacao", {theirs}).ok());
    EXPECT_TRUE(env.as(operador, kHistorico, "DesfazOperacao", {mine}).ok());
}

TEST_P(Roles, TheHistoryRecordsTheSignedInUserWhateverTheClientDeclares)
{
    Env env(GetParam());
    const std::string token = env.token("operador");
    const RpcResult r = rpcCallAs("someone-else", env.server->port(), kParamGrupFiscal, "SetCliente",
                                  {ChangeSetBuilder("SetCliente").update({{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "901"}},
                                                                         {{"CDCLIENTE", "WC1"}, {"CDGRUPOFISC", "902"}}).build()},
                                  token);
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(env.db->scalar("SELECT NMUSUARIO FROM HISTOPERACAO ORDER BY IDOPERACAO DESC LIMIT 1"), "operador");
}

TEST_P(Roles, ACallWithoutALiveSessionGets401)
{
    Env env(GetParam());
    const std::string token = env.token("consulta");
    ASSERT_TRUE(env.as(token, kRelatorios, "GetCobertura").ok());
    struct Case {
        const char *what;
        std::string token;
    };
    for (const Case &c : {Case{"no token", ""}, Case{"an unknown token", std::string(64, 'a')}}) {
        SCOPED_TRACE(c.what);
        const RpcResult r = env.as(c.token, kRelatorios, "GetCobertura");
        EXPECT_EQ(r.httpStatus, 401);
        EXPECT_EQ(r.errorCode, -32004);
        EXPECT_EQ(r.errorMessage.toStdString(), "Sessão expirada ou inválida. Entre novamente.");
    }
    // Ended in the database (as another server would end it): refused here within two seconds.
    env.db->exec("UPDATE SESSAO SET DTENCERRADA = '2026-01-01T00:00:00.000Z' WHERE NMUSUARIO = 'consulta'");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    int status = 200;
    while (status != 401 && std::chrono::steady_clock::now() < deadline) {
        status = env.as(token, kRelatorios, "GetCobertura").httpStatus;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(status, 401);
    // Sair ends the session at once.
    const std::string other = env.token("consulta");
    EXPECT_TRUE(env.as(other, kSessao, "Sair").ok());
    EXPECT_EQ(env.as(other, kRelatorios, "GetCobertura").httpStatus, 401);
}

namespace {

// Sends a call's head, runs `meanwhile`, then its body: the answer's status line and head.
std::string headThenBody(std::uint16_t port, const std::string &object, const std::string &token,
                         const std::string &body, const std::function<void()> &meanwhile)
{
    const std::string head = "POST /rpc/" + object + " HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                             "Authorization: Bearer " + token + "\r\nContent-Length: " + std::to_string(body.size())
                             + "\r\n\r\n";
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0
        && ::write(fd, head.data(), head.size()) == ssize_t(head.size())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));   // the head is read and accepted
        meanwhile();
        if (::write(fd, body.data(), body.size()) == ssize_t(body.size())) {
            char buf[4096];
            ssize_t n = 0;
            while (answer.find("\r\n\r\n") == std::string::npos && (n = ::read(fd, buf, sizeof buf)) > 0)
                answer.append(buf, std::size_t(n));
        }
    }
    ::close(fd);
    return answer;
}

} // namespace

// A body long on its way (a large import on a slow line) runs on the session as it is when the
// body has come: signed out meanwhile, it runs nothing.
TEST_P(Roles, ACallWhoseBodyCameLateIsCheckedAgain)
{
    Env env(GetParam());
    const std::string token = env.token("operador");
    const std::string answer = headThenBody(
        env.server->port(), kParamGrupFiscal, token, R"({"jsonrpc":"2.0","method":"GetGrupoFiscal","params":["S00"],"id":1})",
        [&] {
            ASSERT_TRUE(env.as(token, kSessao, "Sair").ok());
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        });
    EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 401") << answer;
}

// A Sair that comes while the same session changes its password ends it all the same.
TEST_P(Roles, ASignOutDuringAPasswordChangeStays)
{
    Env env(GetParam());
    const std::string token = env.token("operador");
    const std::string answer = headThenBody(
        env.server->port(), kSessao, token,
        R"({"jsonrpc":"2.0","method":"TrocarSenha","params":["operador-senha","uma-senha-nova"],"id":1})",
        [&] { ASSERT_TRUE(env.as(token, kSessao, "Sair").ok()); });
    if (answer.substr(0, 12) == "HTTP/1.1 401")
        GTEST_SKIP() << "the body came over a second late and was checked again: no race left to test";
    ASSERT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_EQ(env.as(token, kParamGrupFiscal, "GetGrupoFiscal", {QStringLiteral("S00")}).httpStatus, 401);
}

// The calls of a batch after one that ends the session, or after a change of role meanwhile,
// run as the caller is now: refused once the session has ended.
TEST_P(Roles, ABatchGoesOnAsTheSessionIsNow)
{
    Env env(GetParam());
    const std::string token = env.token("operador");
    const HttpResponse http = httpPost(
        env.server->port(), "/rpc/" + kSessao,
        R"([{"jsonrpc":"2.0","method":"Sair","params":[],"id":1},)"
        R"({"jsonrpc":"2.0","method":"TrocarSenha","params":["operador-senha","outra-senha-99"],"id":2}])",
        "application/json", {{"Authorization", "Bearer " + token}});
    ASSERT_EQ(http.status, 200) << http.body.toStdString();
    const QJsonArray replies = QJsonDocument::fromJson(http.body).array();
    ASSERT_EQ(replies.size(), 2) << http.body.toStdString();
    EXPECT_FALSE(replies.at(0).toObject().contains(QStringLiteral("error"))) << http.body.toStdString();
    EXPECT_EQ(replies.at(1).toObject().value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt(),
              -32004) << http.body.toStdString();
    EXPECT_TRUE(env.signIn("operador", "operador-senha").ok()) << "the password is as it was";
}

// Moving a session's expiry on never waits for a lock a long write holds (the database's
// on SQLite, the session's row on PostgreSQL): the request's head is read meanwhile, and
// every connection of that serving thread waits with it.
TEST_P(Roles, MovingASessionsExpiryOnWaitsForNoLongWrite)
{
    Env env(GetParam());
    const std::string token = env.token("consulta");
    // Due to move on at the next look-up (more than a minute of the idle time spent).
    const std::string due = appserver::access::isoUtc(QDateTime::currentDateTimeUtc().addSecs(8 * 3600 - 120));
    env.db->exec("UPDATE SESSAO SET DTEXPIRA = $1 WHERE NMUSUARIO = 'consulta'", {due});
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));   // past what the server remembers
    auto holder = env.db->connect();
    holder->exec("BEGIN");
    holder->exec(GetParam() == Backend::Sqlite ? "UPDATE GRUPOFISCAL SET DSGRUPOFISC = DSGRUPOFISC"
                                               : "SELECT 1 FROM SESSAO WHERE NMUSUARIO = 'consulta' FOR UPDATE");
    for (int call = 0; call < 2; ++call) {
        SCOPED_TRACE(call);
        auto answer = std::async(std::launch::async, [&] { return env.as(token, kRelatorios, "GetCobertura"); });
        const bool prompt = answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        EXPECT_TRUE(prompt) << "the call waited for the lock";
        if (!prompt)
            holder->exec("ROLLBACK");
        EXPECT_TRUE(answer.get().ok());
        if (!prompt)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    }
    holder->exec("ROLLBACK");
    // A write that could not go is not tried again within the minute, lock or no lock.
    EXPECT_TRUE(env.as(token, kRelatorios, "GetCobertura").ok());
    EXPECT_EQ(env.db->scalar("SELECT DTEXPIRA FROM SESSAO WHERE NMUSUARIO = 'consulta'").value_or(""), due);
}

// A password too long is refused without being quoted: the message reaches terminals and logs.
TEST_P(Roles, APasswordTooLongIsRefusedWithoutQuotingIt)
{
    Env env(GetParam());
    const QString secret = QStringLiteral("segredo-") + QString(300, QLatin1Char('x'));
    const std::string token = env.token("operador");
    const RpcResult results[] = {
        env.signIn("operador", secret.toStdString()),
        env.as(token, kSessao, "TrocarSenha", {secret, QStringLiteral("nova-senha-1")}),
        env.as(token, kSessao, "TrocarSenha", {QStringLiteral("operador-senha"), secret}),
    };
    for (const RpcResult &r : results) {
        EXPECT_EQ(r.errorCode, -32602);
        EXPECT_TRUE(r.errorMessage.contains(QStringLiteral("mais de 256 caracteres"))) << r.errorMessage.toStdString();
        EXPECT_FALSE(r.errorMessage.contains(QStringLiteral("segredo"))) << r.errorMessage.toStdString();
    }
}

TEST_P(Roles, FailedSignInsLockTheLoginAndSayForHowLong)
{
    Env env(GetParam());
    const RpcResult unknown = env.signIn("ninguem", "qualquer-senha");
    const RpcResult wrong = env.signIn("operador", "senha-errada");
    EXPECT_EQ(unknown.errorMessage.toStdString(), "Usuário ou senha inválidos.");
    EXPECT_EQ(wrong.errorMessage, unknown.errorMessage);
    // Five failures from this address, an unknown user's among them: the next is refused.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(env.signIn("operador", "senha-errada").errorMessage.toStdString(), "Usuário ou senha inválidos.");
    const RpcResult locked = env.signIn("operador", "operador-senha");
    EXPECT_EQ(locked.errorCode, -32006);
    EXPECT_TRUE(locked.errorMessage.startsWith(QStringLiteral("Muitas tentativas sem sucesso. Tente de novo em ")))
        << locked.errorMessage.toStdString();
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE NMUSUARIO = 'operador' AND DSEVENTO = 'falha'"), 4);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE DSENDERECO = '127.0.0.1' AND DSEVENTO = 'falha'"), 5);
    EXPECT_GE(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE NMUSUARIO = 'operador' AND DSEVENTO = 'bloqueio'"), 1);
    // Knocking on during the lock, on any login, adds no row per try.
    for (const char *login : {"operador", "administrador", "ninguem", "operador"})
        EXPECT_EQ(env.signIn(login, "senha-errada").errorCode, -32006);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE DSENDERECO = '127.0.0.1' AND DSEVENTO = 'bloqueio'"), 1);
}

// A session left open is no way around the lock: the current password typed to change it is
// counted like a sign-in's.
TEST_P(Roles, WrongCurrentPasswordsLockLikeFailedSignIns)
{
    Env env(GetParam());
    // A right one leaves no failure behind.
    const std::string other = env.token("administrador");
    EXPECT_TRUE(env.as(other, kSessao, "TrocarSenha", strings({"administrador-senha", "outra-senha-boa"})).ok());
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE DSEVENTO = 'falha'"), 0);

    const std::string token = env.token("operador");
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(env.as(token, kSessao, "TrocarSenha", {QStringLiteral("palpite-%1").arg(i), "uma-senha-nova"})
                      .errorMessage.toStdString(),
                  "A senha atual não confere.");
    const RpcResult right = env.as(token, kSessao, "TrocarSenha", strings({"operador-senha", "uma-senha-nova"}));
    EXPECT_EQ(right.errorCode, -32006) << right.errorMessage.toStdString();
    EXPECT_TRUE(right.errorMessage.startsWith(QStringLiteral("Muitas tentativas"))) << right.errorMessage.toStdString();
    EXPECT_EQ(env.signIn("operador", "operador-senha").errorCode, -32006);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE NMUSUARIO = 'operador' AND DSEVENTO = 'falha'"
                            " AND DSDETALHE = 'wrong current password'"), 5);
    // Knocking on during the lock is noted, once a minute as for sign-ins.
    env.db->exec("DELETE FROM AUDITORIA WHERE DSEVENTO = 'bloqueio'");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(env.as(token, kSessao, "TrocarSenha", strings({"operador-senha", "uma-senha-nova"})).errorCode, -32006);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE NMUSUARIO = 'operador' AND DSEVENTO = 'bloqueio'"), 1);
}

// A lock runs its whole length from the last failure of its burst, the burst being the
// failures within the window of that last one; the order of a failure and a new password is
// that of the events, whatever the clock said when each was recorded.
TEST_P(Roles, ALockRunsItsWholeLengthFromTheLastFailure)
{
    Env env(GetParam());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const struct {
        const char *what;
        std::vector<int> failures;   // minutes from now
        bool newPassword;            // a new password recorded after them, stamped two minutes ago
        const char *refusedFor;      // nullptr: signs in
    } cases[] = {
        {"eleven failures sixteen minutes ago", std::vector<int>(11, -16), false, "48 minutos"},
        {"eleven failures seventy minutes ago", std::vector<int>(11, -70), false, nullptr},
        {"six failures a minute ago", std::vector<int>(6, -1), false, "1 minuto"},
        {"five failures spread over twenty minutes", {-20, -19, -2, -1, -1}, false, nullptr},
        {"a burst that went on as each lock ran out", {-16, -16, -16, -16, -16, -15, -13, -9, -1}, false, "15 minutos"},
        {"sixteen failures stamped three hours ahead, six a minute ago",
         {180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, 180, -1, -1, -1, -1, -1, -1},
         false, "1 minuto"},
        {"five failures stamped three hours ahead", std::vector<int>(5, 180), false, nullptr},
        {"five failures a minute ago, then a new password stamped before them",
         std::vector<int>(5, -1), true, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        env.db->exec("DELETE FROM AUDITORIA");
        for (int minutes : c.failures)
            env.db->exec("INSERT INTO AUDITORIA (DTEVENTO, NMUSUARIO, NMAUTOR, DSENDERECO, DSEVENTO, DSDETALHE)"
                         " VALUES ($1, 'operador', 'operador', '10.9.9.9', 'falha', 'wrong password')",
                         {now.addSecs(minutes * 60).toString(Qt::ISODateWithMs).toStdString()});
        if (c.newPassword)
            env.db->exec("INSERT INTO AUDITORIA (DTEVENTO, NMUSUARIO, NMAUTOR, DSENDERECO, DSEVENTO, DSDETALHE)"
                         " VALUES ($1, 'operador', 'administrador', '10.9.9.9', 'senha', 'reset')",
                         {now.addSecs(-120).toString(Qt::ISODateWithMs).toStdString()});
        const RpcResult r = env.signIn("operador", "operador-senha");
        if (c.refusedFor) {
            EXPECT_EQ(r.errorCode, -32006);
            EXPECT_EQ(r.errorMessage, QStringLiteral("Muitas tentativas sem sucesso. Tente de novo em %1.")
                                          .arg(QString::fromUtf8(c.refusedFor)));
        } else {
            EXPECT_TRUE(r.ok()) << r.errorMessage.toStdString();
        }
    }
}

// A caller locked out is told so at once, also while another writer holds the database (a
// bulk call on SQLite): the note of its knock waits for nobody.
TEST_P(Roles, ALockedOutCallerIsToldSoWhileAWriterHoldsTheDatabase)
{
    Env env(GetParam());
    const std::string at = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    for (int i = 0; i < 6; ++i)
        env.db->exec("INSERT INTO AUDITORIA (DTEVENTO, NMUSUARIO, NMAUTOR, DSENDERECO, DSEVENTO, DSDETALHE)"
                     " VALUES ($1, 'operador', 'operador', '10.9.9.9', 'falha', 'wrong password')",
                     {at});
    auto holder = env.db->connect();
    holder->begin();
    if (GetParam() == Backend::Postgres)
        holder->exec("LOCK TABLE AUDITORIA IN EXCLUSIVE MODE");
    const RpcResult r = env.signIn("operador", "operador-senha");
    holder->rollback();
    EXPECT_EQ(r.errorCode, -32006) << r.errorMessage.toStdString();
    EXPECT_TRUE(r.errorMessage.startsWith(QStringLiteral("Muitas tentativas"))) << r.errorMessage.toStdString();
}

// Wrong passwords sent all at once are counted one after the other: no more of them are
// checked than the limit lets through, the rest are refused for the lock. Here they all pass
// the first look together and queue where each is counted (behind a writer held a moment).
TEST_P(Roles, SignInsSentTogetherAreCountedOneAfterTheOther)
{
    Env env(GetParam(), 12);
    auto holder = env.db->connect();
    if (GetParam() == Backend::Postgres)
        holder->exec("SELECT pg_advisory_lock(7101, hashtext('operador'))");
    else
        holder->begin();
    std::vector<std::future<RpcResult>> tries;
    for (int i = 0; i < 12; ++i)
        tries.push_back(std::async(std::launch::async, [&] { return env.signIn("operador", "senha-errada"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (GetParam() == Backend::Postgres)
        holder->exec("SELECT pg_advisory_unlock(7101, hashtext('operador'))");
    else
        holder->commit();
    int checked = 0;
    for (auto &t : tries) {
        const RpcResult r = t.get();
        if (r.errorMessage == QStringLiteral("Usuário ou senha inválidos."))
            ++checked;
        else
            EXPECT_TRUE(r.errorMessage.startsWith(QStringLiteral("Muitas tentativas"))) << r.errorMessage.toStdString();
    }
    EXPECT_EQ(checked, 5);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE NMUSUARIO = 'operador' AND DSEVENTO = 'falha'"), 5);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM AUDITORIA WHERE DSDETALHE = 'not settled'"), 0);
    EXPECT_TRUE(env.signIn("operador", "operador-senha").errorMessage.startsWith(QStringLiteral("Muitas tentativas")));
}

// A sign-in removes the user's sessions over for a month, and no other: a login signed in
// with every few minutes would otherwise pile them up.
TEST_P(Roles, ASignInRemovesTheUsersSessionsOverForAMonth)
{
    Env env(GetParam());
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto at = [&](int days) { return now.addDays(days).toString(Qt::ISODateWithMs).toStdString(); };
    const struct { const char *hash, *user; int created, expires; std::optional<int> ended; } rows[] = {
        {"expirada-ha-40-dias", "operador", -41, -40, std::nullopt},
        {"encerrada-ha-40-dias", "operador", -41, -40, -41},
        {"expirada-ha-2-dias", "operador", -3, -2, std::nullopt},
        {"de-outro-ha-40-dias", "consulta", -41, -40, std::nullopt},
    };
    for (const auto &r : rows)
        env.db->exec("INSERT INTO SESSAO (CDTOKENHASH, NMUSUARIO, DSPAPEL, DSENDERECO, DTCRIACAO, DTEXPIRA, DTENCERRADA,"
                     " FLTROCARSENHA) VALUES ($1, $2, 'operador', '127.0.0.1', $3, $4, $5, 'N')",
                     {r.hash, r.user, at(r.created), at(r.expires),
                      r.ended ? std::optional<std::string>(at(*r.ended)) : std::nullopt});
    ASSERT_TRUE(env.signIn("operador", "operador-senha").ok());
    std::vector<std::string> left;
    for (const auto &row : env.db->query("SELECT CDTOKENHASH FROM SESSAO WHERE CDTOKENHASH LIKE '%dias' ORDER BY 1"))
        left.push_back(*row[0]);
    EXPECT_EQ(left, (std::vector<std::string>{"de-outro-ha-40-dias", "expirada-ha-2-dias"}));
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM SESSAO WHERE NMUSUARIO = 'operador'"), 2);
}

// A sign-in gives the session the role the user has when it opens, not the one read before
// the password was checked: a change an administrator made meanwhile stays.
TEST_P(Roles, ARoleChangedWhileASignInChecksThePasswordStays)
{
    if (GetParam() != Backend::Postgres)
        GTEST_SKIP() << "SQLite's writers queue for the whole database";
    Env env(GetParam());
    auto admin = env.db->connect();
    admin->begin();
    admin->exec("LOCK TABLE USUARIO IN SHARE ROW EXCLUSIVE MODE");
    admin->exec("UPDATE USUARIO SET DSPAPEL = 'consulta' WHERE NMUSUARIO = 'operador'");
    auto done = std::async(std::launch::async, [&] { return env.signIn("operador", "operador-senha"); });
    ASSERT_TRUE(someoneWaitsForALock(*env.db)) << "the sign-in waits for the change";
    admin->commit();
    const RpcResult r = done.get();
    ASSERT_TRUE(r.ok()) << r.errorMessage.toStdString();
    EXPECT_EQ(env.db->scalar("SELECT DSPAPEL FROM USUARIO WHERE NMUSUARIO = 'operador'"), "consulta");
    EXPECT_EQ(env.db->scalar("SELECT DSPAPEL FROM SESSAO WHERE NMUSUARIO = 'operador'"), "consulta");
}

// A user locked out at the desk (the login's count and the address's) gets back in with the
// password an administrator sets, on screen or on the server's command line.
TEST_P(Roles, ANewPasswordFromAnAdministratorLiftsTheLockOut)
{
    for (const bool onScreen : {true, false}) {
        SCOPED_TRACE(onScreen ? "RedefineSenha" : "user passwd");
        Env env(GetParam());
        const std::string admin = env.token("administrador");
        for (int i = 0; i < 5; ++i)
            env.signIn("operador", "senha-errada");
        ASSERT_EQ(env.signIn("operador", "operador-senha").errorCode, -32006);
        std::string password = "uma-senha-nova";
        if (onScreen) {
            const RpcResult reset = env.as(admin, kSessao, "RedefineSenha", strings({"operador"}));
            ASSERT_TRUE(reset.ok()) << reset.errorMessage.toStdString();
            password = Packet::from(reset.result).rows.at(0).at(1)->toStdString();
        } else {
            ASSERT_EQ(userCommand(*env.db, "passwd operador", password), 0);
        }
        const RpcResult in = env.signIn("operador", password);
        EXPECT_TRUE(in.ok()) << in.errorMessage.toStdString();
        // Another login's failures from the same address still count.
        for (int i = 0; i < 5; ++i)
            env.signIn("consulta", "senha-errada");
        EXPECT_EQ(env.signIn("consulta", "consulta-senha").errorCode, -32006);
    }
}

// What an administrator changes on screen while the command line waits for the password stays.
TEST_P(Roles, ThePasswordTypedOnTheCommandLineKeepsWhatChangedMeanwhile)
{
    Env env(GetParam());
    const std::string admin = env.token("administrador");
    int status = -1;
    std::thread typing([&] { status = userCommand(*env.db, "passwd operador", "uma-senha-nova", nullptr, 2); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const RpcResult disabled = env.as(admin, kSessao, "SetUsuario", QCborArray{"operador", "", "consulta", false});
    typing.join();
    ASSERT_TRUE(disabled.ok()) << disabled.errorMessage.toStdString();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM USUARIO WHERE NMUSUARIO = 'operador' AND FLATIVO = 'N'"
                            " AND DSPAPEL = 'consulta'"), 1);
    EXPECT_EQ(env.signIn("operador", "uma-senha-nova").errorMessage.toStdString(), "Usuário ou senha inválidos.");
}

TEST_P(Roles, APasswordChangeEndsTheOtherSessions)
{
    Env env(GetParam());
    const std::string first = env.token("operador"), second = env.token("operador");
    const RpcResult weak = env.as(first, kSessao, "TrocarSenha", strings({"operador-senha", "curta"}));
    EXPECT_EQ(weak.errorMessage.toStdString(), "A senha deve ter ao menos 10 caracteres.");
    ASSERT_TRUE(env.as(first, kSessao, "TrocarSenha", strings({"operador-senha", "uma-senha-nova"})).ok());
    EXPECT_TRUE(env.as(first, kRelatorios, "GetCobertura").ok());
    EXPECT_EQ(env.as(second, kRelatorios, "GetCobertura").httpStatus, 401);
    EXPECT_TRUE(env.signIn("operador", "uma-senha-nova").ok());
    EXPECT_FALSE(env.signIn("operador", "operador-senha").ok());
}

// The server trusts a session for a moment without reading it again; a password change in
// that moment must not bring back the session of a user just disabled.
TEST_P(Roles, AUserDisabledAMomentAgoCannotChangeThePasswordAndKeepWorking)
{
    Env env(GetParam());
    const std::string admin = env.token("administrador"), user = env.token("operador");
    ASSERT_TRUE(env.as(user, kRelatorios, "GetCobertura").ok());
    ASSERT_TRUE(env.as(admin, kSessao, "SetUsuario", QCborArray{"operador", "", "operador", false}).ok());
    EXPECT_FALSE(env.as(user, kSessao, "TrocarSenha", strings({"operador-senha", "uma-senha-nova"})).ok());
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM SESSAO WHERE NMUSUARIO = 'operador' AND DTENCERRADA IS NULL"), 0);
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM USUARIO WHERE NMUSUARIO = 'operador' AND FLATIVO = 'N'"), 1);
    EXPECT_FALSE(env.signIn("operador", "uma-senha-nova").ok());
}

TEST_P(Roles, ATemporaryPasswordMustBeChangedBeforeAnyWork)
{
    Env env(GetParam());
    const std::string admin = env.token("administrador");
    const RpcResult created = env.as(admin, kSessao, "SetUsuario", QCborArray{"maria", "Maria Souza", "consulta", true});
    ASSERT_TRUE(created.ok()) << created.errorMessage.toStdString();
    const std::string temporary = Packet::from(created.result).rows.at(0).at(1)->toStdString();
    const RpcResult in = env.signIn("maria", temporary);
    ASSERT_TRUE(in.ok()) << in.errorMessage.toStdString();
    const Packet row = Packet::from(in.result);
    EXPECT_EQ(row.columnValues("FLTROCARSENHA"), QStringList{"S"});
    EXPECT_EQ(row.columnValues("DSPAPEL"), QStringList{"consulta"});
    const std::string token = row.rows.at(0).at(0)->toStdString();
    EXPECT_EQ(env.as(token, kRelatorios, "GetCobertura").errorCode, -32005);
    ASSERT_TRUE(env.as(token, kSessao, "TrocarSenha", {QString::fromStdString(temporary), "minha-senha-boa"}).ok());
    EXPECT_TRUE(env.as(token, kRelatorios, "GetCobertura").ok());
    // The last administrador keeps the role.
    EXPECT_EQ(env.as(admin, kSessao, "SetUsuario", QCborArray{"administrador", "", "operador", true}).errorCode, -32602);
}


// VmHWM of a process, KiB.
long peakKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

TEST_P(Roles, ManySignInsAtOnceTakeNoMoreMemoryThanTheHashesAllowedAtOnce)
{
    auto db = TestDb::create(GetParam(), Demo::None);
    addUser(*db, "operador", appserver::access::Role::Operador, "operador-senha");
    ServerOptions o;
    o.auth = "usuarios";
    o.workers = 2;
    ServerProcess server(db->url(), o);
    const long before = peakKiB(server.pid());
    std::vector<std::thread> clients;
    std::atomic<int> signedIn{0};
    for (int i = 0; i < 24; ++i)
        clients.emplace_back([&] {
            const RpcResult r = rpcCall(server.port(), kSessao, "Entrar", {"operador", "operador-senha"});
            signedIn += r.ok() ? 1 : 0;
        });
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(signedIn, 24);
    const long hashKiB = long(appserver::access::hashMemory() / 1024);
    EXPECT_LE(peakKiB(server.pid()) - before, 2 * hashKiB + 48 * 1024) << "two hashes at once at most";
}

TEST_P(Roles, TheCommandLineManagesUsersAndADisabledOneIsRefused)
{
    Env env(GetParam());
    std::string said;
    EXPECT_EQ(userCommand(*env.db, "add chefe --role administrador --name 'Chefe Geral'", "curta", &said), 1);
    EXPECT_NE(said.find("ao menos 10 caracteres"), std::string::npos) << said;
    EXPECT_EQ(userCommand(*env.db, "add chefe --role administrador --name 'Chefe Geral'", "senha-do-chefe"), 0);
    EXPECT_EQ(userCommand(*env.db, "add chefe --role consulta", "senha-do-chefe"), 1);
    EXPECT_EQ(userCommand(*env.db, "list", "", &said), 0);
    EXPECT_NE(said.find("chefe\tadministrador\tativo\tChefe Geral"), std::string::npos) << said;
    const RpcResult in = env.signIn("chefe", "senha-do-chefe");
    ASSERT_TRUE(in.ok()) << in.errorMessage.toStdString();
    const std::string token = Packet::from(in.result).rows.at(0).at(0)->toStdString();
    EXPECT_TRUE(env.as(token, kSessao, "GetUsuarios").ok());
    EXPECT_EQ(userCommand(*env.db, "disable chefe", ""), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    int status = 200;
    while (status != 401 && std::chrono::steady_clock::now() < deadline) {
        status = env.as(token, kSessao, "GetUsuarios").httpStatus;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(status, 401);
    EXPECT_EQ(env.signIn("chefe", "senha-do-chefe").errorMessage.toStdString(), "Usuário ou senha inválidos.");
    // The last active administrador stays one.
    EXPECT_EQ(userCommand(*env.db, "role administrador operador", "", &said), 1);
    EXPECT_NE(said.find("único administrador ativo"), std::string::npos) << said;
}

// A bulk call on SQLite holds the write lock for minutes: the command waits for it, saying so,
// where it gave up after 10 s.
TEST_P(Roles, TheCommandLineWaitsForAWriterThatHoldsTheDatabase)
{
    if (GetParam() != Backend::Sqlite)
        GTEST_SKIP() << "PostgreSQL's lock on the users waits without a limit anyway";
    Env env(GetParam());
    auto holder = env.db->connect();
    holder->begin();
    std::string said;
    int status = -1;
    std::thread command([&] { status = userCommand(*env.db, "role operador consulta", "", &said); });
    std::this_thread::sleep_for(std::chrono::seconds(12));
    holder->rollback();
    command.join();
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("aguardando o fim de outra gravação"), std::string::npos) << said;
    EXPECT_EQ(env.db->count("SELECT COUNT(*) FROM USUARIO WHERE NMUSUARIO = 'operador' AND DSPAPEL = 'consulta'"), 1);
}

// Ctrl-C at the password prompt ends the command with the terminal echoing again.
TEST_P(Roles, ControlCAtThePasswordPromptGivesTheTerminalItsEchoBack)
{
    if (GetParam() != Backend::Sqlite)
        GTEST_SKIP() << "the terminal does not depend on the database";
    Env env(GetParam());
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);   // kept open: its settings outlive the child
    ASSERT_GE(slave, 0);
    const std::string exe = serverExecutable(), url = env.db->url();
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Test binaries may block signals in threads: the command starts with a clean mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        execl(exe.c_str(), exe.c_str(), "--db", url.c_str(), "user", "passwd", "operador", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buf[256];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen.find("Senha: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, std::size_t(n));
        }
    }
    ASSERT_NE(seen.find("Senha: "), std::string::npos) << seen;
    termios atPrompt{};   // the prompt is written a moment before echo goes off
    while (tcgetattr(slave, &atPrompt) == 0 && (atPrompt.c_lflag & ECHO) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_FALSE(atPrompt.c_lflag & ECHO) << "the password would be shown";
    ASSERT_EQ(::write(master, "\x03", 1), 1);
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (ended != child) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "Ctrl-C did not end the command";
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO);
    ::close(slave);
    ::close(master);
}

// PAM with a configuration folder of the test's own (pam_start_confdir): passwords from
// pam_matrix's file, users and groups from nss_wrapper's files.
TEST_P(Roles, PamSignsInByPasswordAndTakesTheRoleFromTheGroups)
{
    const std::string libdir = "/usr/lib/" FISCAL_LIBRARY_ARCHITECTURE;
    const std::string matrixPath = libdir + "/pam_wrapper/pam_matrix.so", nssPath = libdir + "/libnss_wrapper.so";
    if (!std::filesystem::exists(matrixPath) || !std::filesystem::exists(nssPath))
        GTEST_SKIP() << "pam_wrapper and nss_wrapper (libpam-wrapper, libnss-wrapper) not found under " << libdir;
    const char *matrix = matrixPath.c_str();
    const char *nss = nssPath.c_str();
    auto db = TestDb::create(GetParam(), Demo::None);
    const std::string dir = std::filesystem::temp_directory_path() / ("fiscal-pam-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir + "/pam.d");
    const auto write = [&](const std::string &name, const std::string &text) {
        std::ofstream(dir + "/" + name) << text;
    };
    // "Pedro" is another spelling of pedro's account (same uid), as sssd accepts any case.
    write("passdb", "pedro:senha-do-pedro:fiscal-teste\nPedro:senha-do-pedro:fiscal-teste\n"
                    "lia:senha-da-lia-1:fiscal-teste\n"
                    "ana:senha-da-ana-1:fiscal-teste\nrui:senha-do-rui-1:fiscal-teste\n");
    write("pam.d/fiscal-teste", std::string("auth required ") + matrix + " passdb=" + dir + "/passdb\naccount required "
                                    + matrix + " passdb=" + dir + "/passdb\n");
    write("passwd", "pedro:x:5001:5001:Pedro:/tmp:/bin/false\nPedro:x:5001:5001:Pedro:/tmp:/bin/false\n"
                    "lia:x:5002:5002:Lia:/tmp:/bin/false\n"
                    "ana:x:5003:5003:Ana:/tmp:/bin/false\nrui:x:5004:5004:Rui:/tmp:/bin/false\n");
    write("group", "pedro:x:5001:\nlia:x:5002:\nana:x:5003:\nrui:x:5004:\nfiscal-consulta:x:6000:rui\n"
                   "fiscal-operador:x:6001:pedro\nfiscal-administrador:x:6002:ana\n");
    ServerOptions o;
    o.auth = "pam:fiscal-teste";
    o.env = {{"FISCAL_PAM_CONFDIR", dir + "/pam.d"}, {"LD_PRELOAD", nss}, {"NSS_WRAPPER_PASSWD", dir + "/passwd"},
             {"NSS_WRAPPER_GROUP", dir + "/group"}};
    ServerProcess server(db->url(), o);
    const auto signIn = [&](const char *user, const char *password) {
        return rpcCall(server.port(), kSessao, "Entrar", {QString::fromUtf8(user), QString::fromUtf8(password)});
    };

    const RpcResult pedro = signIn("pedro", "senha-do-pedro");
    ASSERT_TRUE(pedro.ok()) << pedro.errorMessage.toStdString();
    EXPECT_EQ(Packet::from(pedro.result).columnValues("DSPAPEL"), QStringList{"operador"});
    EXPECT_EQ(signIn("pedro", "senha-errada").errorMessage.toStdString(), "Usuário ou senha inválidos.");
    const RpcResult lia = signIn("lia", "senha-da-lia-1");
    EXPECT_EQ(lia.errorCode, -32006);
    EXPECT_TRUE(lia.errorMessage.contains(QStringLiteral("fiscal-operador"))) << lia.errorMessage.toStdString();

    // The system keeps the passwords: one set here would ask for a change the system's
    // password cannot make, and the user could never work again.
    const RpcResult ana = signIn("ana", "senha-da-ana-1");
    ASSERT_TRUE(ana.ok()) << ana.errorMessage.toStdString();
    const std::string admin = Packet::from(ana.result).rows.at(0).at(0)->toStdString();
    const auto asAna = [&](const char *method, const QCborArray &args) {
        return rpcCall(server.port(), kSessao, method, args, Encoding::Cbor, admin);
    };
    const RpcResult reset = asAna("RedefineSenha", {QStringLiteral("pedro")});
    EXPECT_EQ(reset.errorCode, -32602);
    EXPECT_TRUE(reset.errorMessage.contains(QStringLiteral("do sistema"))) << reset.errorMessage.toStdString();
    const RpcResult created = asAna("SetUsuario", {QStringLiteral("rui"), QStringLiteral("Rui"), QStringLiteral("consulta"), true});
    ASSERT_TRUE(created.ok()) << created.errorMessage.toStdString();
    const Packet temporary = Packet::from(created.result);
    ASSERT_EQ(temporary.rows.size(), 1u) << "created here";
    EXPECT_TRUE(!temporary.rows[0].at(1) || temporary.rows[0].at(1)->isEmpty()) << "with no password";
    std::string rui;
    for (const auto &[user, password] : {std::pair{"rui", "senha-do-rui-1"}, {"pedro", "senha-do-pedro"}}) {
        SCOPED_TRACE(user);
        const RpcResult in = signIn(user, password);
        ASSERT_TRUE(in.ok()) << in.errorMessage.toStdString();
        EXPECT_EQ(Packet::from(in.result).columnValues("FLTROCARSENHA"), QStringList{"N"});
        if (std::string_view(user) == "rui")
            rui = Packet::from(in.result).rows.at(0).at(0)->toStdString();
    }
    const auto asRui = [&] {
        return rpcCall(server.port(), kParamGrupFiscal, "GetGrupoFiscal", {QString()}, Encoding::Cbor, rui);
    };
    ASSERT_TRUE(asRui().ok());

    // The role comes from the groups at every sign-in, so a change here is refused rather
    // than undone later; disabling still works, under any spelling of the login.
    const RpcResult demoted = asAna("SetUsuario", {QStringLiteral("pedro"), QStringLiteral("Pedro"), QStringLiteral("consulta"), true});
    EXPECT_EQ(demoted.errorCode, -32602);
    EXPECT_TRUE(demoted.errorMessage.contains(QStringLiteral("grupos"))) << demoted.errorMessage.toStdString();
    const std::string open = "SELECT COUNT(*) FROM SESSAO WHERE NMUSUARIO = 'pedro' AND DTENCERRADA IS NULL";
    ASSERT_GT(db->count(open), 0);
    const RpcResult disabled = asAna("SetUsuario", {QStringLiteral("Pedro"), QStringLiteral("Pedro"), QStringLiteral("operador"), false});
    ASSERT_TRUE(disabled.ok()) << disabled.errorMessage.toStdString();
    EXPECT_EQ(db->count(open), 0) << "the account's sessions end with it";
    for (const char *spelling : {"pedro", "Pedro"}) {
        SCOPED_TRACE(spelling);
        EXPECT_EQ(signIn(spelling, "senha-do-pedro").errorMessage.toStdString(), "Usuário ou senha inválidos.");
    }

    // The groups change while the sessions are open. First the system cannot tell (no fiscal
    // group found, as while the directory restarts): the sessions keep their roles. Then ana
    // is only a reader, and rui is in no group: their open sessions follow within a second.
    const auto groups = [&](const std::string &text, int step) {
        write("group", text);
        // nss_wrapper reads the file again when its time changes, to the second.
        std::filesystem::last_write_time(dir + "/group",
                                         std::filesystem::file_time_type::clock::now() + std::chrono::seconds(5 * step));
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));   // past the second a checked session is trusted
    };
    ASSERT_TRUE(asAna("GetUsuarios", {}).ok());
    groups("pedro:x:5001:\nlia:x:5002:\nana:x:5003:\nrui:x:5004:\n", 1);
    EXPECT_TRUE(asAna("GetUsuarios", {}).ok());
    EXPECT_TRUE(asRui().ok());
    groups("pedro:x:5001:\nlia:x:5002:\nana:x:5003:\nrui:x:5004:\nfiscal-consulta:x:6000:ana\n"
           "fiscal-operador:x:6001:\nfiscal-administrador:x:6002:\n", 2);
    EXPECT_EQ(asAna("GetUsuarios", {}).errorCode, -32005);
    EXPECT_EQ(asRui().errorCode, -32004);
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Backends, Roles, ::testing::ValuesIn(backendsUnderTest()), BackendParamName());
} // namespace
