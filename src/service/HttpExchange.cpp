#include "service/HttpExchange.h"

#include "core/Logging.h"

#include <QCoroNetworkReply>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {
namespace {

// A request body that can be read once. To send a request again, Qt's HTTP layer rewinds its
// body; refused, it fails the request with ContentReSendError instead.
class OneShotBody final : public QIODevice {
public:
    explicit OneShotBody(QByteArray data)
        : m_data(std::move(data)) {
        open(QIODevice::ReadOnly);
    }
    qint64 size() const override { return m_data.size(); }
    bool seek(qint64 position) override { return (!m_read || position >= pos()) && QIODevice::seek(position); }

protected:
    qint64 readData(char* out, qint64 maxSize) override {
        const qint64 n = std::min<qint64>(maxSize, m_data.size() - pos());
        if (n <= 0) {
            return 0;
        }
        std::memcpy(out, m_data.constData() + pos(), static_cast<size_t>(n));
        m_read = true;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_data;
    bool m_read = false;
};

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
                                 std::optional<QByteArray> body, Resend resend, qint64 maxBytes,
                                 std::chrono::milliseconds timeout) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(timeout.count()));

    struct Deleter {
        void operator()(QNetworkReply* r) const { r->deleteLater(); }
    };
    std::unique_ptr<QNetworkReply, Deleter> reply;
    // The address only: bearer tokens travel in a header and credentials in the body.
    const QString target = request.url().toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    qCDebug(lcService).noquote() << (body ? "POST" : "GET") << target;
    if (!body) {
        reply.reset(network.get(request));
    } else if (resend == Resend::Allowed) {
        reply.reset(network.post(request, *body));
    } else {
        request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        auto* device = new OneShotBody(*body);
        reply.reset(network.post(request, device));
        device->setParent(reply.get()); // Qt reads it until the reply has finished
    }
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
    } else if (error == QNetworkReply::ContentReSendError) {
        // Qt also resends after a reply broken off within its head or body.
        result.transportError = status.isValid()
                                    ? u"The connection to the service closed before the reply was complete."_s
                                    : u"The connection to the service closed before it answered."_s;
    } else if (error != QNetworkReply::NoError && !(code >= 400 && isStatusError(error))) {
        result.transportError = reply->errorString();
    } else if (cutShort) {
        result.transportError = u"The connection to the service closed before the reply was complete."_s;
    } else if (status.isValid()) {
        result.status = code;
    }
    if (result.status) {
        qCDebug(lcService).noquote() << target << "answered" << *result.status << "with" << result.body.size()
                                     << "bytes";
    } else {
        qCDebug(lcService).noquote() << target << "failed:" << result.transportError.value_or(u"no status"_s);
    }
    // The lambdas above refer to this frame, which ends here while the reply lives on briefly.
    QObject::disconnect(reply.get(), nullptr, nullptr, nullptr);
    co_return result;
}

} // namespace orvelquin
