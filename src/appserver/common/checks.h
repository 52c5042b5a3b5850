#pragma once
// Checks shared by the saving and bulk methods: codes that must exist, and the three kinds
// of failure they report (malformed -32602, unknown code -32002, conflict -32001).

#include "storage/database.h"

#include <QString>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver::writes {

[[noreturn]] void invalid(const QString &message);    // -32602
[[noreturn]] void notFound(const QString &message);   // -32002
[[noreturn]] void conflict(const QString &message);   // -32001

// "O registro <record> foi alterado por outro usuário. Atualize os dados e tente novamente."
QString conflictMessage(const QString &record);

QString q(std::string_view utf8);   // std::string -> QString for messages

// Replaces %1..%9 in `pattern` with values[0..8] in one pass, so that a value holding
// "%2" is shown as it is.
QString format(const char *pattern, const std::vector<std::string> &values);

// Characters (code points) of a UTF-8 string.
std::size_t codePoints(std::string_view utf8);

// exists() and scalar() keep their statements prepared on the connection (see
// Connection::prepareCached): fixed texts over permanent tables only.

// True when the query (with $1.. bound to `params`) returns a row.
bool exists(storage::Connection &c, std::string_view sql,
            std::initializer_list<std::optional<std::string_view>> params);

// One value of the first row of a query returning an integer (COUNT(*), ...).
std::int64_t scalar(storage::Connection &c, std::string_view sql,
                    std::initializer_list<std::optional<std::string_view>> params = {});

// Each throws notFound with a message naming the code. The codes are assumed non-empty.
void requireGroup(storage::Connection &c, std::string_view group);
void requireTax(storage::Connection &c, std::string_view tax);
void requireCompany(storage::Connection &c, std::string_view company);
void requireRegistration(storage::Connection &c, std::string_view company, std::string_view registration);

} // namespace fiscal::appserver::writes
