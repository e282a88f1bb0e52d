#include "host/SystemInfo.h"

#include "host/HostParsers.h"
#include "platform/HostProbe.h"

namespace orvelquin {

SystemInfo SystemInfo::collect() {
    return collect(platform::systemHostProbe());
}

SystemInfo SystemInfo::collect(platform::HostProbe& probe) {
    SystemInfo info;
    if (const auto release = probe.kernelRelease()) {
        info.osVersion = HostParsers::osVersion(*release);
    }
    if (const auto machine = probe.machine()) {
        info.architecture = *machine;
    }
    const auto cpuinfo = probe.readFile(QStringLiteral("/proc/cpuinfo"));
    std::optional<QString> model = cpuinfo ? HostParsers::cpuModel(*cpuinfo) : std::nullopt;
    if (!model) {
        // Arm boards without a name in cpuinfo describe themselves in the device tree.
        if (const auto dt = probe.readFile(QStringLiteral("/proc/device-tree/model"))) {
            const QString text = QString::fromUtf8(*dt).remove(QChar(0)).trimmed();
            if (!text.isEmpty()) {
                model = text;
            }
        }
    }
    if (model) {
        info.cpuModel = *model;
    }
    if (const auto meminfo = probe.readFile(QStringLiteral("/proc/meminfo"))) {
        info.ramBytes = HostParsers::meminfoBytes(*meminfo, "MemTotal").value_or(0);
        info.activeRamBytes = HostParsers::meminfoBytes(*meminfo, "Active").value_or(0);
    }
    if (const auto lspci = probe.listPciDevices()) {
        if (auto gpu = HostParsers::gpuName(*lspci)) {
            info.gpu = *gpu;
        }
    }
    return info;
}

} // namespace orvelquin
