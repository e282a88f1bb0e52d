#pragma once

#include <QLatin1StringView>
#include <QSettings>

namespace orvelquin::SettingsKeys {

// Keys of the user's settings (QSettings "Orvelquin" / "orvelquin-desktop"), kept in one place.
inline constexpr QLatin1StringView launchAtLogin("launchAtLogin");
inline constexpr QLatin1StringView sellerRuntimePath("sellerRuntimePath");
// The newer version a notification has told about, so that each version is told once.
inline constexpr QLatin1StringView notifiedUpdateVersion("notifiedUpdateVersion");

} // namespace orvelquin::SettingsKeys

namespace orvelquin {

// The user's settings file, $XDG_CONFIG_HOME/Orvelquin/orvelquin-desktop.conf. Named here rather
// than taken from the application's name, which is the product name that panels show.
inline QSettings userSettings() {
    return QSettings(QStringLiteral("Orvelquin"), QStringLiteral("orvelquin-desktop"));
}

} // namespace orvelquin
