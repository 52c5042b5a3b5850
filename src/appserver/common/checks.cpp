#include "appserver/common/checks.h"

#include "appserver/common/faults.h"
#include "appserver/common/text.h"

#include <charconv>

namespace fiscal::appserver {

namespace {

// The checks run on every save with the same few texts: kept prepared per connection.
std::unique_ptr<storage::Statement> run(storage::Connection &c, std::string_view sql,
                                        std::initializer_list<std::optional<std::string_view>> params)
{
    auto st = c.prepareCached(sql);
    int i = 1;
    for (const auto &p : params)
        st->bind(i++, p);
    return st;
}

void groupMustExist(storage::Connection &c, std::string_view sql, std::string_view group)
{
    if (!run(c, sql, {group})->step())
        notFound(QStringLiteral("Grupo fiscal %1 não cadastrado.").arg(q(group)));
}

} // namespace

bool exists(storage::Connection &c, std::string_view sql,
            std::initializer_list<std::optional<std::string_view>> params)
{
    return run(c, sql, params)->step();
}

std::int64_t scalar(storage::Connection &c, std::string_view sql,
                    std::initializer_list<std::optional<std::string_view>> params)
{
    auto st = run(c, sql, params);
    if (!st->step() || st->isNull(0))
        return 0;
    const std::string_view t = st->text(0);
    std::int64_t v = 0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
}

void requireGroup(storage::Connection &c, std::string_view group)
{
    groupMustExist(c, "SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", group);
}

void holdGroup(storage::Connection &c, std::string_view group)
{
    // SQLite has one writer at a time: nobody deletes the group meanwhile.
    groupMustExist(c, c.backend() == storage::Backend::Postgres
                          ? "SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1 FOR KEY SHARE"
                          : "SELECT 1 FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1",
                   group);
}

void requireTax(storage::Connection &c, std::string_view tax)
{
    if (!exists(c, "SELECT 1 FROM IMPOSTO WHERE CDIMPOSTO = $1", {tax}))
        notFound(QStringLiteral("Imposto %1 não cadastrado.").arg(q(tax)));
}

void requireCompany(storage::Connection &c, std::string_view company)
{
    if (!exists(c, "SELECT 1 FROM EMPRESA WHERE CDEMPRESA = $1", {company}))
        notFound(QStringLiteral("Empresa %1 não cadastrada.").arg(q(company)));
}

void requireRegistration(storage::Connection &c, std::string_view company, std::string_view registration)
{
    if (!exists(c, "SELECT 1 FROM INSCRESTAD WHERE CDEMPRESA = $1 AND CDINSCESTA = $2",
                {company, registration}))
        notFound(QStringLiteral("Inscrição estadual %1 não cadastrada para a empresa %2.")
                     .arg(q(registration), q(company)));
}

} // namespace fiscal::appserver
