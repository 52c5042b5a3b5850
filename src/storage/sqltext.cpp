#include "storage/sqltext.h"

#include "storage/database.h"

#include <cctype>

namespace fiscal::storage::detail {

void nulRefused(int index)
{
    throw Error(Error::Kind::Constraint,
                "value " + std::to_string(index) + " holds a NUL byte, which a text value cannot store");
}

namespace {

bool isIdentStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool isIdentChar(char c)
{
    return isIdentStart(c) || std::isdigit(static_cast<unsigned char>(c));
}

bool isDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// If a literal, quoted identifier or comment starts at i, returns the index just past
// it (the end of the text when it is not closed); otherwise returns i.
std::size_t skipNonCode(std::string_view s, std::size_t i)
{
    const std::size_t n = s.size();
    const char c = s[i];
    if (c == '\'' || c == '"') {
        // E'...' strings take backslash escapes on PostgreSQL.
        const bool backslashes = c == '\'' && i > 0 && (s[i - 1] == 'E' || s[i - 1] == 'e')
            && (i < 2 || !isIdentChar(s[i - 2]));
        std::size_t j = i + 1;
        while (j < n) {
            if (backslashes && s[j] == '\\') {
                j += 2;
                continue;
            }
            if (s[j] == c) {
                if (j + 1 < n && s[j + 1] == c) { // doubled quote
                    j += 2;
                    continue;
                }
                return j + 1;
            }
            ++j;
        }
        return n;
    }
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
        const std::size_t e = s.find('\n', i);
        return e == std::string_view::npos ? n : e + 1;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
        const std::size_t e = s.find("*/", i + 2);
        return e == std::string_view::npos ? n : e + 2;
    }
    if (c == '$' && (i == 0 || !isIdentChar(s[i - 1]))) {
        // Dollar-quoted string: $$...$$ or $tag$...$tag$ (a tag never starts with a digit,
        // which is what tells it from a $1 placeholder).
        std::size_t j = i + 1;
        if (j < n && isDigit(s[j]))
            return i;
        while (j < n && isIdentChar(s[j]) && s[j] != '$')
            ++j;
        if (j >= n || s[j] != '$')
            return i;
        const std::string_view tag = s.substr(i, j - i + 1);
        const std::size_t e = s.find(tag, j + 1);
        return e == std::string_view::npos ? n : e + tag.size();
    }
    return i;
}

} // namespace

std::string dollarToQuestion(std::string_view sql)
{
    std::string out;
    out.reserve(sql.size());
    std::size_t i = 0;
    while (i < sql.size()) {
        const std::size_t j = skipNonCode(sql, i);
        if (j != i) {
            out.append(sql.substr(i, j - i));
            i = j;
            continue;
        }
        if (sql[i] == '$' && i + 1 < sql.size() && isDigit(sql[i + 1])
            && (i == 0 || !isIdentChar(sql[i - 1]))) {
            out.push_back('?');
        } else {
            out.push_back(sql[i]);
        }
        ++i;
    }
    return out;
}

int highestDollarParam(std::string_view sql)
{
    int highest = 0;
    std::size_t i = 0;
    while (i < sql.size()) {
        const std::size_t j = skipNonCode(sql, i);
        if (j != i) {
            i = j;
            continue;
        }
        if (sql[i] == '$' && i + 1 < sql.size() && isDigit(sql[i + 1])
            && (i == 0 || !isIdentChar(sql[i - 1]))) {
            int value = 0;
            ++i;
            while (i < sql.size() && isDigit(sql[i])) {
                value = value * 10 + (sql[i] - '0');
                if (value > 65535)
                    throw Error(Error::Kind::Syntax, "parameter number too large in SQL");
                ++i;
            }
            if (value > highest)
                highest = value;
            continue;
        }
        ++i;
    }
    return highest;
}

std::vector<std::string> splitStatements(std::string_view script)
{
    std::vector<std::string> out;
    std::string current;
    bool hasCode = false;
    auto flush = [&] {
        if (hasCode) {
            const auto first = current.find_first_not_of(" \t\r\n");
            const auto last = current.find_last_not_of(" \t\r\n");
            out.push_back(current.substr(first, last - first + 1));
        }
        current.clear();
        hasCode = false;
    };
    std::size_t i = 0;
    while (i < script.size()) {
        const std::size_t j = skipNonCode(script, i);
        if (j != i) {
            const bool comment = script[i] == '-' || script[i] == '/';
            if (!comment) {
                current.append(script.substr(i, j - i));
                hasCode = true;
            } else if (hasCode) {
                current.push_back(' ');
            }
            i = j;
            continue;
        }
        const char c = script[i++];
        if (c == ';') {
            flush();
            continue;
        }
        if (!hasCode && std::isspace(static_cast<unsigned char>(c)))
            continue;
        current.push_back(c);
        if (!std::isspace(static_cast<unsigned char>(c)))
            hasCode = true;
    }
    flush();
    return out;
}

std::string upperAscii(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string lowerAscii(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

} // namespace fiscal::storage::detail

namespace fiscal::storage {

NamedSql translateNamed(std::string_view sql)
{
    using detail::isIdentChar;
    using detail::isIdentStart;
    using detail::skipNonCode;
    NamedSql result;
    std::vector<std::string> folded; // upper-case names, for case-blind matching
    result.sql.reserve(sql.size());
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const std::size_t j = skipNonCode(sql, i);
        if (j != i) {
            result.sql.append(sql.substr(i, j - i));
            i = j;
            continue;
        }
        const char c = sql[i];
        if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
            // A cast ("x::text"): copy both colons and the type name.
            result.sql.append("::");
            i += 2;
            continue;
        }
        if (c == ':' && i + 1 < n && isIdentStart(sql[i + 1]) && (i == 0 || !isIdentChar(sql[i - 1]))) {
            std::size_t e = i + 1;
            while (e < n && isIdentChar(sql[e]))
                ++e;
            const std::string_view name = sql.substr(i + 1, e - i - 1);
            const std::string key = detail::upperAscii(name);
            std::size_t index = 0;
            while (index < folded.size() && folded[index] != key)
                ++index;
            if (index == folded.size()) {
                folded.push_back(key);
                result.names.emplace_back(name);
            }
            result.sql.push_back('$');
            result.sql.append(std::to_string(index + 1));
            i = e;
            continue;
        }
        result.sql.push_back(c);
        ++i;
    }
    return result;
}

} // namespace fiscal::storage
