#include "app/DesktopNotices.h"

#include "core/Settings.h"
#include "platform/Notifications.h"

namespace orvelquin {

using Urgency = platform::Notification::Urgency;

DesktopNotices::DesktopNotices(platform::Notifier& notifier, std::chrono::seconds outage)
    : m_notifier(notifier)
    , m_outage(outage) {}

void DesktopNotices::heartbeatOutcome(ConnectionState state, Clock::time_point now) {
    const ConnectionState before = m_state;
    m_state = state;
    if (state == ConnectionState::DeviceRevoked && before != ConnectionState::DeviceRevoked) {
        m_notifier.notify(
            {.summary = QStringLiteral("Device revoked"),
             .body = QStringLiteral("The Orvelquin service no longer accepts this computer. Sign out and sign in "
                                    "again to register it anew."),
             .urgency = Urgency::Critical});
    }
    const bool unreachable = state == ConnectionState::ServerUnavailable || state == ConnectionState::Reconnecting;
    if (unreachable) {
        if (!m_failingSince) {
            m_failingSince = now;
        }
        if (!m_outageTold && now - *m_failingSince >= m_outage) {
            m_outageTold = true;
            m_notifier.notify(
                {.summary = QStringLiteral("Orvelquin service unreachable"),
                 .body = QStringLiteral("The service has not answered for more than %1 minutes, so this computer "
                                        "shows offline. Orvelquin Desktop keeps trying and says when it is back.")
                             .arg(std::chrono::duration_cast<std::chrono::minutes>(m_outage).count())});
        }
        return;
    }
    if (m_outageTold && state == ConnectionState::Connected) {
        m_notifier.notify(
            {.summary = QStringLiteral("Back online"),
             .body = QStringLiteral("The Orvelquin service answers again, and this computer shows online."),
             .urgency = Urgency::Low});
    }
    // Any answer of the service ends the outage, a revoked device's too.
    m_failingSince.reset();
    m_outageTold = false;
}

void DesktopNotices::runtimeState(SellerRuntimeController::RuntimeState state, const QString& error) {
    const SellerRuntimeController::RuntimeState before = m_runtime;
    m_runtime = state;
    if (state == SellerRuntimeController::RuntimeState::Crashed && before != state) {
        m_notifier.notify({.summary = QStringLiteral("Seller runtime stopped"),
                           .body = error + QStringLiteral(". Start it again from the Orvelquin menu.")});
    }
}

void DesktopNotices::updateFound(const QString& version) {
    QSettings settings = userSettings();
    if (version == settings.value(SettingsKeys::notifiedUpdateVersion).toString()) {
        return;
    }
    settings.setValue(SettingsKeys::notifiedUpdateVersion, version);
    m_notifier.notify(
        {.summary = QStringLiteral("Update available"),
         .body = QStringLiteral("Orvelquin Desktop %1 is available. Choose \u201cUpdate available\u201d in the "
                                "Orvelquin menu to download it.")
                     .arg(version),
         .urgency = Urgency::Low});
}

} // namespace orvelquin
