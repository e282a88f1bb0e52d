#include "host/SystemInfo.h"
#include "platform/HostProbe.h"

#include <QTest>

using orvelquin::SystemInfo;

namespace {

// Answers from canned facts; anything not given is absent, as a fact the system does not tell.
class CannedProbe final : public orvelquin::platform::HostProbe {
public:
    std::optional<QString> os;
    std::optional<QString> arch;
    std::optional<QString> processor;
    std::optional<quint64> memoryTotal;
    std::optional<quint64> memoryActive;
    std::optional<QString> graphics;

    std::optional<QString> osVersion() override { return os; }
    std::optional<QString> machine() override { return arch; }
    std::optional<QString> processorName() override { return processor; }
    std::optional<quint64> memoryTotalBytes() override { return memoryTotal; }
    std::optional<quint64> memoryActiveBytes() override { return memoryActive; }
    std::optional<QString> graphicsName() override { return graphics; }
};

} // namespace

class TestSystemInfo : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyProbeFailingGivesTheFallbacks() {
        CannedProbe nothing;
        const SystemInfo info = SystemInfo::collect(nothing);
        QCOMPARE(info.osVersion, QStringLiteral("Linux 0.0.0"));
        QCOMPARE(info.architecture, QStringLiteral("unknown"));
        QCOMPARE(info.cpuModel, QStringLiteral("Unknown CPU"));
        QCOMPARE(info.ramBytes, 0ULL);
        QCOMPARE(info.activeRamBytes, 0ULL);
        QCOMPARE(info.gpu, QStringLiteral("Unknown GPU"));
    }

    void factsComeFromTheirProbes() {
        CannedProbe probe;
        probe.os = QStringLiteral("Linux 6.1.0");
        probe.arch = QStringLiteral("aarch64");
        probe.processor = QStringLiteral("Raspberry Pi 4 Model B");
        probe.memoryTotal = 8000000ULL * 1024;
        probe.memoryActive = 2000000ULL * 1024;
        probe.graphics = QStringLiteral("Broadcom VideoCore");
        const SystemInfo info = SystemInfo::collect(probe);
        QCOMPARE(info.osVersion, QStringLiteral("Linux 6.1.0"));
        QCOMPARE(info.architecture, QStringLiteral("aarch64"));
        QCOMPARE(info.cpuModel, QStringLiteral("Raspberry Pi 4 Model B"));
        QCOMPARE(info.ramBytes, 8000000ULL * 1024);
        QCOMPARE(info.activeRamBytes, 2000000ULL * 1024);
        QCOMPARE(info.gpu, QStringLiteral("Broadcom VideoCore"));
    }
};

QTEST_GUILESS_MAIN(TestSystemInfo)
#include "tst_systeminfo.moc"
