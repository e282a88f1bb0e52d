#pragma once

#include <QString>

namespace orvelquin::platform {

qint64 currentProcessId();

// True when a process with this id exists and may be signalled (signal 0).
bool processExists(qint64 pid);

// File name of the program a process runs (no directory), or empty when it cannot be read.
QString processExecutableName(qint64 pid);

} // namespace orvelquin::platform
