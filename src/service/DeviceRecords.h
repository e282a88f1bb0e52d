#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

namespace orvelquin {

// Replies of the device API. Decoding is strict about the members a record names (missing, null
// or mistyped fails with DecodingError) and ignores every other member.
struct SignInResponse {
    QString accessToken;
    QString refreshToken;
    static SignInResponse fromJson(const QJsonObject& json);
};

struct RegisterDeviceResponse {
    QString deviceId;
    bool approved = false;
    static RegisterDeviceResponse fromJson(const QJsonObject& json);
};

struct SessionResponse {
    QString deviceToken;
    std::optional<QString> expiresAt;
    static SessionResponse fromJson(const QJsonObject& json);
};

struct HeartbeatResponse {
    bool ok = false;
    static HeartbeatResponse fromJson(const QJsonObject& json);
};

} // namespace orvelquin
