#include "commandline.h"

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

} // namespace

const char *usageText()
{
    return "uso: fiscal-server --db BANCO --init [--demo small|large]\n"
           "     fiscal-server --db BANCO [--init] --listen ENDEREÇO:PORTA [--token TOKEN] [--tokens ARQUIVO]\n"
           "            [--history-days N] [--workers N] [--pool N] [--drain SEGUNDOS]\n"
           "     fiscal-server migrate [--db BANCO] [--runtime-role PAPEL]\n"
           "     fiscal-server backup --db BANCO ARQUIVO\n"
           "     fiscal-server restore --db BANCO ARQUIVO\n"
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
           "     fiscal-server migrate [--db BANCO] [--runtime-role PAPEL]\n"
           "     fiscal-server backup --db BANCO ARQUIVO\n"
           "     fiscal-server restore --db BANCO ARQUIVO\n"
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
           "  --token TOKEN            exige \"Authorization: Bearer TOKEN\" em cada chamada; o\n"
           "                           histórico registra o usuário que o cliente declara\n"
           "  --tokens ARQUIVO         um token por usuário: linhas usuário:SHA-256-do-token\n"
           "                           (printf %s TOKEN | sha256sum); o histórico registra o\n"
           "                           dono do token, nunca o nome que o cliente declara\n"
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
           "  --version                mostra a versão e sai\n"
           "\n"
           "Variáveis de ambiente:\n"
           "  FISCAL_SERVER_TOKEN      o token, quando --token não é dado (não aparece na\n"
           "                           lista de processos)\n"
           "  FISCAL_POOL, FISCAL_DRAIN  --pool e --drain, quando não são dados\n"
           "  FISCAL_SERVER_TOKENS     o arquivo de tokens, quando --tokens não é dado\n"
           "  FISCAL_HISTORY_DAYS      os dias de histórico, quando --history-days não é dado\n"
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

bool isPostgresUrl(const std::string &db)
{
    for (const char *prefix : {"postgresql://", "postgres://", "host=", "dbname="})
        if (db.rfind(prefix, 0) == 0)
            return true;
    return false;
}

Environment Environment::fromProcess()
{
    return {std::getenv("FISCAL_SERVER_TOKEN"), std::getenv("FISCAL_POOL"),
            std::getenv("FISCAL_DRAIN"),        std::getenv("FISCAL_SERVER_TOKENS"),
            std::getenv("FISCAL_HISTORY_DAYS"), std::getenv("FISCAL_DB"),
            std::getenv("FISCAL_MIGRATE_DB"),   std::getenv("FISCAL_RUNTIME_ROLE")};
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
    }
    CommandLine cl;
    bool tokenGiven = false;
    bool tokensGiven = false;
    bool daysGiven = false;
    bool workersGiven = false;
    bool poolGiven = false;
    bool drainGiven = false;
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
        } else if (a == "--drain") {
            cl.drainSeconds = parseInt(value(), "--drain", 0, 300);
            drainGiven = true;
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
    if ((tokenGiven || tokensGiven || daysGiven || workersGiven || poolGiven || drainGiven) && !cl.listen)
        throw UsageError("--token, --tokens, --history-days, --workers, --pool e --drain só valem com --listen");
    if (!tokenGiven && env.token)
        cl.token = env.token;
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
