#pragma once

#include <QString>

namespace orvelquin::HeartbeatPolicy {

inline constexpr double kNormalInterval = 30.0;
inline constexpr double kMaximumInterval = 300.0;

// The connection state a failed heartbeat's error message stands for. The service marks a revoked
// device only in its detail text, so that test comes first whatever the status code.
QString classifyFailure(const QString& message);

// The delay after one more failure: doubled, never beyond the maximum.
double backedOff(double interval, double maximum = kMaximumInterval);

} // namespace orvelquin::HeartbeatPolicy
