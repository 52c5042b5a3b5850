#pragma once
// Server side of the JSON-RPC endpoint: the table of remote objects and their methods.
// A method reads its positional params (decoded into a QCborArray from CBOR or JSON) and
// writes its result with a ValueWriter. It reports failures by throwing rpc::Fault.

#include "dataset/valuewriter.h"
#include "rpc/calllimits.h"

#include <QCborArray>
#include <QCborValue>
#include <QString>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
constexpr int Unauthorized = -32004;   // HTTP 401: missing or wrong bearer token, no session
constexpr int Forbidden = -32005;      // the caller's role may not run the method
constexpr int SignInRefused = -32006;  // a wrong user or password, a login locked for a while
}

// A failure with a Portuguese message for the user. `data` (optional) travels as the
// error object's "data" member, e.g. {"table": "CLIENTE", "key": ["000123"]}.
class Fault : public std::runtime_error {
public:
    Fault(int code, const QString &message, QCborValue data = {})
        : std::runtime_error(message.toStdString()), m_code(code), m_message(message),
          m_data(std::move(data)) {}
    int code() const { return m_code; }
    const QString &message() const { return m_message; }
    // Undefined when there is none.
    const QCborValue &data() const { return m_data; }
private:
    int m_code;
    QString m_message;
    QCborValue m_data;
};

// Client text as a message repeats it: at most kEchoedLength characters, with "…" where it
// was cut, so that a huge argument or name never comes back whole.
constexpr qsizetype kEchoedLength = 40;
QString echoed(QStringView text);

using Method = std::function<void(const QCborArray &params, dataset::ValueWriter &result)>;

// How a method is handed an array or map param of a lone CBOR request: decoded like any
// other, or still encoded (rpc::encodedParam gives its bytes) so that it can read it as a
// stream and no tree of it is ever built.
enum class LargeParams { Decoded, Encoded };

// The names a method was registered with, whatever case a caller used.
struct MethodName {
    const std::string *object = nullptr;
    const std::string *method = nullptr;
    CallKind kind = CallKind::Read;
    LargeParams large = LargeParams::Decoded;
};

// Whether the client of the call running on this thread has closed or reset its connection
// since it sent the request, so that no reply can reach it: it has given up (its time-out, or
// a proxy in front that lost its own client) and has told its user the call failed. A method
// asks before it makes its work permanent. False outside a call of the HTTP server.
bool callerHasLeft();

// Decides, before a method runs, whether the caller (rpc::currentCaller()) may run it;
// refuses by throwing rpc::Fault.
using Guard = std::function<void(const MethodName &)>;

class Dispatcher {
public:
    // object: "Ger10200.rdmParamGrupFiscal"; method names are matched without regard to case.
    // `kind` gives the call its time limit and says whether it is heavy (calllimits.h).
    void add(const std::string &object, const std::string &method, Method m, CallKind kind = CallKind::Read,
             LargeParams large = LargeParams::Decoded);
    // Every method call is first put to the guard; none by default.
    void setGuard(Guard guard) { m_guard = std::move(guard); }
    void admit(const MethodName &name) const
    {
        if (m_guard)
            m_guard(name);
    }
    // Every registered object and method, by their registered names.
    std::vector<std::pair<std::string, std::string>> methods() const;
    bool hasObject(const std::string &object) const;
    // nullptr when there is no such method. `name`, when given, receives the registered names.
    const Method *find(const std::string &object, const std::string &method,
                       MethodName *name = nullptr) const;
private:
    struct Entry {
        std::string name;
        Method fn;
        CallKind kind;
        LargeParams large;
    };
    struct Object {
        std::string name;
        std::map<std::string, Entry> methods;   // keys lower-cased
    };
    std::map<std::string, Object> m_objects;    // keys lower-cased
    Guard m_guard;
};

} // namespace fiscal::rpc
