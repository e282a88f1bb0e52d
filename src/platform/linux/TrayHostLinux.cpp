#include "platform/TrayHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QSystemTrayIcon>

namespace orvelquin::platform {
namespace {

// Qt exports the icon as a StatusNotifierItem when this watcher exists on the session bus, and
// falls back to an XEmbed tray otherwise; QSystemTrayIcon::isSystemTrayAvailable covers both.
const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

class LinuxTrayHost final : public TrayHost {
public:
    LinuxTrayHost()
        : m_watcher(kWatcher, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration) {
        connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::appeared);
    }

    bool isAvailable() const override {
        const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        if (bus && bus->isServiceRegistered(kWatcher)) {
            return true;
        }
        return QSystemTrayIcon::isSystemTrayAvailable();
    }

private:
    QDBusServiceWatcher m_watcher;
};

} // namespace

std::unique_ptr<TrayHost> createTrayHost() {
    return std::make_unique<LinuxTrayHost>();
}

} // namespace orvelquin::platform
