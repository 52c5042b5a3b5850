// Fuzz target: selection strings as the server parses them. Whatever the text, parsing
// either gives "every record" (only for "T") or a list of distinct, non-empty keys within the
// key size, or fails with -32602 and a short message. The client's multi-choice search and
// the server agree: a list the client reads with acceptable keys is accepted with the same
// keys (duplicates once), and what the client writes from the server's keys reads back the
// same. The keys travel to the database as one JSON parameter and come out of it unchanged.

#include "appserver/common/args.h"
#include "appserver/common/text.h"
#include "clientlib/selection.h"
#include "rpc/dispatcher.h"
#include "rpc/envelope.h"
#include "storage/database.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>

using namespace fiscal;

namespace {

constexpr int kKeySize = 21;

// Names the broken invariant before aborting, so a crash report says which one.
#define check(ok) ((ok) ? void(0) : fail(#ok, __LINE__))
[[noreturn]] void fail(const char *what, int line)
{
    std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, line, what);
    std::abort();
}

QString q(const std::string &s)
{
    return rpc::textFromUtf8(QByteArrayView(s.data(), qsizetype(s.size())));
}

std::optional<appserver::Selection> serverParse(const std::string &text)
{
    try {
        return appserver::parseSelection(text, kKeySize, "fornecedores");
    } catch (const rpc::Fault &f) {
        check(f.code() == rpc::code::InvalidParams);
        check(!f.message().isEmpty() && f.message().size() < 200);
        return std::nullopt;
    }
}

bool acceptableKey(const QString &key)
{
    const std::string utf8 = key.toStdString();
    return !key.isEmpty() && !key.contains(QChar(u'\0'))
        && appserver::codePoints(utf8) <= std::size_t(kKeySize);
}

// The keys as the database reads them back from the list parameter of a read.
std::vector<std::string> throughDatabase(const std::vector<std::string> &keys)
{
    static const auto db = storage::open(":memory:");
    auto stmt = db->prepare(storage::textListSubquery(storage::Backend::Sqlite, 1));
    stmt->bind(1, storage::textListParameter(keys));
    std::vector<std::string> out;
    while (stmt->step())
        out.emplace_back(stmt->text(0));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::optional<appserver::Selection> server = serverParse(text);
    if (server) {
        check(server->all == (text == "T"));
        check(!server->all || server->keys.empty());
        std::set<std::string> distinct;
        for (const std::string &key : server->keys) {
            check(!key.empty() && key.find('\0') == std::string::npos);
            check(appserver::codePoints(key) <= std::size_t(kKeySize));
            check(distinct.insert(key).second);
        }
    }

    // The server only ever sees valid UTF-8 (the envelope refuses the rest).
    if (!rpc::isValidUtf8(QByteArrayView(text.data(), qsizetype(text.size()))))
        return 0;

    const std::optional<QStringList> client = clientlib::parseSelection(q(text));
    if (client && text != "T") {
        bool acceptable = true;
        QStringList once;
        for (const QString &key : *client) {
            acceptable = acceptable && acceptableKey(key);
            if (!once.contains(key))
                once.append(key);
        }
        if (acceptable) {
            check(server.has_value());
            QStringList serverKeys;
            for (const std::string &key : server->keys)
                serverKeys.append(q(key));
            check(serverKeys == once);
        }
    }
    if (!server || server->all)
        return 0;
    check(client.has_value());

    QStringList keys;
    for (const std::string &key : server->keys)
        keys.append(q(key));
    const std::optional<appserver::Selection> again = serverParse(clientlib::formatSelection(keys).toStdString());
    check(again && !again->all && again->keys == server->keys);

    check(throughDatabase(server->keys) == server->keys);
    return 0;
}
