#include "platform/HostProbe.h"

#include <QFile>
#include <QProcess>

#include <sys/utsname.h>

namespace orvelquin::platform {
namespace {

constexpr int kLspciTimeoutMs = 5000;
constexpr qint64 kMaxRead = 4 * 1024 * 1024;

class LinuxHostProbe final : public HostProbe {
public:
    std::optional<QByteArray> readFile(const QString& path) override {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return std::nullopt;
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

    std::optional<QString> kernelRelease() override {
        utsname u{};
        return ::uname(&u) == 0 ? std::optional(QString::fromUtf8(u.release)) : std::nullopt;
    }

    std::optional<QString> machine() override {
        utsname u{};
        return ::uname(&u) == 0 ? std::optional(QString::fromUtf8(u.machine)) : std::nullopt;
    }

    std::optional<QByteArray> listPciDevices() override {
        QProcess lspci;
        lspci.setStandardErrorFile(QProcess::nullDevice());
        lspci.start(QStringLiteral("lspci"), {});
        if (!lspci.waitForStarted(kLspciTimeoutMs)) {
            return std::nullopt;
        }
        // waitForFinished keeps reading the pipe, so a long listing cannot stall the tool.
        if (!lspci.waitForFinished(kLspciTimeoutMs)) {
            lspci.kill();
            lspci.waitForFinished();
            return std::nullopt;
        }
        return lspci.readAllStandardOutput();
    }
};

} // namespace

HostProbe& systemHostProbe() {
    static LinuxHostProbe probe;
    return probe;
}

} // namespace orvelquin::platform
