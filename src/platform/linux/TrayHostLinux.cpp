#include "platform/TrayHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QRegularExpression>

#include <xcb/xcb.h>

#include <cstdlib>

namespace orvelquin::platform {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// The screen part of DISPLAY (":0.1" is screen 1); the tray manager owns a selection per screen.
int displayScreen() {
    static const QRegularExpression screen(QStringLiteral("\\.(\\d+)$"));
    const QRegularExpressionMatch match = screen.match(qEnvironmentVariable("DISPLAY"));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

// Asked of the X server directly: QSystemTrayIcon::isSystemTrayAvailable would settle Qt's tray
// backend for the whole process, and a panel starting later could never be reached.
bool hasXEmbedTray() {
    // The offscreen platform offers the same interface without a connection behind it.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return false;
    }
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        return false;
    }
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(displayScreen());
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.constData()), nullptr);
    if (!atom) {
        return false;
    }
    const xcb_atom_t selection = atom->atom;
    free(atom);
    if (selection == XCB_ATOM_NONE) {
        return false;
    }
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
    free(owner);
    return owned;
}

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
        return hasXEmbedTray();
    }

private:
    QDBusServiceWatcher m_watcher;
};

} // namespace

std::unique_ptr<TrayHost> createTrayHost() {
    return std::make_unique<LinuxTrayHost>();
}

} // namespace orvelquin::platform
