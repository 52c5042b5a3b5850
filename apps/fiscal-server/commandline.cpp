#include "commandline.h"

#include "storage/database.h"

#include <arpa/inet.h>
#include <cstring>

#include <algorithm>
#include <charconv>
#include <cstdlib>

namespace fiscal::server {

namespace {

int parseInt(const std::string &text, const std::string &option, int lo, int hi)
{
    int value = 0;
    const char *end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || p != end || value < lo || value > hi)
        throw UsageError(option + " espera um número de " + std::to_string(lo) + " a "
                         + std::to_string(hi) + ", veio '" + text + "'");
    return value;
}

bool set(const char *variable)
{
    return variable && *variable;
}

// An IP address as inet_ntop writes it, the way the server prints a peer (an IPv4 one as
// such, also written "::ffff:a.b.c.d"); empty when not one.
std::string canonicalAddress(const std::string &text)
{
    unsigned char bytes[16];
    char out[INET6_ADDRSTRLEN];
    for (const int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, text.c_str(), bytes) != 1)
            continue;
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (family == AF_INET6 && std::memcmp(bytes, mapped, sizeof mapped) == 0)
            return inet_ntop(AF_INET, bytes + 12, out, sizeof out) ? out : std::string();
        if (inet_ntop(family, bytes, out, sizeof out))
            return out;
    }
    return {};
}

// "127.0.0.1,::1": each an IP address as the server prints a peer's, so that it compares.
void addProxies(std::vector<std::string> &proxies, const std::string &list, const std::string &option)
{
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        std::string one = list.substr(from, comma - from);
        while (!one.empty() && one.front() == ' ')
            one.erase(0, 1);
        while (!one.empty() && one.back() == ' ')
            one.pop_back();
        if (!one.empty()) {
            const std::string canonical = canonicalAddress(one);
            if (canonical.empty())
                throw UsageError(option + " espera endereços IP separados por vírgula, veio '" + one + "'");
            proxies.push_back(canonical);
        }
        from = comma + 1;
    }
}

// migrate, backup and restore: one job each, then the program ends.
CommandLine parseJob(Command command, const std::vector<std::string> &args, const Environment &env)
{
    CommandLine cl;
    cl.command = command;
    const std::string name = args.front();
    bool roleGiven = false;
    std::vector<std::string> files;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0 || args[i + 1].empty())
                throw UsageError("falta o valor de " + a);
            return args[++i];
        };
        if (a == "--db") {
            cl.db = value();
        } else if (a == "--runtime-role" && command == Command::Migrate) {
            cl.runtimeRole = value();
            roleGiven = true;
        } else if (a.rfind("-", 0) != 0 && command != Command::Migrate) {
            files.push_back(a);
        } else {
            throw UsageError("opção desconhecida para " + name + ": " + a);
        }
    }
    if (command == Command::Migrate) {
        // The service's migration unit reads the settings of the instances it serves.
        if (cl.db.empty())
            cl.db = set(env.migrateDb) ? env.migrateDb : set(env.db) ? env.db : "";
        if (cl.db.empty())
            throw UsageError("falta --db BANCO (ou FISCAL_MIGRATE_DB, FISCAL_DB)");
        if (!roleGiven && set(env.runtimeRole) && isPostgresUrl(cl.db))
            cl.runtimeRole = env.runtimeRole;
        if (roleGiven && !isPostgresUrl(cl.db))
            throw UsageError("--runtime-role vale só para o PostgreSQL; um arquivo SQLite não tem usuários");
        return cl;
    }
    if (cl.db.empty())
        throw UsageError("falta --db BANCO");
    if (files.size() != 1)
        throw UsageError(name + " espera um ARQUIVO, a cópia");
    cl.file = files.front();
    if (isPostgresUrl(cl.db))
        throw UsageError(name + " é para bancos SQLite; para o PostgreSQL, pg_dump e pg_restore"
                                " (veja /usr/share/doc/fiscal-server/deploy.md.gz)");
    return cl;
}

