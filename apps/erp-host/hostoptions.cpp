#include "hostoptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSettings>
#include <memory>

#include <pwd.h>
#include <unistd.h>

#ifndef FISCAL_DEFAULT_MODULE
#define FISCAL_DEFAULT_MODULE ""
#endif
#ifndef FISCAL_MODULE_DIR
#define FISCAL_MODULE_DIR ""
#endif
#ifndef FISCAL_VERSION
#define FISCAL_VERSION "0"
#endif

namespace {

struct OptionInfo {
    const char *name;
    const char *value;      // nullptr: a switch; "[X]": an optional value
    const char *text;
};

// Every option of the host. The parser refuses what is not here, so --help cannot miss one.
const OptionInfo kOptions[] = {
    {"--server", "URL", "servidor de aplicação, http(s)://HOST:PORTA (padrão http://127.0.0.1:8211)"},
    {"--db", "BANCO", "consultas direto no banco (arquivo SQLite ou URL do PostgreSQL); sem ele, pelo servidor"},
    {"--token", "TOKEN", "token exigido pelo servidor, se houver; outros usuários da máquina veem a linha de comando:"
                         " prefira FISCAL_TOKEN ou [server] token num arquivo só seu"},
    {"--cafile", "ARQUIVO.pem", "com https: autoridades em que confiar (padrão: as do sistema)"},
    {"--user", "NOME", "usuário com que entrar no servidor; num servidor sem entrada, o nome que o histórico registra"},
    {"--password-stdin", nullptr, "com --user: lê a senha numa linha da entrada padrão e entra sem perguntar"},
    {"--module", "BIBLIOTECA", "módulo a carregar; repita para vários (substitui os configurados)"},
    {"--open", "[MÓDULO]", "abre a tela principal do módulo ao iniciar (havendo vários, diga qual)"},
    {"--config", "ARQUIVO.ini", "arquivo de configuração no lugar do do usuário"},
    {"--screenshot", "ARQUIVO.png", "abre a tela principal, grava uma imagem da janela e sai"},
    {"--screenshot-timeout", "MS", "quanto esperar a tela carregar os dados (padrão 60000)"},
    {"--window", "JANELA", "com --screenshot: grava uma janela do módulo sozinha (cobertura, ajuda)"},
    {"--tab", "N", "com --screenshot: a tela principal na aba N (1 a 9)"},
    {"--dialog", "JANELA", "com --screenshot: a janela aberta sobre a tela principal (automatico, ...)"},
    {"--exit-when-drawn", nullptr, "abre a tela principal, escreve \"drawn\" quando ela aparece com os dados e sai"},
    {"--help", nullptr, "mostra esta ajuda e sai (também -h)"},
    {"--version", nullptr, "mostra a versão e sai"},
};

const OptionInfo *findOption(const QString &arg)
{
    for (const OptionInfo &o : kOptions) {
        if (arg == QLatin1String(o.name)) {
            return &o;
        }
    }
    return nullptr;
}

QString optionLabel(const OptionInfo &o)
{
    QString label = QString::fromLatin1(o.name);
    if (o.value) {
        label += QLatin1Char(' ') + QString::fromUtf8(o.value);
    }
    return label;
}

// The modules a fresh host loads: those installed beside it, else the one built with it.
QStringList defaultModules()
{
    const QString relative = QString::fromUtf8(FISCAL_MODULE_DIR);
    if (!relative.isEmpty()) {
        const QDir dir(QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative);
        QStringList found;
        for (const QFileInfo &f : dir.entryInfoList({QStringLiteral("lib*.so")}, QDir::Files, QDir::Name)) {
            found << f.absoluteFilePath();
        }
        if (!found.isEmpty()) {
            return found;
        }
    }
    const QString built = QString::fromUtf8(FISCAL_DEFAULT_MODULE);
    return built.isEmpty() ? QStringList() : QStringList{built};
}

// The operating system's name for whoever runs the host.
QString systemLogin()
{
    if (const passwd *pw = getpwuid(geteuid()); pw && pw->pw_name) {
        return QString::fromLocal8Bit(pw->pw_name);
    }
    return qEnvironmentVariable("USER", qEnvironmentVariable("LOGNAME"));
}

QStringList nonEmpty(const QStringList &list)
{
    QStringList out;
    for (const QString &s : list) {
        if (!s.trimmed().isEmpty()) {
            out << s.trimmed();
        }
    }
    return out;
}

} // namespace

