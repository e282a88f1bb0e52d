#pragma once

#include <QLatin1StringView>

namespace orvelquin::SettingsKeys {

// Keys of the user's settings (QSettings "Orvelquin" / "orvelquin-desktop"), kept in one place.
inline constexpr QLatin1StringView launchAtLogin("launchAtLogin");
inline constexpr QLatin1StringView sellerRuntimePath("sellerRuntimePath");

} // namespace orvelquin::SettingsKeys
