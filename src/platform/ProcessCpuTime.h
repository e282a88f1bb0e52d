#pragma once

#include <QtGlobal>

#include <optional>

namespace orvelquin::platform {

// Cumulative user + system processor time of a process, in nanoseconds.
std::optional<quint64> processCpuTimeNs(qint64 pid);

} // namespace orvelquin::platform
