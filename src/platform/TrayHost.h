#pragma once

#include <QObject>

#include <memory>

namespace orvelquin::platform {

// Whether the desktop currently shows status icons, and when a status area appears later (a
// panel that starts after the agent at login, an extension switched on).
class TrayHost : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    // A StatusNotifierWatcher with a registered host, or an XEmbed system tray.
    virtual bool isAvailable() const = 0;
    // Whether a tray icon made now goes over D-Bus (StatusNotifierItem with an exported
    // dbusmenu) rather than XEmbed, where the agent draws its menu itself.
    virtual bool exportsMenu() const = 0;

Q_SIGNALS:
    void appeared();
};

std::unique_ptr<TrayHost> createTrayHost();

} // namespace orvelquin::platform
