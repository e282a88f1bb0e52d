#pragma once

#include <QString>

namespace orvelquin {

class ServiceError;

// The connection state the menu and the icon show; every heartbeat outcome sets it.
enum class ConnectionState { Disconnected, Connected, DeviceRevoked, ServerUnavailable, Reconnecting };

// The words the menu and the tooltip show for a state, kept in this one place.
QString displayWord(ConnectionState state);

namespace HeartbeatPolicy {

// Seconds between heartbeats while the service answers, and the most the back-off reaches.
inline constexpr double kNormalInterval = 30.0;
inline constexpr double kMaximumInterval = 300.0;

// The state a failed heartbeat stands for. The service marks a revoked device only in its
// detail text, so that test comes first whatever the status code.
ConnectionState classifyFailure(const ServiceError& error);

// The delay after one more failure: doubled, never beyond the maximum.
double backedOff(double interval, double maximum = kMaximumInterval);

} // namespace HeartbeatPolicy
} // namespace orvelquin
