#include "service/APIClient.h"

#include "service/HttpExchange.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {

APIClient::APIClient(QUrl baseURL, QNetworkAccessManager& session, std::chrono::milliseconds timeout)
    : m_baseURL(std::move(baseURL))
    , m_session(&session)
    , m_timeout(timeout) {}

QJsonObject APIClient::hostMembers(const SystemInfo& info) {
    return {
        {u"platform"_s, u"Linux"_s},
        {u"architecture"_s, info.architecture},
        {u"os_version"_s, info.osVersion},
        {u"cpu"_s, info.cpuModel},
        {u"gpu"_s, info.gpu},
        // Exact up to 2^53 bytes, and QJsonDocument writes whole doubles without exponent.
        {u"ram_bytes"_s, static_cast<qint64>(info.ramBytes)},
    };
}

QCoro::Task<SignInResponse> APIClient::signIn(QString email, QString password) {
    const QJsonObject body{{u"email"_s, email}, {u"password"_s, password}};
    const QJsonObject reply = co_await post(QByteArray("/auth/login"), body, std::nullopt, Resend::Never);
    co_return SignInResponse::fromJson(reply);
}

QCoro::Task<RegisterDeviceResponse> APIClient::registerDevice(QString name, SystemInfo info, QString version,
                                                              QString bearer) {
    QJsonObject body = hostMembers(info);
    body.insert(u"name"_s, name);
    body.insert(u"software_version"_s, version);
    const QJsonObject reply = co_await post(QByteArray("/v1/devices/register"), body, bearer, Resend::Never);
    co_return RegisterDeviceResponse::fromJson(reply);
}

QCoro::Task<SessionResponse> APIClient::startDeviceSession(QString deviceId, QString bearer) {
    // The id comes from a reply: it must stay one path segment, or a hostile id could steer the
    // bearer token to another endpoint. QUrl turns %2E back into ".", so dot segments are refused.
    if (deviceId == u"." || deviceId == u"..") {
        throw APIError(u"The service sent an invalid device id"_s);
    }
    const QByteArray segment = QUrl::toPercentEncoding(deviceId);
    const QJsonObject reply = co_await post(QByteArray("/v1/devices/") + segment + QByteArray("/session"),
                                            QJsonObject(), bearer, Resend::Never);
    co_return SessionResponse::fromJson(reply);
}

QCoro::Task<> APIClient::heartbeat(QString deviceToken, bool healthy, int capacity, QString status, SystemInfo info,
                                   QJsonObject runtime) {
    const QJsonObject body{
        {u"healthy"_s, healthy},
        {u"capacity"_s, capacity},
        {u"status"_s, status},
        {u"runtime"_s, runtime},
        {u"device_info"_s, hostMembers(info)},
    };
    // A repeated heartbeat only reports the same state twice, and the resend rides out a kept-alive
    // connection that the service closed just as the beat went out.
    const QJsonObject reply = co_await post(QByteArray("/v1/devices/heartbeat"), body, deviceToken, Resend::Allowed);
    HeartbeatResponse::fromJson(reply);
}

QCoro::Task<QJsonObject> APIClient::post(QByteArray encodedPath, QJsonObject body, std::optional<QString> bearer,
                                         Resend resend) {
    const QUrl url = QUrl::fromEncoded(m_baseURL.toEncoded() + encodedPath, QUrl::StrictMode);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    if (bearer) {
        request.setRawHeader("Authorization", "Bearer " + bearer->toUtf8());
    }
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);

    const HttpResult result = co_await exchange(*m_session, request, payload, resend, kMaxReplyBytes, m_timeout);
    if (result.transportError) {
        throw TransportError(*result.transportError);
    }
    if (!result.status) {
        throw APIError(u"No HTTP response"_s);
    }
    const int status = *result.status;
    if (status < 200 || status > 299) {
        const QJsonDocument doc = QJsonDocument::fromJson(result.body);
        const QJsonValue detail = doc.isObject() ? doc.object().value(u"detail"_s) : QJsonValue();
        if (detail.isString()) {
            throw APIError(detail.toString());
        }
        throw APIError(u"HTTP %1"_s.arg(status));
    }
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(result.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        throw DecodingError(u"The service's reply is not valid JSON: %1"_s.arg(parseError.errorString()));
    }
    if (!doc.isObject()) {
        throw DecodingError(u"The service's reply is not a JSON object"_s);
    }
    co_return doc.object();
}

} // namespace orvelquin
