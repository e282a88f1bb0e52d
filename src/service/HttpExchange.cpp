#include "service/HttpExchange.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {
namespace {

// The errors Qt derives from a status of 400 or more once the reply has arrived whole; any other
// error is the transfer's own.
bool isStatusError(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::ProtocolInvalidOperationError:
    case QNetworkReply::AuthenticationRequiredError:
    case QNetworkReply::ContentAccessDenied:
    case QNetworkReply::ContentNotFoundError:
    case QNetworkReply::ContentOperationNotPermittedError:
    case QNetworkReply::ContentConflictError:
    case QNetworkReply::ContentGoneError:
    case QNetworkReply::UnknownContentError:
    case QNetworkReply::InternalServerError:
    case QNetworkReply::OperationNotImplementedError:
    case QNetworkReply::ServiceUnavailableError:
    case QNetworkReply::UnknownServerError:
        return true;
    default:
        return false;
    }
}

} // namespace

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
    bool tooLarge = false;
    QByteArray received;
    auto drain = [&] {
        received += reply->readAll();
        if (received.size() > maxBytes) {
            tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(), [&] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(), drain);

    co_await reply.get();

    if (!tooLarge && reply->isOpen()) {
        drain();
    }
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt can take a connection closed in the middle of a body for the end of the reply. (When it
    // decompresses a body it drops the Content-Length, which counted the compressed bytes; 1xx,
    // 204 and 304 replies have no body whatever their Content-Length says.)
    const int code = status.toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool cutShort =
        code >= 200 && code != 204 && code != 304 && length.isValid() && received.size() < length.toLongLong();
    result.body = std::move(received);
    if (tooLarge) {
        result.transportError = u"The service's reply is larger than %1 KiB"_s.arg(maxBytes / 1024);
    } else if (error == QNetworkReply::OperationCanceledError) {
        // Besides the cap above, only the transfer timeout cancels; Qt's own text would say
        // "Operation canceled".
        result.transportError = u"The service did not answer within %1 seconds."_s.arg(
            QString::number(static_cast<double>(timeout.count()) / 1000.0));
    } else if (error != QNetworkReply::NoError && !(code >= 400 && isStatusError(error))) {
        result.transportError = reply->errorString();
    } else if (cutShort) {
        result.transportError = u"The connection to the service closed before the reply was complete."_s;
    } else if (status.isValid()) {
        result.status = code;
    }
    // The lambdas above refer to this frame, which ends here while the reply lives on briefly.
    QObject::disconnect(reply.get(), nullptr, nullptr, nullptr);
    co_return result;
}

} // namespace orvelquin
