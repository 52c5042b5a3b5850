#pragma once
// The client side of TLS: the context (which authorities to trust), the name the server's
// certificate must carry, and what a failed handshake means for the user. OpenSSL through
// Boost.Asio; nothing of the protocol is done here.

#include <QString>

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <string>

namespace fiscal::rpc::detail {

// Trusts the authorities in caFile (PEM), or the system's store (/etc/ssl/certs) when it
// is empty; TLS 1.2 at least. Throws TransportError when caFile cannot be read.
boost::asio::ssl::context makeClientContext(const QString &caFile);

// Before the handshake: the server's certificate must name `host` (a DNS name or an IP
// address); a DNS name also goes out as SNI.
void expectServerName(SSL *ssl, const std::string &host);

// The user's message for a handshake that failed: a certificate refused (and why), or a
// server that does not speak TLS there.
QString handshakeFailure(SSL *ssl, const std::string &endpoint, const boost::system::error_code &ec);

// Why TLS failed, in the user's words where OpenSSL's reason is a known one; empty when
// `ec` is not TLS's.
QString tlsReason(const boost::system::error_code &ec);

} // namespace fiscal::rpc::detail
