#include "app/StatusLook.h"

namespace orvelquin {

StatusLook statusLook(const MenuState& s) {
    const QString product = QStringLiteral("Orvelquin Desktop");
    const QString dot = QStringLiteral(" \u00B7 ");
    if (!s.hasDeviceToken) {
        return {StatusLook::Icon::SignedOut,
                product + dot + (s.signingIn ? QStringLiteral("Signing in\u2026") : QStringLiteral("Not signed in"))};
    }
    const bool connected = s.connectionState == ConnectionState::Connected;
    // Launch with stored credentials reads "Disconnected" until the first heartbeat: not a
    // failure, so it shares the quiet look rather than asking for attention.
    const bool waiting = s.connectionState == ConnectionState::Disconnected;
    StatusLook::Icon icon = StatusLook::Icon::Connected;
    if (s.runtimeCrashed || (!connected && !waiting)) {
        icon = StatusLook::Icon::Attention;
    } else if (waiting) {
        icon = StatusLook::Icon::SignedOut;
    }
    return {icon, product + dot + displayWord(s.connectionState) + dot + QStringLiteral("seller runtime ") +
                      s.runtimeStateLabel};
}

QString iconName(StatusLook::Icon icon) {
    switch (icon) {
    case StatusLook::Icon::Connected:
        return QStringLiteral("orvelquin-desktop-symbolic");
    case StatusLook::Icon::Attention:
        return QStringLiteral("orvelquin-desktop-attention-symbolic");
    case StatusLook::Icon::SignedOut:
        break;
    }
    return QStringLiteral("orvelquin-desktop-offline-symbolic");
}

} // namespace orvelquin
