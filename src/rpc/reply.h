#pragma once
// What a call to the server gives back: the failure the server reported, or its result as
// the raw CBOR bytes of the envelope's "result" member (so a big data packet can be
// stream-decoded without building a tree). A transport failure is not a Reply: it is thrown
// as TransportError.

#include "dataset/valuewriter.h"

#include <QByteArray>
#include <QCborValue>
#include <QString>
#include <stdexcept>

namespace fiscal::rpc {

// The server could not be reached, did not answer in time, or answered something that is
// not a reply. message() is a Portuguese sentence for the user.
class TransportError : public std::runtime_error {
public:
    // `answered`: an HTTP answer came (a proxy's refusal, an unexpected status), and its
    // message says what became of the request; else none came, and a write sent may have
    // been done.
    explicit TransportError(const QString &message, bool answered = false)
        : std::runtime_error(message.toStdString()), m_message(message), m_answered(answered) {}
    const QString &message() const { return m_message; }
    bool answered() const { return m_answered; }
private:
    QString m_message;
    bool m_answered;
};

// Why a network operation failed, in Portuguese for the user: the usual errno values of a
// connection (refused, reset, timed out, unreachable); the system's own text for the rare rest.
QString networkErrorText(int errnoValue);

class Reply {
public:
    // Reads a reply envelope; throws TransportError when `body` is not one.
    static Reply fromBody(const QByteArray &body, dataset::Encoding enc);
    static Reply failure(int code, const QString &message, const QCborValue &data = {});
    static Reply success(const QByteArray &resultCbor);

    bool isError() const { return m_isError; }
    bool ok() const { return !m_isError; }
    int errorCode() const { return m_code; }
    const QString &errorMessage() const { return m_message; }
    const QCborValue &errorData() const { return m_data; }   // Undefined when none

    // The result's encoded bytes (one CBOR item); empty for a failure.
    const QByteArray &resultCbor() const { return m_result; }
    // The result decoded as a tree: for small results. Undefined for a failure.
    QCborValue value() const;

private:
    bool m_isError = false;
    int m_code = 0;
    QString m_message;
    QCborValue m_data;
    QByteArray m_result;
};

} // namespace fiscal::rpc
