#include "rpc/requesthead_p.h"

#include "rpc/dispatcher.h"

#include <boost/beast/core/string.hpp>

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

namespace {

const HttpFailure kUnauthorized{http::status::unauthorized, code::Unauthorized,
                                "Acesso não autorizado: token de acesso ausente ou inválido."};
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

bool bearerMatches(std::string_view header, const std::string &token)
{
    constexpr std::string_view scheme = "bearer ";
    if (header.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = header[i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != scheme[i])
            return false;
    }
    std::string_view given = header.substr(scheme.size());
    while (!given.empty() && (given.front() == ' ' || given.front() == '\t'))
        given.remove_prefix(1);
    while (!given.empty() && (given.back() == ' ' || given.back() == '\t'))
        given.remove_suffix(1);
    return sameToken(given, token);
}

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

const HttpFailure *checkHead(const RequestHead &req, const std::string &token,
                             std::optional<std::uint64_t> contentLength, std::size_t maxBodyBytes,
                             bool chunked, std::string &object, Encoding &enc)
{
    const bool knownEncoding = encodingFromContentType(std::string_view(req[http::field::content_type]), enc);
    if (!knownEncoding)
        enc = Encoding::Json;
    if (!token.empty() && !bearerMatches(req[http::field::authorization], token))
        return &kUnauthorized;
    if (!objectFromTarget(req.target(), object))
        return &kNotFound;
    if (req.method() != http::verb::post)
        return &kNotAllowed;
    if (!knownEncoding)
        return &kMediaType;
    if (!chunked && !contentLength)
        return &kNoLength;
    if (contentLength && *contentLength > maxBodyBytes)
        return &kTooLarge;
    return nullptr;
}

} // namespace fiscal::rpc::detail
