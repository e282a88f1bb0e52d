#pragma once

#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace orvelquin::platform {

// The facts the host description is made of, as the system tells them; each is absent when the
// system does not.
class HostProbe {
public:
    virtual ~HostProbe() = default;
    // The system's name and release as three numbers, for example "Linux 6.1.0".
    virtual std::optional<QString> osVersion() = 0;
    // The machine's architecture, for example "x86_64".
    virtual std::optional<QString> machine() = 0;
    virtual std::optional<QString> processorName() = 0;
    virtual std::optional<quint64> memoryTotalBytes() = 0;
    virtual std::optional<quint64> memoryActiveBytes() = 0;
    // The first display adapter; asking may run a tool, within a time limit.
    virtual std::optional<QString> graphicsName() = 0;
};

HostProbe& systemHostProbe();
// A probe of this system whose tools get `toolLimit` to answer; systemHostProbe() gives them 5 s.
std::unique_ptr<HostProbe> createHostProbe(std::chrono::milliseconds toolLimit);

} // namespace orvelquin::platform
