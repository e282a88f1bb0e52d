#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace orvelquin {

// Every failure of the service client carries a human-readable message. Callers show it, and the
// heartbeat loop classifies it, so what() is always the message as UTF-8.
class ServiceError : public std::exception {
public:
    explicit ServiceError(QString message)
        : m_message(std::move(message))
        , m_utf8(m_message.toUtf8()) {}
    const QString& message() const { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// The service answered, but not with success: its "detail" text, "HTTP <code>", or "No HTTP response".
class APIError : public ServiceError {
public:
    using ServiceError::ServiceError;
};

// The request never got a complete answer: connection, TLS, timeout, or a reply over the size cap.
// A reply whose transfer breaks after its status line is one of these, whatever the status.
class TransportError : public ServiceError {
public:
    using ServiceError::ServiceError;
};

// A success reply whose body is not the record the operation expects.
class DecodingError : public ServiceError {
public:
    using ServiceError::ServiceError;
};

} // namespace orvelquin
