#pragma once
// Strict reading of positional arguments. Every failure is an rpc::Fault with code
// InvalidParams (-32602) and a Portuguese message naming the argument.

#include "protocol/arguments.h"
#include "rpc/dispatcher.h"

#include <QCborArray>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fiscal::appserver {

// Throws unless params has exactly `count` elements.
void expectCount(const QCborArray &params, qsizetype count, const char *method);

// A string argument, at most maxSize characters (UTF-8 code points); `what` names it in
// the message ("código do imposto"). Null is refused; the empty string is allowed.
std::string stringArg(const QCborArray &params, qsizetype index, int maxSize, const char *what);
// The same for a password: a refusal never quotes it (messages reach logs and terminals).
std::string secretArg(const QCborArray &params, qsizetype index, int maxSize, const char *what);
bool boolArg(const QCborArray &params, qsizetype index, const char *what);

// A fixed-width code as the screens send it: the empty string stays empty.
// Too long -> InvalidParams.
std::string codeArg(const QCborArray &params, qsizetype index, int width, const char *what);

// Keys one selection may hold: above the records of any table, so no screen reaches it,
// and far below what would take the server's memory (a 64 MiB body holds 16 million).
constexpr std::size_t kMaxSelectionKeys = 1000000;

// Selection string: "T" (every record) or 'k1','k2' with '' inside keys. Throws
// InvalidParams on anything else; each key checked against maxKeySize, the keys counted
// against kMaxSelectionKeys.
struct Selection {
    bool all = false;
    std::vector<std::string> keys;
};
Selection parseSelection(const std::string &text, int maxKeySize, const char *what);

// The fields of one record's key in the same format ('01','01','123'), in order, repeats
// kept; "T" is no key and is refused like any other malformed text.
std::vector<std::string> parseKeyList(const std::string &text, int maxKeySize, const char *what);

// The reader of the protocol's argument lists (protocol/bulkcalls.h): refuses what
// stringArg and boolArg refuse, with the same messages.
class StrictArguments : public protocol::ArgumentReader {
public:
    explicit StrictArguments(const QCborArray &params) : m_params(params) {}
    void expectCount(qsizetype count, const char *method) const override;
    QString text(qsizetype index, int maxSize, const char *what) const override;
    bool boolean(qsizetype index, const char *what) const override;

private:
    const QCborArray &m_params;
};

// A non-negative decimal integer, digits only (an operation id, a count).
std::int64_t integerArg(const QCborArray &params, qsizetype index, const char *what);

} // namespace fiscal::appserver
