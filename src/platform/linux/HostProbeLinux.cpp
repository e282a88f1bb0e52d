#include "platform/HostProbe.h"
#include "platform/linux/LinuxParsers.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>

#include <sys/utsname.h>

namespace orvelquin::platform {
namespace {

constexpr qint64 kMaxRead = 4 * 1024 * 1024;

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    // /proc files report size 0, so read until the end, within a bound.
    QByteArray data;
    while (data.size() < kMaxRead) {
        const QByteArray chunk = file.read(64 * 1024);
        if (chunk.isEmpty()) {
            break;
        }
        data += chunk;
    }
    return data;
}

std::optional<utsname> unameFacts() {
    utsname u{};
    return ::uname(&u) == 0 ? std::optional(u) : std::nullopt;
}

// The output of `lspci`, read while it runs; nothing when it is missing or exceeds its time.
std::optional<QByteArray> listPciDevices(int limitMs) {
    QProcess lspci;
    lspci.setStandardErrorFile(QProcess::nullDevice());
    lspci.start(QStringLiteral("lspci"), {});
    if (!lspci.waitForStarted(limitMs)) {
        return std::nullopt;
    }
    // waitForFinished keeps reading the pipe, so a long listing cannot stall the tool.
    if (!lspci.waitForFinished(limitMs)) {
        lspci.kill();
        lspci.waitForFinished();
        return std::nullopt;
    }
    return lspci.readAllStandardOutput();
}

class LinuxHostProbe final : public HostProbe {
public:
    explicit LinuxHostProbe(std::chrono::milliseconds toolLimit)
        : m_toolLimitMs(static_cast<int>(toolLimit.count())) {}

    std::optional<QString> osVersion() override {
        const auto u = unameFacts();
        return u ? std::optional(LinuxParsers::osVersion(QString::fromUtf8(u->release))) : std::nullopt;
    }

    std::optional<QString> machine() override {
        const auto u = unameFacts();
        return u ? std::optional(QString::fromUtf8(u->machine)) : std::nullopt;
    }

    std::optional<QString> processorName() override {
        if (auto model = LinuxParsers::cpuModel(readFile(QStringLiteral("/proc/cpuinfo")))) {
            return model;
        }
        // Arm boards without a name in cpuinfo describe themselves in the device tree.
        return LinuxParsers::deviceTreeModel(readFile(QStringLiteral("/proc/device-tree/model")));
    }

    std::optional<quint64> memoryTotalBytes() override {
        return LinuxParsers::meminfoBytes(readFile(QStringLiteral("/proc/meminfo")), "MemTotal");
    }

    std::optional<quint64> memoryActiveBytes() override {
        return LinuxParsers::meminfoBytes(readFile(QStringLiteral("/proc/meminfo")), "Active");
    }

    std::optional<QString> graphicsName() override {
        const auto listing = listPciDevices(m_toolLimitMs);
        return listing ? LinuxParsers::gpuName(*listing) : std::nullopt;
    }

private:
    int m_toolLimitMs;
};

} // namespace

HostProbe& systemHostProbe() {
    static LinuxHostProbe probe(std::chrono::seconds(5));
    return probe;
}

std::unique_ptr<HostProbe> createHostProbe(std::chrono::milliseconds toolLimit) {
    return std::make_unique<LinuxHostProbe>(toolLimit);
}

} // namespace orvelquin::platform
