#include "rpc/caller.h"

#include "rpc/envelope.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QUrl>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fiscal::rpc {

namespace {

thread_local Caller t_caller;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

const Caller &currentCaller()
{
    return t_caller;
}

CallerScope::CallerScope(Caller caller) : m_previous(std::move(t_caller))
{
    t_caller = std::move(caller);
}

CallerScope::~CallerScope()
{
    t_caller = std::move(m_previous);
}

bool isRoleName(std::string_view name)
{
    for (const char *role : kRoles)
        if (name == role)
            return true;
    return false;
}

bool isValidUserName(std::string_view utf8)
{
    if (!isValidUtf8(QByteArrayView(utf8.data(), qsizetype(utf8.size()))))
        return false;
    const QString name = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
    if (name.toUcs4().size() > kMaxUserLength)
        return false;
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

std::string encodeUserHeader(const QString &user)
{
    return QUrl::toPercentEncoding(user).toStdString();
}

std::optional<std::string> decodeUserHeader(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '%') {
            const bool complete = i + 2 < value.size();
            const int hi = complete ? hexValue(value[i + 1]) : -1;
            const int lo = complete ? hexValue(value[i + 2]) : -1;
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out += char(hi * 16 + lo);
            i += 2;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            return std::nullopt;
        } else {
            out += c;
        }
    }
    if (!isValidUserName(out))
        return std::nullopt;
    return out;
}

std::string TokenTable::hash(std::string_view token)
{
    return QCryptographicHash::hash(QByteArrayView(token.data(), qsizetype(token.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

TokenTable TokenTable::parse(std::string_view text)
{
    TokenTable t;
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#')
            continue;
        const auto fail = [number](const std::string &why) {
            throw std::invalid_argument("linha " + std::to_string(number) + ": " + why);
        };
        std::size_t colon = line.rfind(':');
        if (colon == std::string_view::npos)
            fail("esperado usuário:sha256-do-token[:papel]");
        std::string role = "operador";
        std::string_view rest = line;
        if (const std::string_view last = trimmed(line.substr(colon + 1)); isRoleName(last)) {
            role = std::string(last);
            rest = line.substr(0, colon);
            colon = rest.rfind(':');
            if (colon == std::string_view::npos)
                fail("esperado usuário:sha256-do-token[:papel]");
        }
        const std::string_view user = trimmed(rest.substr(0, colon));
        std::string digest(trimmed(rest.substr(colon + 1)));
        if (user.empty() || !isValidUserName(user))
            fail("nome de usuário vazio ou inválido");
        bool hex = digest.size() == 64;
        for (char &c : digest) {
            hex = hex && hexValue(c) >= 0;
            if (c >= 'A' && c <= 'F')
                c = char(c - 'A' + 'a');
        }
        if (!hex)
            fail("o hash deve ter 64 dígitos hexadecimais (SHA-256 do token), seguido ou não de um papel"
                 " (consulta, operador ou administrador)");
        // `printf %s "$TOKEN" | sha256sum` with $TOKEN unset gives this: anyone could call as the user.
        if (digest == hash({}))
            fail("este é o hash de um token vazio (a variável do token estava vazia?)");
        if (!t.m_users.emplace(digest, Owner{std::string(user), std::move(role)}).second)
            fail("o mesmo token aparece duas vezes");
    }
    return t;
}

TokenTable TokenTable::load(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("não foi possível ler o arquivo de tokens " + path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return parse(text.str());
    } catch (const std::invalid_argument &e) {
        throw std::invalid_argument(path + ", " + e.what());
    }
}

std::optional<std::string> TokenTable::userOf(std::string_view token) const
{
    if (std::optional<Identity> who = find(token))
        return std::move(who->user);
    return std::nullopt;
}

std::optional<Identity> TokenTable::find(std::string_view token) const
{
    const auto it = m_users.find(hash(token));
    if (it == m_users.end())
        return std::nullopt;
    return Identity{it->second.user, it->second.role, {}};
}

} // namespace fiscal::rpc
