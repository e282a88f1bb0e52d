#include "platform/ConnectivityWatch.h"

#include <utility>

namespace orvelquin::platform {
namespace {

const QString networkManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString login1 = QStringLiteral("org.freedesktop.login1");
// NM_STATE_CONNECTED_GLOBAL: a default route, and the connectivity check (where enabled)
// passed. "Site" and "local" states do not reach the service.
constexpr uint connectedGlobal = 70;

// Straight from the services rather than through QNetworkInformation: Qt's NetworkManager
// backend reads the same signal, but only ever on the process's own system bus, and it has no
// word for sleep.
class SystemBusConnectivityWatch final : public ConnectivityWatch {
    Q_OBJECT

public:
    explicit SystemBusConnectivityWatch(QDBusConnection bus)
        : m_bus(std::move(bus)) {
        m_bus.connect(networkManager, QStringLiteral("/org/freedesktop/NetworkManager"), networkManager,
                      QStringLiteral("StateChanged"), this, SLOT(networkStateChanged(uint)));
        m_bus.connect(login1, QStringLiteral("/org/freedesktop/login1"), login1 + QStringLiteral(".Manager"),
                      QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
    }

private Q_SLOTS:
    void networkStateChanged(uint state) {
        // Unknown at start counts as offline: NetworkManager reports only changes, so the first
        // "online" seen follows a state that was not.
        const bool wasOnline = std::exchange(m_online, state == connectedGlobal);
        if (m_online && !wasOnline) {
            Q_EMIT connectivityRestored();
        }
    }

    void prepareForSleep(bool sleeping) {
        if (sleeping == m_sleeping) {
            return;
        }
        m_sleeping = sleeping;
        if (sleeping) {
            Q_EMIT aboutToSleep();
        } else {
            Q_EMIT resumed();
        }
    }

private:
    QDBusConnection m_bus;
    bool m_online = false;
    bool m_sleeping = false;
};

} // namespace

std::unique_ptr<ConnectivityWatch> createConnectivityWatch(const QDBusConnection& systemBus) {
    return std::make_unique<SystemBusConnectivityWatch>(systemBus);
}

} // namespace orvelquin::platform

#include "ConnectivityWatchLinux.moc"
