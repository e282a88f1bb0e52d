#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkRequest;

namespace orvelquin {

// The outcome of one HTTP exchange, read with a size cap and without following redirects.
struct HttpResult {
    std::optional<int> status; // set only for a reply that arrived whole
    QByteArray body;
    // Why the exchange broke: connection, TLS, timeout, a reply over the cap. A transfer that
    // breaks after the status line lands here too, since the service's answer is unknown.
    std::optional<QString> transportError;
};

// Qt sends a request again by itself when its connection closes before any reply byte, although
// the service may have acted on the first one. Never is for requests that must not be repeated.
enum class Resend { Allowed, Never };

// Sends one request (POST when a body is given, GET otherwise). Redirects are never followed, so
// credentials are never re-sent elsewhere, and a body beyond maxBytes aborts the exchange.
QCoro::Task<HttpResult> exchange(QNetworkAccessManager& network, QNetworkRequest request,
                                 std::optional<QByteArray> body, Resend resend, qint64 maxBytes,
                                 std::chrono::milliseconds timeout);

} // namespace orvelquin