// The users of the database: fiscal-server --db DB user ACTION ...
CommandLine parseUser(const std::vector<std::string> &args)
{
    CommandLine cl;
    cl.command = Command::User;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0 || args[i + 1].empty())
                throw UsageError("falta o valor de " + a);
            return args[++i];
        };
        if (a == "--db")
            cl.db = value();
        else if (a == "--role")
            cl.userRole = value();
        else if (a == "--name")
            cl.userName = value();
        else if (a.rfind("-", 0) == 0)
            throw UsageError("opção desconhecida para user: " + a);
        else
            words.push_back(a);
    }
    if (cl.db.empty())
        throw UsageError("falta --db BANCO");
    // words[0] is "user".
    if (words.size() < 2)
        throw UsageError("user espera add, passwd, role, disable, enable ou list");
    cl.userAction = words[1];
    const auto expect = [&](size_t n, const char *form) {
        if (words.size() != n)
            throw UsageError(std::string("uso: fiscal-server --db BANCO user ") + form);
    };
    if (cl.userAction == "add") {
        expect(3, "add USUÁRIO --role PAPEL [--name \"NOME\"]");
        if (cl.userRole.empty())
            throw UsageError("user add pede --role consulta, operador ou administrador");
    } else if (cl.userAction == "role") {
        expect(4, "role USUÁRIO PAPEL");
        cl.userRole = words[3];
        // An empty word (a script's unset variable) is no role either.
        if (cl.userRole.empty())
            throw UsageError("user role pede o papel: consulta, operador ou administrador");
    } else if (cl.userAction == "passwd" || cl.userAction == "disable" || cl.userAction == "enable") {
        expect(3, (cl.userAction + " USUÁRIO").c_str());
    } else if (cl.userAction == "list") {
        expect(2, "list");
    } else {
        throw UsageError("user espera add, passwd, role, disable, enable ou list, veio '" + cl.userAction + "'");
    }
    if (words.size() > 2)
        cl.userLogin = words[2];
    if (!cl.userRole.empty() && cl.userRole != "consulta" && cl.userRole != "operador"
        && cl.userRole != "administrador")
        throw UsageError("papel desconhecido '" + cl.userRole + "': use consulta, operador ou administrador");
    if ((!cl.userName.empty() || (!cl.userRole.empty() && cl.userAction != "role")) && cl.userAction != "add")
        throw UsageError("--role e --name valem só para user add");
    return cl;
}

void parseAuth(const std::string &text, CommandLine &cl)
{
    if (text == "usuarios") {
        cl.auth = AuthMode::Users;
    } else if (text == "nenhuma") {
        cl.auth = AuthMode::None;
    } else if (text == "pam" || text.rfind("pam:", 0) == 0) {
        cl.auth = AuthMode::Pam;
        if (text.size() > 4)
            cl.pamService = text.substr(4);
        else if (text.size() == 4)
            throw UsageError("--auth pam: falta o nome do serviço depois dos dois-pontos");
    } else {
        throw UsageError("--auth espera usuarios, pam[:SERVIÇO] ou nenhuma, veio '" + text + "'");
    }
}

} // namespace

bool isLoopback(const std::string &address)
{
    return address == "localhost" || address == "::1" || address.rfind("127.", 0) == 0;
}

const char *usageText()
{
    return "uso: fiscal-server --db BANCO --init [--demo small|large]\n"
           "     fiscal-server --db BANCO [--init] --listen ENDEREÇO:PORTA [--token TOKEN] [--tokens ARQUIVO]\n"
           "            [--history-days N] [--workers N] [--pool N] [--drain SEGUNDOS]\n"
           "            [--read-limit S] [--save-limit S] [--bulk-limit S] [--lock-wait S]\n"
           "            [--heavy-per-batch N] [--trusted-proxy ENDEREÇO[,ENDEREÇO...]]\n"
           "            [--auth usuarios|pam[:SERVIÇO]|nenhuma] [--session-hours N]\n"
           "     fiscal-server migrate [--db BANCO] [--runtime-role PAPEL]\n"
           "     fiscal-server backup --db BANCO ARQUIVO\n"
           "     fiscal-server restore --db BANCO ARQUIVO\n"
           "     fiscal-server --db BANCO user add|passwd|role|disable|enable|list ...\n"
           "     fiscal-server --help | --version\n"
           "Veja fiscal-server --help.\n";
}

