#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkReply>
#include <QString>

#include <chrono>
#include <optional>

class QNetworkAccessManager;
class QNetworkRequest;

namespace orvelquin {

// The outcome of one HTTP exchange, read with a size cap and without following redirects.
struct HttpResult {
    std::optional<int> status; // absent when no HTTP reply arrived
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    bool tooLarge = false;
};

// Sends one request (POST when a body is given, GET otherwise). Redirects are never followed, so
// credentials are never re-sent elsewhere, and a body beyond maxBytes aborts the exchange.
QCoro::Task<HttpResult> exchange(QNetworkAccessManager& network, QNetworkRequest request,
                                 std::optional<QByteArray> body, qint64 maxBytes, std::chrono::milliseconds timeout);

} // namespace orvelquin
