#include "service/DeviceRecords.h"

#include "service/ServiceErrors.h"

namespace orvelquin {
namespace {

QString describe(QJsonValue::Type type) {
    switch (type) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

QJsonValue member(const QJsonObject& json, const char* name, QJsonValue::Type expected, const char* expectedText) {
    const QJsonValue value = json.value(QLatin1StringView(name));
    if (value.type() != expected) {
        throw DecodingError(QStringLiteral("The service's reply is not valid: \"%1\" should be %2 but is %3")
                                .arg(QLatin1StringView(name), QLatin1StringView(expectedText), describe(value.type())));
    }
    return value;
}

QString requiredString(const QJsonObject& json, const char* name) {
    return member(json, name, QJsonValue::String, "a string").toString();
}

bool requiredBool(const QJsonObject& json, const char* name) {
    return member(json, name, QJsonValue::Bool, "a boolean").toBool();
}

} // namespace

SignInResponse SignInResponse::fromJson(const QJsonObject& json) {
    return {requiredString(json, "access_token"), requiredString(json, "refresh_token")};
}

RegisterDeviceResponse RegisterDeviceResponse::fromJson(const QJsonObject& json) {
    return {requiredString(json, "device_id"), requiredBool(json, "approved")};
}

SessionResponse SessionResponse::fromJson(const QJsonObject& json) {
    SessionResponse r{requiredString(json, "device_token"), std::nullopt};
    const QJsonValue expires = json.value(QStringLiteral("expires_at"));
    if (expires.isString()) {
        r.expiresAt = expires.toString();
    } else if (!expires.isUndefined() && !expires.isNull()) {
        member(json, "expires_at", QJsonValue::String, "a string or null");
    }
    return r;
}

HeartbeatResponse HeartbeatResponse::fromJson(const QJsonObject& json) {
    return {requiredBool(json, "ok")};
}

} // namespace orvelquin