const char *helpText()
{
    return "fiscal-server: servidor de aplicação dos parâmetros de grupo fiscal.\n"
           "Atende Ger10200.rdmParamGrupFiscal e Ger10201.rdmCadAutParGrpFis por JSON-RPC sobre\n"
           "HTTP (POST /rpc/OBJETO), sobre um banco SQLite ou PostgreSQL.\n"
           "\n"
           "uso: fiscal-server --db BANCO --init [--demo small|large]\n"
           "     fiscal-server --db BANCO [--init] --listen ENDEREÇO:PORTA [--token TOKEN] [--tokens ARQUIVO]\n"
           "            [--history-days N] [--workers N] [--pool N] [--drain SEGUNDOS]\n"
           "            [--read-limit S] [--save-limit S] [--bulk-limit S] [--lock-wait S]\n"
           "            [--heavy-per-batch N] [--trusted-proxy ENDEREÇO[,ENDEREÇO...]]\n"
           "            [--auth usuarios|pam[:SERVIÇO]|nenhuma] [--session-hours N]\n"
           "     fiscal-server migrate [--db BANCO] [--runtime-role PAPEL]\n"
           "     fiscal-server backup --db BANCO ARQUIVO\n"
           "     fiscal-server restore --db BANCO ARQUIVO\n"
           "     fiscal-server --db BANCO user add USUÁRIO --role PAPEL [--name \"NOME\"]\n"
           "     fiscal-server --db BANCO user passwd|disable|enable USUÁRIO\n"
           "     fiscal-server --db BANCO user role USUÁRIO PAPEL\n"
           "     fiscal-server --db BANCO user list\n"
           "\n"
           "Opções:\n"
           "  --db BANCO               arquivo SQLite ou URL do PostgreSQL\n"
           "                           (postgresql://usuário@servidor:porta/banco)\n"
           "  --init                   cria ou atualiza o esquema; pode ser repetido sem perigo.\n"
           "                           Com --listen, prepara o banco e depois o serve. Sem\n"
           "                           --init, o servidor não atende um esquema de outra versão\n"
           "  --demo small|large       com --init, grava dados de demonstração num banco vazio\n"
           "  --listen ENDEREÇO:PORTA  atende nesse endereço (IPv6 entre colchetes: [::1]:8211);\n"
           "                           a porta 0 escolhe uma livre\n"
           "  --auth MODO              usuarios (o padrão): cada pessoa entra com usuário e senha\n"
           "                           do banco (Ger10206.rdmSessao.Entrar); pam[:SERVIÇO]: a senha é\n"
           "                           conferida pelo PAM (serviço fiscal-server se não dito) e o\n"
           "                           papel vem dos grupos fiscal-consulta, fiscal-operador e\n"
           "                           fiscal-administrador; nenhuma: ninguém entra e o histórico\n"
           "                           registra o nome que o cliente declara, marcado (não\n"
           "                           autenticado); só com --listen num endereço local\n"
           "  --session-hours N        uma sessão sem chamadas expira depois de N horas (1 a 720;\n"
           "                           padrão 8)\n"
           "  --token TOKEN            aceita \"Authorization: Bearer TOKEN\" como o usuário 'token',\n"
           "                           com o papel operador (para scripts)\n"
           "  --tokens ARQUIVO         um token por usuário: linhas usuário:SHA-256-do-token[:papel]\n"
           "                           (printf %s TOKEN | sha256sum; papel operador se não dito);\n"
           "                           o histórico registra o dono do token\n"
           "  --history-days N         guarda o histórico de alterações por N dias e apaga as\n"
           "                           operações mais antigas (ao iniciar e de hora em hora);\n"
           "                           0, o padrão, guarda tudo\n"
           "  --workers N              threads de atendimento, de 1 a 64 (padrão 4)\n"
           "  --pool N                 conexões com o banco, de 1 a 256 (padrão: uma por thread);\n"
           "                           com menos conexões que threads, uma chamada espera a sua\n"
           "  --drain SEGUNDOS         ao receber SIGTERM, passa a responder 503 em /health e a\n"
           "                           fechar cada conexão depois da resposta, e para quando não\n"
           "                           resta conexão ou passado esse tempo (0 a 300; padrão 0:\n"
           "                           para logo); um segundo SIGTERM para na hora\n"
           "  --read-limit S           tempo máximo de uma consulta, em segundos (padrão 120)\n"
           "  --save-limit S           tempo máximo de uma gravação de linhas da grade (padrão 30)\n"
           "  --bulk-limit S           tempo máximo de um cadastramento automático, replicação,\n"
           "                           desfazer ou sua simulação (padrão 900). Passado o tempo,\n"
           "                           a chamada é cancelada e nada dela é gravado; uma resposta\n"
           "                           que o cliente lê devagar é cortada no mesmo prazo. Os três\n"
           "                           de 1 a 86400\n"
           "  --lock-wait S            quanto uma gravação espera por um registro que outra\n"
           "                           operação está alterando antes de responder \"O registro está\n"
           "                           sendo alterado por outra operação; tente novamente.\"\n"
           "                           (1 a 600; padrão 5)\n"
           "  --heavy-per-batch N      chamadas pesadas (GetDados, relatórios, operações em massa)\n"
           "                           aceitas num só lote, de 1 a 1000 (padrão 4)\n"
           "  --trusted-proxy ENDEREÇOS  proxies (o nginx da máquina: 127.0.0.1,::1) de quem o\n"
           "                           servidor aceita X-Forwarded-For como o endereço do cliente,\n"
           "                           no registro de chamadas e no histórico; pode ser repetida\n"
           "  --help, -h               mostra esta ajuda e sai\n"
           "\n"
           "Tarefas:\n"
           "  migrate                  cria ou atualiza o esquema e termina; nada faz quando ele\n"
           "                           já está na versão deste programa. No PostgreSQL, rode com\n"
           "                           o dono do banco; as gravações continuam enquanto isso. O\n"
           "                           banco vem de --db, FISCAL_MIGRATE_DB ou FISCAL_DB\n"
           "  --runtime-role PAPEL     com migrate (PostgreSQL), dá ao papel com que os servidores\n"
           "                           se conectam só ler e gravar as linhas das tabelas (também\n"
           "                           de FISCAL_RUNTIME_ROLE)\n"
           "  backup --db BANCO ARQUIVO  copia o banco SQLite para um ARQUIVO novo, num só\n"
           "                           momento, enquanto os servidores continuam gravando\n"
           "  restore --db BANCO ARQUIVO  põe a cópia ARQUIVO no lugar do conteúdo do banco\n"
           "                           SQLite (pare os servidores antes); confere a cópia primeiro\n"
           "  user add USUÁRIO --role PAPEL [--name \"NOME\"]  cria um usuário; a senha é pedida\n"
           "                           duas vezes no terminal, ou lida numa linha da entrada padrão\n"
           "  user passwd USUÁRIO      troca a senha (do mesmo modo) e encerra as sessões dele\n"
           "  user role USUÁRIO PAPEL  muda o papel: consulta, operador ou administrador\n"
           "  user disable|enable USUÁRIO  desativa (encerrando as sessões) ou reativa\n"
           "  user list                lista os usuários\n"
           "  --version                mostra a versão e sai\n"
           "\n"
           "Variáveis de ambiente:\n"
           "  FISCAL_SERVER_TOKEN      o token, quando --token não é dado (não aparece na\n"
           "                           lista de processos)\n"
           "  FISCAL_POOL, FISCAL_DRAIN  --pool e --drain, quando não são dados\n"
           "  FISCAL_SERVER_TOKENS     o arquivo de tokens, quando --tokens não é dado\n"
           "  FISCAL_HISTORY_DAYS      os dias de histórico, quando --history-days não é dado\n"
           "  FISCAL_TRUSTED_PROXY     os proxies confiáveis, quando --trusted-proxy não é dado\n"
           "  FISCAL_AUTH, FISCAL_SESSION_HOURS  --auth e --session-hours, quando não são dados\n"
           "  FISCAL_PAM_CONFDIR       pasta de configuração do PAM no lugar de /etc/pam.d\n"
           "  FISCAL_MIGRATE_DB, FISCAL_DB, FISCAL_RUNTIME_ROLE  o banco e o papel de migrate\n"
           "  PGPASSWORD, PGHOST, PGUSER, ...  as da libpq, para o PostgreSQL\n"
           "\n"
           "Arquivo de configuração: nenhum. Instalado como serviço, fiscal-server@PORTA.service\n"
           "lê /etc/fiscal-server/fiscal-server.env (FISCAL_DB, FISCAL_ADDRESS, FISCAL_WORKERS,\n"
           "FISCAL_POOL, FISCAL_DRAIN, FISCAL_SERVER_TOKEN, FISCAL_SERVER_TOKENS,\n"
           "FISCAL_HISTORY_DAYS) e, só para aquela porta, /etc/fiscal-server/PORTA.env. Antes de\n"
           "cada instância, fiscal-server-migrate.service roda migrate com o mesmo arquivo e\n"
           "/etc/fiscal-server/migrate.env (FISCAL_MIGRATE_DB, FISCAL_RUNTIME_ROLE e a senha do dono).\n"
           "\n"
           "Operação: GET /health responde 200 enquanto o banco responde e 503 quando não\n"
           "responde ou durante o --drain; GET /metrics dá as métricas no formato de texto do\n"
           "Prometheus. Nenhum dos dois pede o token. Cada chamada escreve uma linha na saída\n"
           "de erro (hora, usuário, objeto, método, código, duração, bytes).\n"
           "\n"
           "Saída: 0 terminou ou parou (SIGTERM); 1 banco ou endereço inutilizável, esquema de outra\n"
           "versão, cópia recusada; 2 linha de comando errada.\n"
           "\n"
           "Exemplos:\n"
           "  fiscal-server --db var/demo.sqlite --init --demo small\n"
           "  fiscal-server --db /var/lib/fiscal-server/fiscal.sqlite --init --listen 127.0.0.1:8211\n"
           "  fiscal-server migrate --db postgresql://fiscal_dono@/fiscal --runtime-role fiscal\n"
           "  fiscal-server backup --db /var/lib/fiscal-server/fiscal.sqlite /var/backups/fiscal/fiscal.sqlite\n";
}

