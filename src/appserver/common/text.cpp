#include "appserver/common/text.h"

#include "rpc/envelope.h"

namespace fiscal::appserver {

QString q(std::string_view utf8)
{
    return rpc::textFromUtf8(QByteArrayView(utf8.data(), qsizetype(utf8.size())));
}

QString format(const char *pattern, const std::vector<std::string> &values)
{
    QString out;
    for (const char *p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9' && std::size_t(p[1] - '1') < values.size()) {
            out += q(values[std::size_t(p[1] - '1')]);
            ++p;
            continue;
        }
        // Patterns are ASCII or UTF-8 literals: copy one UTF-8 sequence at a time.
        const char *start = p;
        while (p[1] && (static_cast<unsigned char>(p[1]) & 0xC0) == 0x80)
            ++p;
        out += QString::fromUtf8(start, qsizetype(p - start + 1));
    }
    return out;
}

std::size_t codePoints(std::string_view utf8)
{
    std::size_t n = 0;
    for (unsigned char ch : utf8)
        if ((ch & 0xC0) != 0x80)
            ++n;
    return n;
}

} // namespace fiscal::appserver
