#include "host/SystemInfo.h"

#include "platform/HostProbe.h"

namespace orvelquin {

SystemInfo SystemInfo::collect() {
    return collect(platform::systemHostProbe());
}

SystemInfo SystemInfo::collect(platform::HostProbe& probe) {
    SystemInfo info;
    info.osVersion = probe.osVersion().value_or(info.osVersion);
    info.architecture = probe.machine().value_or(info.architecture);
    info.cpuModel = probe.processorName().value_or(info.cpuModel);
    info.ramBytes = probe.memoryTotalBytes().value_or(0);
    info.activeRamBytes = probe.memoryActiveBytes().value_or(0);
    info.gpu = probe.graphicsName().value_or(info.gpu);
    return info;
}

} // namespace orvelquin
