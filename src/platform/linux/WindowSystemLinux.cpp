#include "platform/WindowSystem.h"

namespace orvelquin::platform {

QByteArray preferredWindowSystem(const QProcessEnvironment& environment) {
    if (!environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty()) {
        return {}; // the user's choice stands
    }
    const bool wayland = environment.value(QStringLiteral("XDG_SESSION_TYPE")) == u"wayland" ||
                         !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    const QStringList desktops =
        environment.value(QStringLiteral("XDG_CURRENT_DESKTOP")).toLower().split(u':', Qt::SkipEmptyParts);
    // GNOME's compositor neither decorates Wayland windows (no xdg-decoration) nor centres a
    // parentless one, and Qt 6.4 has only its own plain title bar to draw: a native dialog sits
    // bare in the top-left corner. Through Xwayland GNOME decorates it and honours the centred
    // position Qt asks for. Other Wayland desktops (Plasma, sway) decorate Qt's windows.
    if (wayland && desktops.contains(u"gnome") && !environment.value(QStringLiteral("DISPLAY")).isEmpty()) {
        return QByteArrayLiteral("xcb");
    }
    return {};
}

} // namespace orvelquin::platform
