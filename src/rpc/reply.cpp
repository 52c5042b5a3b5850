#include "rpc/reply.h"

#include <QCborMap>
#include <QCborStreamReader>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cerrno>
#include <cstring>

namespace fiscal::rpc {

QString networkErrorText(int errnoValue)
{
    switch (errnoValue) {
    case ECONNREFUSED:
        return QStringLiteral("conexão recusada; o servidor não está em execução nesse endereço");
    case ECONNRESET:
    case EPIPE:
        return QStringLiteral("o servidor encerrou a conexão");
    case ECONNABORTED:
        return QStringLiteral("a conexão foi interrompida");
    case ETIMEDOUT:
        return QStringLiteral("tempo de conexão esgotado");
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return QStringLiteral("o computador do servidor não está acessível");
    case ENETUNREACH:
    case ENETDOWN:
        return QStringLiteral("a rede não está acessível");
    case EADDRNOTAVAIL:
        return QStringLiteral("endereço indisponível");
    default:
        return QString::fromLocal8Bit(std::strerror(errnoValue));
    }
}

namespace {

[[noreturn]] void badReply(const QString &what)
{
    throw TransportError(
        QStringLiteral("Resposta inválida do servidor de aplicação: %1.").arg(what));
}

Reply errorFrom(const QCborValue &error)
{
    if (!error.isMap())
        badReply(QStringLiteral("\"error\" não é um objeto"));
    const QCborMap m = error.toMap();
    const QCborValue code = m.value(QLatin1String("code"));
    const QCborValue message = m.value(QLatin1String("message"));
    if (!code.isInteger() || !message.isString())
        badReply(QStringLiteral("\"error\" sem código ou mensagem"));
    return Reply::failure(int(code.toInteger()), message.toString(),
                          m.contains(QLatin1String("data")) ? m.value(QLatin1String("data"))
                                                            : QCborValue());
}

bool readKey(QCborStreamReader &r, QString &key)
{
    if (!r.isString())
        return false;
    key.clear();
    auto chunk = r.readString();
    while (chunk.status == QCborStreamReader::Ok) {
        key += chunk.data;
        chunk = r.readString();
    }
    return chunk.status == QCborStreamReader::EndOfString;
}

Reply fromCbor(const QByteArray &body)
{
    QCborStreamReader r(body);
    if (!r.isMap() || !r.enterContainer())
        badReply(QStringLiteral("não é um objeto CBOR"));
    bool hasResult = false, hasError = false;
    qint64 start = 0, end = 0;
    QCborValue error, version;
    QString key;
    while (r.lastError() == QCborError::NoError && r.hasNext()) {
        if (!readKey(r, key))
            badReply(QStringLiteral("chave inválida"));
        if (key == QLatin1String("result")) {
            start = r.currentOffset();
            if (!r.next())
                badReply(QStringLiteral("\"result\" incompleto"));
            end = r.currentOffset();
            hasResult = true;
        } else if (key == QLatin1String("error")) {
            error = QCborValue::fromCbor(r);
            hasError = true;
        } else if (key == QLatin1String("jsonrpc")) {
            version = QCborValue::fromCbor(r);
        } else if (!r.next()) {
            break;
        }
    }
    if (r.lastError() != QCborError::NoError)
        badReply(QStringLiteral("CBOR malformado (%1)").arg(r.lastError().toString()));
    if (!r.leaveContainer() || r.currentOffset() != body.size())
        badReply(QStringLiteral("CBOR malformado"));
    if (version.toString() != QLatin1String("2.0"))
        badReply(QStringLiteral("versão do protocolo ausente"));
    if (hasResult == hasError)
        badReply(QStringLiteral("deve ter \"result\" ou \"error\""));
    if (hasError)
        return errorFrom(error);
    return Reply::success(body.mid(start, end - start));
}

Reply fromJson(const QByteArray &body)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        badReply(QStringLiteral("não é um objeto JSON"));
    const QJsonObject o = doc.object();
    if (o.value(QLatin1String("jsonrpc")).toString() != QLatin1String("2.0"))
        badReply(QStringLiteral("versão do protocolo ausente"));
    const bool hasResult = o.contains(QLatin1String("result"));
    if (hasResult == o.contains(QLatin1String("error")))
        badReply(QStringLiteral("deve ter \"result\" ou \"error\""));
    if (!hasResult)
        return errorFrom(QCborValue::fromJsonValue(o.value(QLatin1String("error"))));
    return Reply::success(QCborValue::fromJsonValue(o.value(QLatin1String("result"))).toCbor());
}

} // namespace

Reply Reply::fromBody(const QByteArray &body, dataset::Encoding enc)
{
    return enc == dataset::Encoding::Cbor ? fromCbor(body) : fromJson(body);
}

Reply Reply::failure(int code, const QString &message, const QCborValue &data)
{
    Reply r;
    r.m_isError = true;
    r.m_code = code;
    r.m_message = message;
    r.m_data = data;
    return r;
}

Reply Reply::success(const QByteArray &resultCbor)
{
    Reply r;
    r.m_result = resultCbor;
    return r;
}

QCborValue Reply::value() const
{
    if (m_isError)
        return {};
    return QCborValue::fromCbor(m_result);
}

} // namespace fiscal::rpc
