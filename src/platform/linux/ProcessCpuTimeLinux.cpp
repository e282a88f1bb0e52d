#include "platform/ProcessCpuTime.h"

#include <QByteArray>
#include <QFile>
#include <QList>

#include <unistd.h>

#include <limits>

namespace orvelquin::platform {

std::optional<quint64> parseProcStatTicks(const QByteArray& stat) {
    // The command name in parentheses may itself hold spaces and ')': fields start after the last ')'.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return std::nullopt;
    }
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    // After the name: state(3) ... utime is field 14 and stime field 15 of the whole line.
    constexpr int kUtime = 14 - 3;
    constexpr int kStime = 15 - 3;
    if (fields.size() <= kStime) {
        return std::nullopt;
    }
    bool okUser = false;
    bool okSystem = false;
    const quint64 user = fields[kUtime].toULongLong(&okUser);
    const quint64 system = fields[kStime].toULongLong(&okSystem);
    // A line no kernel writes must not wrap around to a small, believable time.
    if (!okUser || !okSystem || user > std::numeric_limits<quint64>::max() - system) {
        return std::nullopt;
    }
    return user + system;
}

std::optional<quint64> processCpuTimeNs(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid < 1 || !file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const std::optional<quint64> ticks = parseProcStatTicks(file.read(4096));
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
