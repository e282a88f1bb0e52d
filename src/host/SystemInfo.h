#pragma once

#include <QString>

namespace orvelquin {

namespace platform {
class HostProbe;
}

// The description of this computer that registration and every heartbeat carry. Collected once;
// every probe falls back to a fixed value instead of failing.
struct SystemInfo {
    QString osVersion = QStringLiteral("Linux 0.0.0");
    QString architecture = QStringLiteral("unknown");
    QString cpuModel = QStringLiteral("Unknown CPU");
    quint64 ramBytes = 0;
    QString gpu = QStringLiteral("Unknown GPU");
    quint64 activeRamBytes = 0;

    static SystemInfo collect();
    static SystemInfo collect(platform::HostProbe& probe);
};

} // namespace orvelquin
