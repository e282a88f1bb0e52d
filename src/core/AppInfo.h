#pragma once

#include <QString>

namespace orvelquin::AppInfo {

// The version this build was given; a build configured with an empty version reports the fallback.
QString version();

// The service origin compiled into this build, for example "https://orvelquin.example".
QString serviceBaseURL();

} // namespace orvelquin::AppInfo
