#pragma once

#include "app/HeartbeatPolicy.h"

#include <QKeySequence>
#include <QList>
#include <QString>

#include <optional>

namespace orvelquin {

// What the status menu does when an item is chosen; None marks information items and separators.
enum class MenuAction {
    None,
    ToggleRuntime,
    OpenConsole,
    OpenDevices,
    SignOut,
    PromptSignIn,
    CheckForUpdates,
    OpenDownloadPage,
    ToggleLaunchAtLogin,
    Quit,
};

struct MenuItem {
    bool separator = false;
    QString title;
    MenuAction action = MenuAction::None;
    QKeySequence shortcut;
    bool enabled = false;
    bool checkable = false;
    bool checked = false;

    bool operator==(const MenuItem&) const = default;
};

// Everything the menu shows, read from the controller at the moment of a rebuild.
struct MenuState {
    std::optional<QString> email;
    std::optional<QString> deviceId;
    bool hasDeviceToken = false;
    // A sign-in is under way: the account line says so and no second one can start.
    bool signingIn = false;
    // Launch has not heard back from the keyring yet (it may be showing an unlock prompt).
    bool keychainPending = false;
    ConnectionState connectionState = ConnectionState::Disconnected;
    QString lastHeartbeat;
    QString runtimeModeLabel;
    QString runtimeStateLabel;
    bool runtimeRunning = false;
    // Ended without being asked to: the icon asks for attention.
    bool runtimeCrashed = false;
    qint64 runtimeUptimeSeconds = 0;
    std::optional<double> runtimeCpuPercent;
    QString cpuModel;
    quint64 ramBytes = 0;
    QString gpu;
    QString version;
    std::optional<QString> pendingUpdateVersion;
    bool launchAtLogin = false;
};

// The menu as a list, so its texts and layout are tested without a display; rendering it into a
// QMenu is the controller's job.
QList<MenuItem> composeMenu(const MenuState& state);

QString formatUptime(qint64 seconds);

} // namespace orvelquin
