#include "app/CpuWindow.h"

#include <algorithm>

namespace orvelquin {

std::optional<double> CpuWindow::sample(qint64 pid, Clock::time_point now, std::optional<quint64> cpuNs) {
    if (!cpuNs) {
        return m_percent;
    }
    // A new process, or a counter that went back: start over rather than compare across them.
    if (pid != m_pid || !m_since || *cpuNs < m_cpuNsSince || now < *m_since) {
        m_pid = pid;
        m_since = now;
        m_cpuNsSince = *cpuNs;
        m_percent.reset();
        return m_percent;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - *m_since);
    if (elapsed < m_minimumWindow || elapsed.count() <= 0) {
        return m_percent;
    }
    const double percent = static_cast<double>(*cpuNs - m_cpuNsSince) / static_cast<double>(elapsed.count()) * 100.0;
    m_percent = std::clamp(percent, 0.0, 100.0);
    m_since = now;
    m_cpuNsSince = *cpuNs;
    return m_percent;
}

} // namespace orvelquin
