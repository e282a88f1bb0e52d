#include "app/MenuModel.h"

#include "core/Text.h"

namespace orvelquin {
namespace {

const QString kDot = QStringLiteral(" \u00B7 ");

MenuItem info(const QString& title) {
    return MenuItem{false, title, MenuAction::None, {}, false, false, false};
}

MenuItem action(const QString& title, MenuAction what, QKeySequence shortcut = {}) {
    return MenuItem{false, title, what, std::move(shortcut), true, false, false};
}

MenuItem separator() {
    MenuItem item;
    item.separator = true;
    return item;
}

QKeySequence ctrl(Qt::Key key) {
    return QKeySequence(Qt::CTRL | key);
}

QString memoryText(quint64 ramBytes) {
    if (ramBytes == 0) {
        return QStringLiteral("Unknown");
    }
    // QString::number is locale-independent: always a decimal point.
    return QString::number(static_cast<double>(ramBytes) / 1073741824.0, 'f', 1) + QStringLiteral(" GB");
}

} // namespace

QString formatUptime(qint64 seconds) {
    if (seconds < 60) {
        return QString::number(seconds) + u's';
    }
    if (seconds < 3600) {
        return QString::number(seconds / 60) + u'm';
    }
    return QStringLiteral("%1h %2m").arg(seconds / 3600).arg((seconds % 3600) / 60);
}

QList<MenuItem> composeMenu(const MenuState& s) {
    QList<MenuItem> items;
    items << info(QStringLiteral("Orvelquin Desktop"));
    QString account = s.email.value_or(QStringLiteral("Not signed in"));
    if (s.keychainPending) {
        account = QStringLiteral("Waiting for the keyring\u2026");
    } else if (s.signingIn) {
        account = QStringLiteral("Signing in\u2026");
    }
    items << info(account);
    items << separator();
    items << info(QStringLiteral("Device: ") +
                  truncateGraphemes(s.deviceId.value_or(QStringLiteral("No device registered")), 12));
    items << info(QStringLiteral("Status: ") +
                  displayWord(s.hasDeviceToken ? s.connectionState : ConnectionState::Disconnected) +
                  QStringLiteral(" \u00B7 Last heartbeat ") + s.lastHeartbeat);

    QString runtime = QStringLiteral("Seller runtime: ") + s.runtimeModeLabel + kDot + s.runtimeStateLabel;
    if (s.runtimeRunning) {
        runtime += kDot + QStringLiteral("up ") + formatUptime(s.runtimeUptimeSeconds);
    }
    items << info(runtime);

    QString host = s.cpuModel + kDot + memoryText(s.ramBytes) + QStringLiteral(" total") + kDot + s.gpu;
    if (s.runtimeRunning && s.runtimeCpuPercent) {
        host += kDot + QString::number(static_cast<qint64>(*s.runtimeCpuPercent)) + QStringLiteral("% CPU");
    }
    items << info(host);
    items << info(QStringLiteral("Version ") + s.version);
    items << separator();

    if (s.hasDeviceToken) {
        items << action(s.runtimeRunning ? QStringLiteral("Stop seller runtime")
                                         : QStringLiteral("Start seller runtime"),
                        MenuAction::ToggleRuntime, ctrl(Qt::Key_R));
        items << separator();
        items << action(QStringLiteral("Open Console"), MenuAction::OpenConsole, ctrl(Qt::Key_C));
        items << action(QStringLiteral("Open Devices"), MenuAction::OpenDevices, ctrl(Qt::Key_D));
        items << separator();
        items << action(QStringLiteral("Sign out"), MenuAction::SignOut);
    } else if (!s.keychainPending) {
        // A sign-in now would race the stored credentials still on their way.
        MenuItem signIn = action(QStringLiteral("Sign in\u2026"), MenuAction::PromptSignIn, ctrl(Qt::Key_I));
        signIn.enabled = !s.signingIn;
        items << signIn;
    }
    if (!items.last().separator) {
        items << separator();
    }
    items << action(QStringLiteral("Check for updates\u2026"), MenuAction::CheckForUpdates);
    if (s.pendingUpdateVersion) {
        items << action(QStringLiteral("Update available (v") + *s.pendingUpdateVersion + u')',
                        MenuAction::OpenDownloadPage);
    }
    MenuItem launch = action(QStringLiteral("Launch at login"), MenuAction::ToggleLaunchAtLogin);
    launch.checkable = true;
    launch.checked = s.launchAtLogin;
    items << launch;
    items << separator();
    items << action(QStringLiteral("Quit Orvelquin"), MenuAction::Quit, ctrl(Qt::Key_Q));
    return items;
}

} // namespace orvelquin