QString applicationTitle()
{
    return QStringLiteral("Grupos Fiscais %1").arg(QStringLiteral(FISCAL_VERSION));
}

QString moduleName(const QString &libraryPath)
{
    QString name = QFileInfo(libraryPath).fileName().section(QLatin1Char('.'), 0, 0);
    if (name.startsWith(QLatin1String("lib")) && name.size() > 3) {
        name.remove(0, 3);
    }
    return name;
}

QString hostUsage()
{
    // Wrapped synopsis made from the option table.
    const QString lead = QStringLiteral("uso: erp-host");
    QString text = lead;
    int column = int(lead.size());
    for (const OptionInfo &o : kOptions) {
        const QString item = QStringLiteral(" [%1]").arg(optionLabel(o));
        if (column + item.size() > 92) {
            text += QLatin1Char('\n') + QString(lead.size(), QLatin1Char(' '));
            column = int(lead.size());
        }
        text += item;
        column += int(item.size());
    }
    return text + QStringLiteral("\nVeja erp-host --help.\n");
}

QString hostHelp()
{
    QString text = QStringLiteral(
        "%1: abre os módulos do sistema de gestão e a tela principal de cada um.\n\n"
        "uso: erp-host [OPÇÕES]\n\nOpções:\n").arg(applicationTitle());
    for (const OptionInfo &o : kOptions) {
        text += QStringLiteral("  %1 %2\n").arg(optionLabel(o), -26).arg(QString::fromUtf8(o.text));
    }
    text += QStringLiteral(
        "  As opções do Qt, como -platform offscreen ou -display :0, também valem.\n"
        "\n"
        "As janelas de --dialog e --window são as que o módulo oferece; um nome que ele não\n"
        "conhece é recusado com a lista das que há.\n"
        "\n"
        "Variáveis de ambiente (valem sobre o arquivo; a linha de comando vale sobre elas):\n"
        "  FISCAL_SERVER    como --server\n"
        "  FISCAL_DB        como --db\n"
        "  FISCAL_TOKEN     como --token\n"
        "  FISCAL_CAFILE    como --cafile\n"
        "  FISCAL_USER      como --user\n"
        "  FISCAL_MODULE    como --module; vários separados por ':'\n"
        "\n"
        "Arquivo de configuração (INI): --config ARQUIVO, senão ~/.config/fiscal/erp-host.ini\n"
        "e, para o que ele não disser, /etc/xdg/fiscal/erp-host.ini:\n"
        "  [server]    url=URL          token=TOKEN       cafile=ARQUIVO.pem\n"
        "  [user]      name=NOME\n"
        "  [database]  connection=BANCO\n"
        "  [modules]   path=BIBLIOTECA  (vários separados por vírgula)\n"
        "Sem módulo configurado, o aplicativo carrega os módulos instalados com ele.\n"
        "\n"
        "Exemplos:\n"
        "  erp-host --server http://127.0.0.1:8211 --open\n"
        "  erp-host --open Pkg_Ger10200 --screenshot tela.png\n"
        "  erp-host --screenshot janela.png --dialog automatico\n"
        "  erp-host --server https://fiscal.empresa.com.br --cafile /etc/ssl/certs/empresa-ca.pem --open\n");
    return text;
}

