#pragma once

#include <QString>

#include <optional>

namespace orvelquin::platform {

// The name people gave this computer: the pretty host name if one is set, else the host name.
std::optional<QString> localizedHostName();

} // namespace orvelquin::platform
