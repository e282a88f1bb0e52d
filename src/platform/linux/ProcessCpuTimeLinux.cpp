#include "platform/ProcessCpuTime.h"
#include "platform/linux/LinuxParsers.h"

#include <QFile>

#include <unistd.h>

namespace orvelquin::platform {

std::optional<quint64> processCpuTimeNs(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid < 1 || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const std::optional<quint64> ticks = LinuxParsers::procStatTicks(file.read(4096));
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    if (!ticks || perSecond <= 0) {
        return std::nullopt;
    }
    quint64 nanoseconds = 0;
    if (__builtin_mul_overflow(*ticks, 1000000000ULL / static_cast<quint64>(perSecond), &nanoseconds)) {
        return std::nullopt; // no process has run for centuries: a reading that says so is broken
    }
    return nanoseconds;
}

} // namespace orvelquin::platform
