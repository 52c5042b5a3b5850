#include "appserver/common/args.h"

#include "appserver/common/faults.h"
#include "appserver/common/text.h"
#include "rpc/envelope.h"

#include <QLocale>
#include <QCborValue>
#include <QString>
#include <set>
#include <utility>

namespace fiscal::appserver {

namespace {

QString describe(const QCborValue &v)
{
    switch (v.type()) {
    case QCborValue::Null: return QStringLiteral("nulo");
    case QCborValue::Undefined: return QStringLiteral("indefinido");
    case QCborValue::Integer:
    case QCborValue::Double: return QStringLiteral("número");
    case QCborValue::True:
    case QCborValue::False: return QStringLiteral("lógico");
    case QCborValue::Array: return QStringLiteral("lista");
    case QCborValue::Map: return QStringLiteral("objeto");
    case QCborValue::String: return QStringLiteral("texto");
    default: return QStringLiteral("valor de outro tipo");
    }
}

QCborValue argAt(const QCborArray &params, qsizetype index, const char *what)
{
    if (index < 0 || index >= params.size())
        invalid(QStringLiteral("Argumento ausente: %1.").arg(QString::fromUtf8(what)));
    return params.at(index);
}

// Code points, not UTF-16 units: a column of 3 holds 3 characters whatever they are.
void checkText(const std::string &s, int maxSize, const char *what, bool secret = false)
{
    if (s.find('\0') != std::string::npos)
        invalid(QStringLiteral("O argumento %1 contém um caractere inválido.").arg(QString::fromUtf8(what)));
    if (maxSize >= 0 && codePoints(s) > std::size_t(maxSize) && secret)
        invalid(QStringLiteral("O argumento %1 tem mais de %2 caracteres.").arg(QString::fromUtf8(what)).arg(maxSize));
    if (maxSize >= 0 && codePoints(s) > std::size_t(maxSize))
        invalid(QStringLiteral("O argumento %1 tem mais de %2 caracteres: \"%3\".")
                    .arg(QString::fromUtf8(what)).arg(maxSize).arg(rpc::echoed(q(s))));
}

} // namespace

void expectCount(const QCborArray &params, qsizetype count, const char *method)
{
    if (params.size() != count)
        invalid(QStringLiteral("O método %1 espera %2 argumento(s), mas recebeu %3.")
                    .arg(QString::fromUtf8(method)).arg(count).arg(params.size()));
}

namespace {

// The text as sent (a leading U+FEFF kept), checked; `utf8` receives it in UTF-8.
QString textArg(const QCborArray &params, qsizetype index, int maxSize, const char *what, std::string &utf8,
                bool secret = false)
{
    const QCborValue v = argAt(params, index, what);
    if (!v.isString())
        invalid(QStringLiteral("O argumento %1 deve ser um texto, mas recebeu %2.")
                    .arg(QString::fromUtf8(what), describe(v)));
    QString text = rpc::textOf(v);
    utf8 = text.toStdString();
    checkText(utf8, maxSize, what, secret);
    return text;
}

} // namespace

std::string stringArg(const QCborArray &params, qsizetype index, int maxSize, const char *what)
{
    std::string s;
    textArg(params, index, maxSize, what, s);
    return s;
}

std::string secretArg(const QCborArray &params, qsizetype index, int maxSize, const char *what)
{
    std::string s;
    textArg(params, index, maxSize, what, s, true);
    return s;
}

bool boolArg(const QCborArray &params, qsizetype index, const char *what)
{
    const QCborValue v = argAt(params, index, what);
    if (!v.isBool())
        invalid(QStringLiteral("O argumento %1 deve ser verdadeiro ou falso, mas recebeu %2.")
                    .arg(QString::fromUtf8(what), describe(v)));
    return v.toBool();
}

std::string codeArg(const QCborArray &params, qsizetype index, int width, const char *what)
{
    return stringArg(params, index, width, what);
}

namespace {

// The quoted keys of a list, in order; repeated ones once unless `repeats`.
std::vector<std::string> parseQuoted(const std::string &text, int maxKeySize, const char *what, bool repeats)
{
    std::vector<std::string> keys;
    const auto bad = [&](const char *why) {
        invalid(QStringLiteral("Seleção inválida em %1: %2.")
                    .arg(QString::fromUtf8(what), QString::fromUtf8(why)));
    };
    std::set<std::string> seen;
    size_t i = 0;
    bool first = true;
    std::size_t count = 0;
    while (i < text.size()) {
        if (++count > kMaxSelectionKeys)
            invalid(QStringLiteral("Seleção grande demais em %1: mais de %2 chaves. Selecione \"todos\" "
                                   "ou divida a operação.")
                        .arg(QString::fromUtf8(what), QLocale(QLocale::Portuguese, QLocale::Brazil)
                                                          .toString(qlonglong(kMaxSelectionKeys))));
        if (!std::exchange(first, false)) {
            if (text[i] != ',')
                bad("esperava uma vírgula entre as chaves");
            ++i;
        }
        if (i >= text.size() || text[i] != '\'')
            bad("cada chave deve estar entre aspas simples");
        ++i;
        std::string key;
        bool closed = false;
        while (i < text.size()) {
            if (text[i] == '\'') {
                if (i + 1 < text.size() && text[i + 1] == '\'') {
                    key += '\'';
                    i += 2;
                    continue;
                }
                ++i;
                closed = true;
                break;
            }
            key += text[i++];
        }
        if (!closed)
            bad("aspas sem fechamento");
        if (key.empty())
            bad("chave vazia");
        if (key.find('\0') != std::string::npos)
            bad("caractere inválido");
        if (codePoints(key) > std::size_t(maxKeySize))
            invalid(QStringLiteral("Seleção inválida em %1: a chave \"%2\" tem mais de %3 caracteres.")
                        .arg(QString::fromUtf8(what), rpc::echoed(q(key))).arg(maxKeySize));
        if (repeats || seen.insert(key).second)
            keys.push_back(std::move(key));
    }
    return keys;
}

} // namespace

Selection parseSelection(const std::string &text, int maxKeySize, const char *what)
{
    Selection sel;
    if (text == "T")
        sel.all = true;
    else
        sel.keys = parseQuoted(text, maxKeySize, what, false);
    return sel;
}

std::int64_t integerArg(const QCborArray &params, qsizetype index, const char *what)
{
    const std::string text = stringArg(params, index, 18, what);
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (!digits)
        invalid(QStringLiteral("O argumento %1 deve ser um número inteiro, mas recebeu \"%2\".")
                    .arg(QString::fromUtf8(what), rpc::echoed(q(text))));
    return std::stoll(text);
}

std::vector<std::string> parseKeyList(const std::string &text, int maxKeySize, const char *what)
{
    return parseQuoted(text, maxKeySize, what, true);
}

void StrictArguments::expectCount(qsizetype count, const char *method) const
{
    appserver::expectCount(m_params, count, method);
}

QString StrictArguments::text(qsizetype index, int maxSize, const char *what) const
{
    // Not through stringArg: QString::fromStdString would drop a leading U+FEFF.
    std::string utf8;
    return textArg(m_params, index, maxSize, what, utf8);
}

bool StrictArguments::boolean(qsizetype index, const char *what) const
{
    return boolArg(m_params, index, what);
}

} // namespace fiscal::appserver
