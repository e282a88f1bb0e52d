#include "app/HeartbeatPolicy.h"

#include <algorithm>

namespace orvelquin::HeartbeatPolicy {

QString classifyFailure(const QString& message) {
    if (message.contains(QStringLiteral("Invalid device session"))) {
        return QStringLiteral("Device revoked");
    }
    if (message.contains(QStringLiteral("HTTP 5"))) {
        return QStringLiteral("Server unavailable");
    }
    return QStringLiteral("Reconnecting");
}

double backedOff(double interval, double maximum) {
    return std::min(interval * 2.0, maximum);
}

} // namespace orvelquin::HeartbeatPolicy
