#include "rpc/requesthead_p.h"

#include "rpc/dispatcher.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>

#include <string_view>

namespace fiscal::rpc::detail {

namespace http = boost::beast::http;

const HttpFailure kBadRequest{http::status::bad_request, code::ParseError,
                              "Requisição HTTP malformada."};
const HttpFailure kTimeout{http::status::request_timeout, code::InvalidRequest,
                           "Tempo esgotado aguardando a requisição."};
const HttpFailure kTooLarge{http::status::payload_too_large, code::InvalidRequest,
                            "Requisição grande demais."};
const HttpFailure kHeaderTooLarge{http::status::request_header_fields_too_large,
                                  code::InvalidRequest, "Cabeçalhos grandes demais."};
const HttpFailure kBusy{http::status::service_unavailable, code::Unavailable,
                        "Servidor ocupado ou encerrando; tente novamente."};
const HttpFailure kNoSession{http::status::unauthorized, code::Unauthorized,
                             "Sessão expirada ou inválida. Entre novamente."};
const HttpFailure kCannotCheck{http::status::service_unavailable, code::Unavailable,
                               "O servidor não conseguiu conferir a sessão; tente novamente."};

namespace {

const HttpFailure kUnauthorized{http::status::unauthorized, code::Unauthorized,
                                "Acesso não autorizado: token de acesso ausente ou inválido."};
const HttpFailure kBadUser{http::status::bad_request, code::InvalidRequest,
                           "Nome de usuário inválido no cabeçalho X-Fiscal-User."};
const HttpFailure kNotFound{http::status::not_found, code::MethodNotFound,
                            "Caminho desconhecido: use POST /rpc/<objeto>."};
const HttpFailure kNotAllowed{http::status::method_not_allowed, code::InvalidRequest,
                              "Método HTTP não permitido: use POST."};
const HttpFailure kNoLength{http::status::length_required, code::InvalidRequest,
                            "Requisição sem tamanho declarado (Content-Length)."};
const HttpFailure kMediaType{http::status::unsupported_media_type, code::InvalidRequest,
                             "Tipo de conteúdo não aceito: use application/cbor ou application/json."};

// Same time for every token length check would need padding; comparing every byte of the
// expected token without an early exit is enough to not leak a prefix.
bool sameToken(std::string_view given, std::string_view expected)
{
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0;
}

// The token of an "Authorization: Bearer <token>" header; nothing for any other header.
std::optional<std::string_view> bearerToken(std::string_view header)
{
    constexpr std::string_view scheme = "bearer ";
    if (header.size() < scheme.size())
        return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = header[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != scheme[i])
            return std::nullopt;
    }
    std::string_view given = header.substr(scheme.size());
    while (!given.empty() && (given.front() == ' ' || given.front() == '\t'))
        given.remove_prefix(1);
    while (!given.empty() && (given.back() == ' ' || given.back() == '\t'))
        given.remove_suffix(1);
    return given;
}

// Who the call is from: the token's owner, else the name the client declares.
const HttpFailure *identify(const RequestHead &req, const std::string &token, const TokenTable &tokens,
                            Identity &who)
{
    if (!token.empty() || !tokens.empty()) {
        const std::optional<std::string_view> given = bearerToken(req[http::field::authorization]);
        if (!given)
            return &kUnauthorized;
        if (std::optional<Identity> owner = tokens.find(*given)) {
            who = std::move(*owner);
            return nullptr;
        }
        if (token.empty() || !sameToken(*given, token))
            return &kUnauthorized;
    }
    std::optional<std::string> declared = decodeUserHeader(req[kUserHeader]);
    if (!declared)
        return &kBadUser;
    who.user = std::move(*declared);
    return nullptr;
}

} // namespace

const HttpFailure *authenticated(std::string_view authorization, std::string_view declaredUser,
                                 const ServerOptions &opt, std::string_view peer, std::string_view object,
                                 bool forwarded, Identity &who)
{
    Credentials given;
    given.forwarded = forwarded;
    given.bearer = bearerToken(authorization);
    given.declaredUser = declaredUser;
    given.peer = peer;
    given.object = object;
    switch (opt.authenticate(given, who)) {
    case AuthVerdict::Accepted:
        return nullptr;
    case AuthVerdict::Refused:
        return &kNoSession;
    case AuthVerdict::BadName:
        return &kBadUser;
    case AuthVerdict::Unavailable:
        break;
    }
    return &kCannotCheck;
}

namespace {

// "/rpc/<object>", the object made of letters, digits, '.', '_' and '-'.
bool objectFromTarget(std::string_view target, std::string &object)
{
    constexpr std::string_view prefix = "/rpc/";
    if (target.size() <= prefix.size() || target.substr(0, prefix.size()) != prefix)
        return false;
    const std::string_view name = target.substr(prefix.size());
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                        || c == '.' || c == '_' || c == '-';
        if (!ok)
            return false;
    }
    object.assign(name.data(), name.size());
    return true;
}

} // namespace

const HttpFailure *checkHead(const RequestHead &req, const ServerOptions &opt, std::string_view peer,
                             std::optional<std::uint64_t> contentLength, bool chunked, std::string &object,
                             Encoding &enc, Identity &who)
{
    const bool knownEncoding = encodingFromContentType(std::string_view(req[http::field::content_type]), enc);
    if (!knownEncoding)
        enc = Encoding::Json;
    const bool pathOk = objectFromTarget(req.target(), object);
    const auto authorization = req[http::field::authorization];
    const auto declared = req[kUserHeader];
    if (const HttpFailure *refused = opt.authenticate
                                         ? authenticated(std::string_view(authorization.data(), authorization.size()),
                                                         std::string_view(declared.data(), declared.size()), opt,
                                                         peer, object, !req["X-Forwarded-For"].empty(), who)
                                                      : identify(req, opt.token, opt.tokens, who))
        return refused;
    // A caller not signed in can only sign in, which takes a few bytes: it must not hold a
    // share of the memory kept for bodies, nor a stream of unknown length, while it sends.
    const bool anonymous = opt.authenticate && who.user.empty();
    const std::size_t maxBodyBytes = anonymous ? std::min(opt.maxBodyBytes, kMaxAnonymousBodyBytes) : opt.maxBodyBytes;
    if (!pathOk)
        return &kNotFound;
    if (req.method() != http::verb::post)
        return &kNotAllowed;
    if (!knownEncoding)
        return &kMediaType;
    if ((!chunked || anonymous) && !contentLength)
        return &kNoLength;
    if (contentLength && *contentLength > maxBodyBytes)
        return &kTooLarge;
    return nullptr;
}

} // namespace fiscal::rpc::detail
