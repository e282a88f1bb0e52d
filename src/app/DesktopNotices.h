#pragma once

#include "app/HeartbeatPolicy.h"
#include "runtime/SellerRuntimeController.h"

#include <QString>

#include <chrono>
#include <optional>

namespace orvelquin {

namespace platform {
class Notifier;
}

// The few moments worth a desktop notification, each told once when it happens, never once per
// heartbeat: the device was revoked, the seller runtime stopped on its own, the service has been
// unreachable for a long time and is back, a newer version exists. Each says what to do next.
class DesktopNotices {
public:
    using Clock = std::chrono::steady_clock;

    explicit DesktopNotices(platform::Notifier& notifier, std::chrono::seconds outage = std::chrono::minutes(10));

    void heartbeatOutcome(ConnectionState state, Clock::time_point now);
    void runtimeState(SellerRuntimeController::RuntimeState state, const QString& error);
    // Each version is told once, also across launches (the settings remember the last one).
    void updateFound(const QString& version);

private:
    platform::Notifier& m_notifier;
    std::chrono::seconds m_outage;
    ConnectionState m_state = ConnectionState::Disconnected;
    SellerRuntimeController::RuntimeState m_runtime = SellerRuntimeController::RuntimeState::Stopped;
    std::optional<Clock::time_point> m_failingSince;
    bool m_outageTold = false;
};

} // namespace orvelquin
