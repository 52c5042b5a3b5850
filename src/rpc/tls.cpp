#include "rpc/tls_p.h"

#include "rpc/reply.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QFileInfo>

namespace fiscal::rpc::detail {

namespace ssl = boost::asio::ssl;

ssl::context makeClientContext(const QString &caFile)
{
    ssl::context ctx(ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(ctx.native_handle(), TLS1_2_VERSION);
    ctx.set_verify_mode(ssl::verify_peer);
    boost::system::error_code ec;
    if (caFile.isEmpty()) {
        ctx.set_default_verify_paths(ec);
    } else if (!QFileInfo(caFile).isReadable()) {
        throw TransportError(
            QStringLiteral("O arquivo de autoridades certificadoras %1 não existe ou não pode ser lido.")
                .arg(caFile));
    } else {
        ctx.load_verify_file(caFile.toStdString(), ec);
        if (ec)
            throw TransportError(
                QStringLiteral("O arquivo de autoridades certificadoras %1 não contém certificados PEM válidos.")
                    .arg(caFile));
    }
    return ctx;
}

void expectServerName(SSL *ssl, const std::string &host)
{
    X509_VERIFY_PARAM *param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    boost::system::error_code notIp;
    boost::asio::ip::make_address(host, notIp);
    // A name or address OpenSSL does not take (an IPv6 address with its zone, "fe80::1%eth0")
    // would leave only the chain checked, for any name: refused instead.
    const bool set = !notIp ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                            : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1;
    if (!set)
        throw TransportError(QStringLiteral("O endereço %1 não pode ser conferido no certificado do servidor: use o "
                                            "nome do servidor.")
                                 .arg(QString::fromStdString(host)));
    if (notIp)
        SSL_set_tlsext_host_name(ssl, host.c_str());
}

namespace {

QString whyRefused(long result, const QString &host)
{
    switch (result) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return QStringLiteral("o certificado não é de %1").arg(host);
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return QStringLiteral("o certificado expirou");
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return QStringLiteral("o certificado ainda não está valendo");
    case X509_V_ERR_CERT_REVOKED:
        return QStringLiteral("o certificado foi revogado");
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return QStringLiteral("o certificado não foi emitido por uma autoridade em que este computador "
                              "confia (o arquivo da autoridade vai em [server] cafile)");
    default:
        break;
    }
    return QStringLiteral("o certificado foi recusado (%1)")
        .arg(QString::fromUtf8(X509_verify_cert_error_string(result)));
}

} // namespace

QString tlsReason(const boost::system::error_code &ec)
{
    if (ec == ssl::error::stream_truncated)
        return QStringLiteral("o servidor encerrou a conexão segura sem aviso");
    if (ec.category() != boost::asio::error::get_ssl_category())
        return {};
    switch (ERR_GET_REASON(static_cast<unsigned long>(ec.value()))) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_HTTP_REQUEST:
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_RECORD_LENGTH_MISMATCH:
        return QStringLiteral("o servidor nesse endereço não fala HTTPS; confira o endereço e a porta nas configurações");
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        return QStringLiteral("o servidor só aceita versões antigas da conexão segura, que este computador recusa");
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
        return QStringLiteral("o servidor e este computador não têm nenhuma cifra em comum");
    default:
        // Kept for the administrator, after words the user can read.
        return QStringLiteral("falha na conexão segura (%1)").arg(QString::fromLocal8Bit(ec.message().c_str()));
    }
}

QString handshakeFailure(SSL *ssl, const std::string &endpoint, const boost::system::error_code &ec)
{
    const QString where = QString::fromStdString(endpoint);
    const long result = SSL_get_verify_result(ssl);
    if (result != X509_V_OK) {
        const QString host = where.left(where.lastIndexOf(QLatin1Char(':')));
        return QStringLiteral("O certificado do servidor de aplicação em %1 não é confiável: %2. "
                              "A conexão não foi feita.")
            .arg(where, whyRefused(result, host));
    }
    QString why = tlsReason(ec);
    if (why.isEmpty())
        why = ec == boost::asio::error::eof ? QStringLiteral("o servidor encerrou a conexão")
                                            : QString::fromLocal8Bit(ec.message().c_str());
    return QStringLiteral("Não foi possível abrir uma conexão segura (HTTPS) com o servidor de "
                          "aplicação em %1: %2.")
        .arg(where, why);
}

} // namespace fiscal::rpc::detail
