#pragma once

#include "host/SystemInfo.h"
#include "service/DeviceRecords.h"
#include "service/ServiceErrors.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QUrl>

#include <chrono>
#include <optional>

class QNetworkAccessManager;

namespace orvelquin {

enum class Resend;

// Client of the service's device API. Every operation throws a ServiceError subclass on failure
// (APIError, TransportError, DecodingError), whose message() is what the user is shown. Sign-in,
// registration and session requests reach the service at most once per call; a heartbeat may be
// sent again by Qt when its connection closes before any reply.
class APIClient {
public:
    static constexpr qint64 kMaxReplyBytes = 1024 * 1024;

    APIClient(QUrl baseURL, QNetworkAccessManager& session,
              std::chrono::milliseconds timeout = std::chrono::seconds(60));

    const QUrl& baseURL() const { return m_baseURL; }

    QCoro::Task<SignInResponse> signIn(QString email, QString password);
    QCoro::Task<RegisterDeviceResponse> registerDevice(QString name, SystemInfo info, QString version, QString bearer);
    QCoro::Task<SessionResponse> startDeviceSession(QString deviceId, QString bearer);
    QCoro::Task<> heartbeat(QString deviceToken, bool healthy, int capacity, QString status, SystemInfo info,
                            QJsonObject runtime);

    // The host description as both registration and heartbeat send it.
    static QJsonObject hostMembers(const SystemInfo& info);

private:
    QCoro::Task<QJsonObject> post(QByteArray encodedPath, QJsonObject body, std::optional<QString> bearer,
                                  Resend resend);

    QUrl m_baseURL;
    QNetworkAccessManager* m_session;
    std::chrono::milliseconds m_timeout;
};

} // namespace orvelquin
