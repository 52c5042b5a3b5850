#pragma once
// Server side of the JSON-RPC endpoint: the table of remote objects and their methods.
// A method reads its positional params (decoded into a QCborArray from CBOR or JSON) and
// writes its result with a ValueWriter. It reports failures by throwing rpc::Fault.

#include "dataset/valuewriter.h"

#include <QCborArray>
#include <QString>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>

namespace fiscal::rpc {

namespace code {
constexpr int ParseError = -32700;
constexpr int InvalidRequest = -32600;
constexpr int MethodNotFound = -32601;
constexpr int InvalidParams = -32602;
constexpr int Internal = -32603;
constexpr int Database = -32000;
constexpr int Conflict = -32001;
constexpr int NotFound = -32002;
constexpr int Unavailable = -32003;
}

// A failure with a Portuguese message for the user.
class Fault : public std::runtime_error {
public:
    Fault(int code, const QString &message)
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message) {}
    int code() const { return m_code; }
    const QString &message() const { return m_message; }
private:
    int m_code;
    QString m_message;
};

using Method = std::function<void(const QCborArray &params, dataset::ValueWriter &result)>;

class Dispatcher {
public:
    // object: "Ger10200.rdmParamGrupFiscal"; method names are matched without regard to case.
    void add(const std::string &object, const std::string &method, Method m);
    bool hasObject(const std::string &object) const;
    // nullptr when there is no such method.
    const Method *find(const std::string &object, const std::string &method) const;
private:
    std::map<std::string, std::map<std::string, Method>> m_objects; // keys lower-cased
};

} // namespace fiscal::rpc
