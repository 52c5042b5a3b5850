#pragma once
// Who is calling.
//
// The client names its user in the header X-Fiscal-User (UTF-8, percent-encoded, so that
// "João" travels as "Jo%C3%A3o"). The server attributes each call to a user: the user of
// the bearer token when the server has a tokens file, else the name the client declared
// (empty when it declared none). While a method runs, currentCaller() on that thread says
// who called it and what, for the history and for any log line written meanwhile.
//
//   rpc::TokenTable t = rpc::TokenTable::load("/etc/fiscal-server/tokens");
//   t.userOf(bearer)                  -> "maria", or nothing for an unknown token
//   rpc::currentCaller().user          -> "maria" inside a method

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace fiscal::rpc {

inline constexpr const char *kUserHeader = "X-Fiscal-User";
// Characters a user name may have at most (the history keeps 64).
inline constexpr int kMaxUserLength = 64;

struct Caller {
    std::string user;     // UTF-8; empty when nobody was named
    std::string object;
    std::string method;
    std::string role;     // the caller's role when the server knows it, else empty
    std::string session;  // the hash of the session token the call came with, else empty
    std::string peer;     // the remote address
    bool mustChangePassword = false;   // the session may only change its password or end
};

// Who a request is from, as the server's authenticator settles it from the request's head.
struct Identity {
    std::string user;
    std::string role;
    std::string session;
    bool mustChangePassword = false;
};

// The roles a token or a user may have, least to most.
inline constexpr const char *kRoles[] = {"consulta", "operador", "administrador"};
bool isRoleName(std::string_view name);

// The caller of the method running on this thread; empty members outside a call.
const Caller &currentCaller();

// Sets currentCaller() for its lifetime (the server wraps every method call in one).
class CallerScope {
public:
    explicit CallerScope(Caller caller);
    ~CallerScope();
    CallerScope(const CallerScope &) = delete;
    CallerScope &operator=(const CallerScope &) = delete;
private:
    Caller m_previous;
};

// The header value for a user name, and back. decodeUserHeader refuses (nothing) a bad
// escape, invalid UTF-8, a control character or a name longer than kMaxUserLength.
std::string encodeUserHeader(const QString &user);
std::optional<std::string> decodeUserHeader(std::string_view value);
// The same rules for a name already decoded (the tokens file's).
bool isValidUserName(std::string_view utf8);

// Users and the SHA-256 of their tokens, as an operator keeps them in a file:
//
//   # user:sha256-of-the-token[:role] (printf %s TOKEN | sha256sum)
//   maria:9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08
//   carga-noturna:60303ae22b998861bce3b28f33eec1be758a213c86c93c076dbe9f558c11c752:administrador
//
// Blank lines and lines starting with '#' are ignored. A token belongs to one user; a user
// may have several tokens. The role is one of kRoles, `operador` when the line names none.
// The file never holds a token itself.
class TokenTable {
public:
    // Throws std::invalid_argument naming the line ("linha 3: ...") of anything else.
    static TokenTable parse(std::string_view text);
    // Throws std::runtime_error when the file cannot be read, as parse() otherwise.
    static TokenTable load(const std::string &path);
    // The lower-case hex SHA-256 of a token.
    static std::string hash(std::string_view token);

    std::optional<std::string> userOf(std::string_view token) const;
    // The token's user and role (the session member stays empty).
    std::optional<Identity> find(std::string_view token) const;
    bool empty() const { return m_users.empty(); }
    std::size_t size() const { return m_users.size(); }

private:
    struct Owner {
        std::string user;
        std::string role;
    };
    std::unordered_map<std::string, Owner> m_users;   // hash -> owner
};

} // namespace fiscal::rpc
