#pragma once
// The server's text is UTF-8 std::string (what the database binds and returns); messages
// are QString.

#include <QString>
#include <string>
#include <string_view>
#include <vector>

namespace fiscal::appserver {

QString q(std::string_view utf8);   // std::string -> QString for messages

// Replaces %1..%9 in `pattern` with values[0..8] in one pass, so that a value holding
// "%2" is shown as it is.
QString format(const char *pattern, const std::vector<std::string> &values);

// Characters (code points) of a UTF-8 string.
std::size_t codePoints(std::string_view utf8);

} // namespace fiscal::appserver
