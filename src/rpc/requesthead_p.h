#pragma once
// What the server checks in the head of a request before it reads the body: token and user
// (rpc/caller.h), path, HTTP method, media type and declared length. A failed check is answered at the HTTP level
// and the connection closes, since the rest of the request is never read.
//
//   if (const HttpFailure *f = checkHead(req, opt, peer, parser.content_length(), chunked, object, enc, who))
//       return fail(*f);

#include "rpc/caller.h"
#include "rpc/envelope.h"
#include "rpc/httpserver.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fiscal::rpc::detail {

struct HttpFailure {
    boost::beast::http::status status;
    int code;
    const char *message;
};

extern const HttpFailure kBadRequest;
extern const HttpFailure kTimeout;
extern const HttpFailure kTooLarge;
extern const HttpFailure kHeaderTooLarge;
extern const HttpFailure kBusy;
extern const HttpFailure kNoSession;
extern const HttpFailure kCannotCheck;

// The largest body of a caller the authenticator lets in without an identity (signing in),
// as the shipped nginx site allows for that path.
inline constexpr std::size_t kMaxAnonymousBodyBytes = 64 * 1024;

// The request head as the parser holds it; the body type does not matter here.
using RequestHead = boost::beast::http::request_header<>;

// The first check the head fails, or nullptr. On success `object` holds the remote object
// named by the path ("/rpc/<object>") and `who` who is calling: as the options' authenticator
// says when there is one; else the owner of a token of the tokens file, else the name the
// client declares. An unknown media type still lets `enc` be Json, so that error bodies stay
// readable for people with curl.
const HttpFailure *checkHead(const RequestHead &req, const ServerOptions &opt, std::string_view peer,
                             std::optional<std::uint64_t> contentLength, bool chunked, std::string &object,
                             Encoding &enc, Identity &who);

// The options' authenticator asked about the Authorization and X-Fiscal-User headers as they
// came (checkHead does so; a batch asks again before each of its later calls).
const HttpFailure *authenticated(std::string_view authorization, std::string_view declaredUser,
                                 const ServerOptions &opt, std::string_view peer, std::string_view object,
                                 bool forwarded, Identity &who);

} // namespace fiscal::rpc::detail
