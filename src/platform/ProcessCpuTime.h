#pragma once

#include <QtGlobal>

#include <optional>

namespace orvelquin::platform {

// Cumulative user + system processor time of a process, in nanoseconds.
std::optional<quint64> processCpuTimeNs(qint64 pid);

// The (user, system) tick fields of a /proc/<pid>/stat line; pure, for tests.
std::optional<quint64> parseProcStatTicks(const QByteArray& stat);

} // namespace orvelquin::platform
