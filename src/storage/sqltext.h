#pragma once
// Helpers shared by both backends: lexical helpers over SQL text, which know where string
// literals, quoted identifiers and comments are, so that placeholders and semicolons
// inside them are left alone; and the check of a text about to be bound.

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::storage {
class Connection;
}

namespace fiscal::storage::detail {

// "$1 ... $2" -> "?1 ... ?2" (SQLite's numbered form; its "$name" form would number
// parameters by order of appearance, not by their digits).
std::string dollarToQuestion(std::string_view sql);

// The highest $n in the text, 0 when there is none.
int highestDollarParam(std::string_view sql);

// Splits a script on the semicolons that end statements; empty and comment-only pieces
// are dropped.
std::vector<std::string> splitStatements(std::string_view script);

// Throws Error (Constraint) when a text to bind as value `index` (1-based) holds a NUL
// byte: PostgreSQL would cut the value there and match or store another one. SQLite
// refuses it too, so that both backends agree.
[[noreturn]] void nulRefused(int index);
inline void refuseNul(std::string_view text, int index)
{
    // memchr must not see the null pointer of an empty view (the compiler would then take
    // that pointer for non-null further on).
    if (!text.empty() && std::memchr(text.data(), 0, text.size()))
        nulRefused(index);
}

// ASCII upper-case and lower-case copies.
std::string upperAscii(std::string_view text);
std::string lowerAscii(std::string_view text);

// The embedded schema.sql.
const char *schemaSql();

// Runs every statement of the schema on the caller's open transaction.
void runSchemaStatements(Connection &c);

} // namespace fiscal::storage::detail
