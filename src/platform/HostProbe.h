#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace orvelquin::platform {

// Thin readers of the facts the host description is made of; a test hands in failing ones.
class HostProbe {
public:
    virtual ~HostProbe() = default;
    virtual std::optional<QByteArray> readFile(const QString& path) = 0;
    virtual std::optional<QString> kernelRelease() = 0;
    virtual std::optional<QString> machine() = 0;
    // The output of `lspci`, read while it runs; nothing when it is missing or exceeds its time.
    virtual std::optional<QByteArray> listPciDevices() = 0;
};

HostProbe& systemHostProbe();

} // namespace orvelquin::platform
