#pragma once

#include <QtGlobal>

#include <chrono>
#include <optional>

namespace orvelquin {

// Processor use of one process for people to read, kept apart from the heartbeat's own sample so
// that looking at the menu never shortens the window a heartbeat report is measured over. A
// figure needs a window of seconds: the kernel counts processor time in 10 ms ticks, so over the
// few milliseconds between two quick looks any process reads as 0 or 100 percent.
class CpuWindow {
public:
    using Clock = std::chrono::steady_clock;

    explicit CpuWindow(std::chrono::milliseconds minimumWindow = std::chrono::seconds(2))
        : m_minimumWindow(minimumWindow) {}

    // Feeds one reading of the process's cumulative processor time; returns the percentage of
    // one core (0 to 100) over the latest window that lasted at least the minimum, if any.
    std::optional<double> sample(qint64 pid, Clock::time_point now, std::optional<quint64> cpuNs);

private:
    std::chrono::milliseconds m_minimumWindow;
    qint64 m_pid = 0;
    std::optional<Clock::time_point> m_since;
    quint64 m_cpuNsSince = 0;
    std::optional<double> m_percent;
};

} // namespace orvelquin
