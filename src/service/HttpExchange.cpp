#include "service/HttpExchange.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {

QCoro::Task<HttpResult> exchange(QNetworkAccessManager& network, QNetworkRequest request,
                                 std::optional<QByteArray> body, qint64 maxBytes, std::chrono::milliseconds timeout) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout.count()));

    struct Deleter {
        void operator()(QNetworkReply* r) const { r->deleteLater(); }
    };
    std::unique_ptr<QNetworkReply, Deleter> reply(body ? network.post(request, *body) : network.get(request));
    // Qt's network thread would otherwise buffer whatever a fast peer sends before this thread
    // gets to see it and give up; bounded, it waits for the reads below.
    reply->setReadBufferSize(maxBytes + 1);

    HttpResult result;
    QByteArray received;
    auto drain = [&] {
        received += reply->readAll();
        if (received.size() > maxBytes) {
            result.tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBytes) {
            result.tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(), drain);

    co_await reply.get();

    if (!result.tooLarge) {
        drain();
    }
    result.body = std::move(received);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !result.tooLarge) {
        result.status = status.toInt();
    }
    result.error = reply->error();
    result.errorText = reply->errorString();
    // The lambdas above refer to this frame, which ends here while the reply lives on briefly.
    QObject::disconnect(reply.get(), nullptr, nullptr, nullptr);
    co_return result;
}

} // namespace orvelquin