bool parseHostCommandLine(const QStringList &arguments, HostCommandLine &cli, QString &error)
{
    cli = HostCommandLine();
    for (int i = 1; i < arguments.size(); ++i) {
        QString arg = arguments.at(i);
        if (arg.startsWith(QLatin1Char('-')) && !arg.startsWith(QLatin1String("--")) && arg != QLatin1String("-h")) {
            // Qt's option, and its value when one follows.
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'))) {
                ++i;
            }
            continue;
        }
        QString inlineValue;
        bool hasInlineValue = false;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            inlineValue = arg.section(QLatin1Char('='), 1);
            arg = arg.section(QLatin1Char('='), 0, 0);
            hasInlineValue = true;
        }
        if (arg == QLatin1String("-h")) {
            arg = QStringLiteral("--help");
        }
        const OptionInfo *option = findOption(arg);
        if (!option) {
            error = QStringLiteral("opção desconhecida: %1").arg(arguments.at(i));
            return false;
        }
        if (hasInlineValue && !option->value) {
            error = QStringLiteral("%1 não leva valor").arg(arg);
            return false;
        }
        auto value = [&]() -> std::optional<QString> {
            if (hasInlineValue) {
                return inlineValue;
            }
            // "--user --password-stdin": the next option is not the user's name.
            if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1String("--"))) {
                return arguments.at(++i);
            }
            error = QStringLiteral("falta o valor de %1").arg(arg);
            return std::nullopt;
        };
        if (arg == QLatin1String("--open")) {
            // The name is optional: taken from "=NAME" or from a next word that is no option.
            cli.open = true;
            if (hasInlineValue) {
                cli.openModule = inlineValue;
            } else if (i + 1 < arguments.size() && !arguments.at(i + 1).startsWith(QLatin1Char('-'))) {
                cli.openModule = arguments.at(++i);
            }
            continue;
        }
        if (arg == QLatin1String("--help")) {
            cli.help = true;
            continue;
        }
        if (arg == QLatin1String("--version")) {
            cli.version = true;
            continue;
        }
        if (arg == QLatin1String("--exit-when-drawn")) {
            cli.exitWhenDrawn = true;
            continue;
        }
        if (arg == QLatin1String("--password-stdin")) {
            cli.passwordStdin = true;
            continue;
        }
        const std::optional<QString> v = value();
        if (!v) {
            return false;
        }
        if (arg == QLatin1String("--server")) {
            cli.server = *v;
        } else if (arg == QLatin1String("--db")) {
            cli.database = *v;
        } else if (arg == QLatin1String("--token")) {
            cli.token = *v;
        } else if (arg == QLatin1String("--cafile")) {
            cli.caFile = *v;
        } else if (arg == QLatin1String("--user")) {
            cli.user = *v;
        } else if (arg == QLatin1String("--module")) {
            cli.modules << *v;
        } else if (arg == QLatin1String("--screenshot")) {
            cli.screenshot = *v;
        } else if (arg == QLatin1String("--window")) {
            cli.window = *v;
        } else if (arg == QLatin1String("--config")) {
            cli.configFile = *v;
        } else if (arg == QLatin1String("--screenshot-timeout")) {
            bool ok = false;
            cli.screenshotTimeoutMs = v->toInt(&ok);
            if (!ok || cli.screenshotTimeoutMs <= 0) {
                error = QStringLiteral("tempo inválido: %1").arg(*v);
                return false;
            }
        } else if (arg == QLatin1String("--tab")) {
            bool ok = false;
            cli.screenshotTab = v->toInt(&ok);
            if (!ok || cli.screenshotTab < 1 || cli.screenshotTab > 9) {
                error = QStringLiteral("aba inválida: %1 (use 1 a 9)").arg(*v);
                return false;
            }
        } else if (arg == QLatin1String("--dialog")) {
            cli.screenshotDialog = *v;
        }
    }
    return true;
}

