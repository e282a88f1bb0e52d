#include "app/HeartbeatPolicy.h"

#include "service/ServiceErrors.h"

#include <algorithm>

namespace orvelquin {

QString displayWord(ConnectionState state) {
    switch (state) {
    case ConnectionState::Disconnected:
        break;
    case ConnectionState::Connected:
        return QStringLiteral("Connected");
    case ConnectionState::DeviceRevoked:
        return QStringLiteral("Device revoked");
    case ConnectionState::ServerUnavailable:
        return QStringLiteral("Server unavailable");
    case ConnectionState::Reconnecting:
        return QStringLiteral("Reconnecting");
    }
    return QStringLiteral("Disconnected");
}

namespace HeartbeatPolicy {

ConnectionState classifyFailure(const ServiceError& error) {
    const QString& message = error.message();
    if (message.contains(QStringLiteral("Invalid device session"))) {
        return ConnectionState::DeviceRevoked;
    }
    if (message.contains(QStringLiteral("HTTP 5"))) {
        return ConnectionState::ServerUnavailable;
    }
    return ConnectionState::Reconnecting;
}

double backedOff(double interval, double maximum) {
    return std::min(interval * 2.0, maximum);
}

} // namespace HeartbeatPolicy
} // namespace orvelquin