// As the storage library decides, so that a keyword string it opens as PostgreSQL is never
// taken for a file name here.
bool isPostgresUrl(const std::string &db)
{
    return storage::backendOf(db) == storage::Backend::Postgres;
}

Environment Environment::fromProcess()
{
    return {std::getenv("FISCAL_SERVER_TOKEN"), std::getenv("FISCAL_POOL"),
            std::getenv("FISCAL_DRAIN"),        std::getenv("FISCAL_SERVER_TOKENS"),
            std::getenv("FISCAL_HISTORY_DAYS"), std::getenv("FISCAL_DB"),
            std::getenv("FISCAL_MIGRATE_DB"),   std::getenv("FISCAL_RUNTIME_ROLE"),
            std::getenv("FISCAL_TRUSTED_PROXY"), std::getenv("FISCAL_AUTH"),       std::getenv("FISCAL_SESSION_HOURS")};
}

CommandLine parseCommandLine(const std::vector<std::string> &args, const Environment &env)
{
    if (!args.empty()) {
        if (args.front() == "migrate")
            return parseJob(Command::Migrate, args, env);
        if (args.front() == "backup")
            return parseJob(Command::Backup, args, env);
        if (args.front() == "restore")
            return parseJob(Command::Restore, args, env);
        for (size_t i = 0; i < args.size() && i < 3; ++i) {
            if (args[i] == "user" && (i == 0 || args[i - 1] != "--db"))
                return parseUser(args);
        }
    }
    CommandLine cl;
    bool tokenGiven = false;
    bool tokensGiven = false;
    bool daysGiven = false;
    bool workersGiven = false;
    bool poolGiven = false;
    bool drainGiven = false;
    bool limitsGiven = false;
    bool proxiesGiven = false;
    bool authGiven = false;
    bool hoursGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        const auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
                throw UsageError("falta o valor de " + a);
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            cl.help = true;
        } else if (a == "--version") {
            cl.version = true;
        } else if (a == "--db") {
            cl.db = value();
            if (cl.db.empty())
                throw UsageError("falta o valor de --db");
        } else if (a == "--init") {
            cl.init = true;
        } else if (a == "--demo") {
            const std::string &d = value();
            if (d != "small" && d != "large")
                throw UsageError("--demo espera 'small' ou 'large', veio '" + d + "'");
            cl.demo = d;
        } else if (a == "--listen") {
            const std::string &l = value();
            const auto colon = l.rfind(':');
            if (colon == std::string::npos || colon == 0)
                throw UsageError("--listen espera ENDEREÇO:PORTA, veio '" + l + "'");
            cl.address = l.substr(0, colon);
            if (cl.address.size() > 2 && cl.address.front() == '[' && cl.address.back() == ']')
                cl.address = cl.address.substr(1, cl.address.size() - 2);
            cl.port = std::uint16_t(parseInt(l.substr(colon + 1), "a porta de --listen", 0, 65535));
            cl.listen = true;
        } else if (a == "--token") {
            cl.token = value();
            if (cl.token.empty())
                throw UsageError("--token não pode ser vazio");
            tokenGiven = true;
        } else if (a == "--tokens") {
            cl.tokensFile = value();
            if (cl.tokensFile.empty())
                throw UsageError("falta o valor de --tokens");
            tokensGiven = true;
        } else if (a == "--history-days") {
            cl.historyDays = parseInt(value(), "--history-days", 0, kMaxHistoryDays);
            daysGiven = true;
        } else if (a == "--workers") {
            cl.workers = parseInt(value(), "--workers", 1, 64);
            workersGiven = true;
        } else if (a == "--pool") {
            cl.pool = parseInt(value(), "--pool", 1, 256);
            poolGiven = true;
        } else if (a == "--read-limit" || a == "--save-limit" || a == "--bulk-limit") {
            int &limit = a == "--read-limit" ? cl.readLimitSeconds
                       : a == "--save-limit" ? cl.saveLimitSeconds : cl.bulkLimitSeconds;
            limit = parseInt(value(), a, 1, 86400);
            limitsGiven = true;
        } else if (a == "--lock-wait") {
            cl.lockWaitSeconds = parseInt(value(), a, 1, 600);
            limitsGiven = true;
        } else if (a == "--heavy-per-batch") {
            cl.heavyPerBatch = parseInt(value(), a, 1, 1000);
            limitsGiven = true;
        } else if (a == "--trusted-proxy") {
            addProxies(cl.trustedProxies, value(), a);
            proxiesGiven = true;
        } else if (a == "--drain") {
            cl.drainSeconds = parseInt(value(), "--drain", 0, 300);
            drainGiven = true;
        } else if (a == "--auth") {
            parseAuth(value(), cl);
            authGiven = true;
        } else if (a == "--session-hours") {
            cl.sessionHours = parseInt(value(), "--session-hours", 1, 720);
            hoursGiven = true;
        } else {
            throw UsageError("opção desconhecida: " + a);
        }
    }
    if (cl.help || cl.version)
        return cl;
    if (cl.db.empty())
        throw UsageError("falta --db BANCO");
    if (!cl.init && !cl.listen)
        throw UsageError("diga --init, --listen ou os dois");
    if (cl.demo && !cl.init)
        throw UsageError("--demo só vale com --init");
    if ((tokenGiven || tokensGiven || daysGiven || workersGiven || poolGiven || drainGiven || limitsGiven
         || proxiesGiven || authGiven || hoursGiven) && !cl.listen)
        throw UsageError("--token, --tokens, --history-days, --workers, --pool, --drain, os limites, "
                         "--trusted-proxy, --auth e --session-hours só valem com --listen");
    if (!authGiven && env.auth && *env.auth)
        parseAuth(env.auth, cl);
    if (!hoursGiven && env.sessionHours && *env.sessionHours)
        cl.sessionHours = parseInt(env.sessionHours, "FISCAL_SESSION_HOURS", 1, 720);
    // Without sign-in anyone who reaches the port is anyone: only this machine may.
    if (cl.listen && cl.auth == AuthMode::None && !isLoopback(cl.address))
        throw UsageError("--auth nenhuma só vale num endereço local (127.0.0.1, ::1); em " + cl.address
                         + " cada pessoa deve entrar com o seu usuário");
    if (!tokenGiven && env.token)
        cl.token = env.token;
    if (!cl.token.empty() && cl.token.size() < kMinTokenLength)
        throw UsageError("o token deve ter ao menos " + std::to_string(kMinTokenLength)
                         + " caracteres (openssl rand -hex 32 gera um)");
    if (!proxiesGiven && set(env.trustedProxy))
        addProxies(cl.trustedProxies, env.trustedProxy, "FISCAL_TRUSTED_PROXY");
    if (!tokensGiven && env.tokensFile)
        cl.tokensFile = env.tokensFile;
    // An empty variable (a setting left blank in the environment file) means the default.
    if (!poolGiven && env.pool && *env.pool)
        cl.pool = parseInt(env.pool, "FISCAL_POOL", 1, 256);
    if (!drainGiven && env.drain && *env.drain)
        cl.drainSeconds = parseInt(env.drain, "FISCAL_DRAIN", 0, 300);
    if (!daysGiven && env.historyDays && *env.historyDays)
        cl.historyDays = parseInt(env.historyDays, "FISCAL_HISTORY_DAYS", 0, kMaxHistoryDays);
    return cl;
}

} // namespace fiscal::server
