#include "usercommand.h"

#include "appserver/access/accounts.h"
#include "appserver/access/passwords.h"
#include "rpc/dispatcher.h"
#include "storage/database.h"

#include <QString>

#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <functional>
#include <limits>
#include <iostream>
#include <stdexcept>
#include <string>

namespace fiscal::server {

namespace {

using namespace appserver::access;

// The terminal as it was before echo was turned off for a password; put back by a signal
// that ends the command at the prompt too (Ctrl-C), or the shell is left typing blind.
termios g_terminal{};
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restoreTerminalAndDie(int sig)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string readLine(const char *prompt, bool terminal)
{
    struct sigaction previous[std::size(kEndingSignals)]{};
    if (terminal) {
        std::cerr << prompt << std::flush;
        tcgetattr(STDIN_FILENO, &g_terminal);
        struct sigaction restoring{};
        restoring.sa_handler = restoreTerminalAndDie;
        sigemptyset(&restoring.sa_mask);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &restoring, &previous[i]);
        termios quiet = g_terminal;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    const bool got = bool(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal);
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
            sigaction(kEndingSignals[i], &previous[i], nullptr);
        std::cerr << std::endl;
    }
    if (!got)
        throw std::runtime_error("nenhuma senha na entrada padrão");
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Asked twice on a terminal; one line of standard input otherwise (scripts).
std::string newPassword(const std::string &login)
{
    const bool terminal = isatty(STDIN_FILENO);
    const std::string first = readLine("Senha: ", terminal);
    if (terminal && readLine("Repita a senha: ", terminal) != first)
        throw std::runtime_error("as senhas digitadas não conferem");
    if (const std::optional<QString> problem = passwordProblem(login, first))
        throw std::runtime_error(problem->toStdString());
    return hashPassword(first);
}

// A bulk call on a running server holds SQLite's write lock for as long as the servers' bulk
// limit allows, which this command does not know: wait for it, saying so, as long as it
// takes, rather than give up after the connection's usual 10 s. `write` runs in a
// transaction of its own, so trying it again is safe.
void writeWaitingForOtherWriters(storage::Connection &c, const std::function<void()> &write)
{
    using namespace std::chrono;
    c.setLimits({steady_clock::time_point::max(), milliseconds(0), seconds(2)});
    try {
        write();
        return;
    } catch (const storage::Error &e) {
        if (e.kind() != storage::Error::Kind::Locked)
            throw;
    }
    std::cerr << "aguardando o fim de outra gravação no banco (Ctrl-C desiste)..." << std::endl;
    // Some 24 days: PostgreSQL's longest lock_timeout.
    c.setLimits({steady_clock::time_point::max(), milliseconds(0), milliseconds(std::numeric_limits<int>::max())});
    write();
}

User existing(storage::Connection &c, const std::string &login)
{
    std::optional<User> u = findUser(c, login);
    if (!u)
        throw std::runtime_error("o usuário " + login + " não existe");
    return *u;
}

// Applies `edit` to the user as it is inside the transaction: a password typed at the prompt
// must not write back what an administrator changed on screen meanwhile.
void change(storage::Connection &c, const std::string &login, const char *kind, const std::string &detail,
            const std::function<void(User &)> &edit)
{
    writeWaitingForOtherWriters(c, [&] {
        storage::Transaction t(c);
        lockUsers(c);
        const User before = existing(c, login);
        User after = before;
        edit(after);
        if (before.active && before.role == Role::Administrador
            && !(after.active && after.role == Role::Administrador) && activeAdministrators(c) <= 1)
            throw std::runtime_error(before.login + " é o único administrador ativo: dê o papel a outro usuário antes");
        updateUser(c, before, after);
        record(c, {after.login, "fiscal-server user", "local", kind, detail});
        t.commit();
    });
}

} // namespace

void addDemoUsers(storage::Connection &c)
{
    storage::Transaction t(c);
    for (Role r : {Role::Consulta, Role::Operador, Role::Administrador}) {
        User u;
        u.login = roleName(r);
        u.name = QStringLiteral("%1 (demonstração)").arg(QString::fromUtf8(roleName(r))).toStdString();
        u.name[0] = char(std::toupper(static_cast<unsigned char>(u.name[0])));
        u.role = r;
        u.passwordHash = hashPassword(u.login + "-demo");
        createUser(c, u);
    }
    t.commit();
}

int runUserCommand(const CommandLine &cl)
{
    auto conn = storage::openExisting(cl.db);   // a mistyped path is no new empty database
    if (storage::schemaVersion(*conn) != storage::kSchemaVersion)
        throw std::runtime_error("o esquema do banco não está na versão " + std::to_string(storage::kSchemaVersion)
                                 + ": rode antes fiscal-server migrate --db " + cl.db);
    storage::Connection &c = *conn;
    const std::string &login = cl.userLogin;
    try {
        if (cl.userAction == "list") {
            for (const User &u : listUsers(c))
                std::cout << u.login << '\t' << roleName(u.role) << '\t' << (u.active ? "ativo" : "desativado")
                          << '\t' << u.name << '\t' << (u.lastSignIn.empty() ? "-" : u.lastSignIn) << '\n';
            return 0;
        }
        if (cl.userAction == "add") {
            if (const std::optional<QString> problem = loginProblem(login))
                throw std::runtime_error(problem->toStdString());
            User u;
            u.login = login;
            u.name = cl.userName.empty() ? login : cl.userName;
            u.role = *roleFromName(cl.userRole);
            u.passwordHash = newPassword(login);
            writeWaitingForOtherWriters(c, [&] {
                storage::Transaction t(c);
                createUser(c, u);
                record(c, {login, "fiscal-server user", "local", "usuario", std::string("created: ") + roleName(u.role)});
                t.commit();
            });
            std::cout << "usuário " << login << " criado como " << roleName(u.role) << std::endl;
            return 0;
        }
        existing(c, login);   // before asking for a password
        std::string done;
        if (cl.userAction == "passwd") {
            done = "senha definida";
            const std::string hash = newPassword(login);
            change(c, login, "senha", "password set", [&](User &u) {
                u.passwordHash = hash;
                u.mustChangePassword = false;
                u.failures = 0;
                u.lockedUntil.clear();
            });
        } else if (cl.userAction == "role") {
            const Role role = *roleFromName(cl.userRole);
            done = std::string("papel ") + roleName(role);
            change(c, login, "usuario", std::string("role ") + roleName(role), [&](User &u) { u.role = role; });
        } else {
            const bool active = cl.userAction == "enable";
            done = active ? "ativado" : "desativado";
            change(c, login, "usuario", active ? "enabled" : "disabled", [&](User &u) { u.active = active; });
        }
        std::cout << "usuário " << login << ": " << done << std::endl;
        return 0;
    } catch (const rpc::Fault &f) {
        throw std::runtime_error(f.message().toStdString());
    }
}

} // namespace fiscal::server