bool readHostOptions(const HostCommandLine &cli, HostOptions &out, QString &error)
{
    HostOptions result;
    result.modules = defaultModules();

    // Settings file. Without --config, keys the user's file lacks come from the system's.
    std::unique_ptr<QSettings> file;
    if (!cli.configFile.isEmpty()) {
        const QFileInfo info(cli.configFile);
        if (!info.exists()) {
            error = QStringLiteral("arquivo de configuração não encontrado: %1").arg(cli.configFile);
            return false;
        }
        file = std::make_unique<QSettings>(cli.configFile, QSettings::IniFormat);
    } else {
        file = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                           QStringLiteral("fiscal"), QStringLiteral("erp-host"));
    }
    // One that is there but cannot be read would leave every key at its default, without a
    // word: the clerk would meet a server out of reach, with nothing pointing at the file.
    // QSettings' status covers the system's files behind the user's as well: only a file
    // given by --config is judged by it.
    const QString path = cli.configFile.isEmpty() ? file->fileName() : cli.configFile;
    const QFileInfo info(path);
    if (info.exists() && (!info.isFile() || !info.isReadable()
                          || (!cli.configFile.isEmpty() && file->status() != QSettings::NoError))) {
        error = QStringLiteral("arquivo de configuração ilegível: %1").arg(path);
        return false;
    }
    // Without a file of the user's, every key comes from the system's (the server's address
    // of every desktop): one that cannot be read is as much the clerk's dead end.
    if (cli.configFile.isEmpty() && !info.exists()) {
        const QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS", QStringLiteral("/etc/xdg"));
        for (const QString &dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            const QFileInfo system(dir + QStringLiteral("/fiscal/erp-host.ini"));
            if (system.exists() && (!system.isFile() || !system.isReadable())) {
                error = QStringLiteral("arquivo de configuração ilegível: %1").arg(system.filePath());
                return false;
            }
        }
    }
    // An unquoted comma makes an INI value a list, whose toString() is empty: one text here
    // (spaces after its commas are lost; a value in quotes keeps them).
    const auto text = [&file](const char *key, const QString &fallback) {
        const QVariant v = file->value(QLatin1String(key), fallback);
        return v.typeId() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(',')) : v.toString();
    };
    result.server = text("server/url", result.server);
    result.token = text("server/token", result.token);
    result.caFile = text("server/cafile", result.caFile);
    result.user = text("user/name", result.user);
    result.database = text("database/connection", result.database);
    const QStringList fileModules = nonEmpty(file->value(QStringLiteral("modules/path")).toStringList());
    if (!fileModules.isEmpty()) {
        result.modules = fileModules;
    }

    // Environment.
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    auto fromEnv = [&env](const char *name, QString &target) {
        const QString v = env.value(QString::fromLatin1(name));
        if (!v.isEmpty()) {
            target = v;
        }
    };
    fromEnv("FISCAL_SERVER", result.server);
    fromEnv("FISCAL_DB", result.database);
    fromEnv("FISCAL_TOKEN", result.token);
    fromEnv("FISCAL_CAFILE", result.caFile);
    fromEnv("FISCAL_USER", result.user);
    const QStringList envModules = nonEmpty(env.value(QStringLiteral("FISCAL_MODULE")).split(QLatin1Char(':')));
    if (!envModules.isEmpty()) {
        result.modules = envModules;
    }

    // Command line.
    result.server = cli.server.value_or(result.server);
    result.database = cli.database.value_or(result.database);
    result.token = cli.token.value_or(result.token);
    result.caFile = cli.caFile.value_or(result.caFile);
    result.user = cli.user.value_or(result.user);
    // Named anywhere (the command line, FISCAL_USER, the file's [user] name), not guessed.
    result.userGiven = !result.user.trimmed().isEmpty();
    result.passwordStdin = cli.passwordStdin;
    if (result.user.trimmed().isEmpty()) {
        result.user = systemLogin();
    }
    if (!cli.modules.isEmpty()) {
        result.modules = cli.modules;
    }
    result.open = cli.open;
    result.openModule = cli.openModule;
    result.screenshot = cli.screenshot;
    result.window = cli.window;
    result.screenshotTimeoutMs = cli.screenshotTimeoutMs;
    result.screenshotTab = cli.screenshotTab;
    result.screenshotDialog = cli.screenshotDialog;
    result.exitWhenDrawn = cli.exitWhenDrawn;
    result.configFile = cli.configFile;
    out = result;
    return true;
}

int moduleToOpen(const HostOptions &options, QString &error)
{
    QStringList names;
    for (const QString &path : options.modules) {
        names << moduleName(path);
    }
    if (names.isEmpty()) {
        error = QStringLiteral("nenhum módulo configurado");
        return -1;
    }
    if (options.openModule.isEmpty()) {
        if (names.size() == 1 || !options.open) {
            return 0;   // --screenshot alone shows the first module
        }
        error = QStringLiteral("há vários módulos (%1); diga qual abrir: --open MÓDULO").arg(names.join(QStringLiteral(", ")));
        return -1;
    }
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i).compare(options.openModule, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    error = QStringLiteral("módulo não configurado: %1 (há: %2)").arg(options.openModule, names.join(QStringLiteral(", ")));
    return -1;
}
