#include "host/SystemInfo.h"
#include "platform/HostProbe.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

// A system that tells nothing.
class SilentProbe final : public orvelquin::platform::HostProbe {
public:
    std::optional<QString> osVersion() override { return {}; }
    std::optional<QString> machine() override { return {}; }
    std::optional<QString> processorName() override { return {}; }
    std::optional<quint64> memoryTotalBytes() override { return {}; }
    std::optional<quint64> memoryActiveBytes() override { return {}; }
    std::optional<QString> graphicsName() override { return {}; }
};

} // namespace

class TestSystemInfo : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void everyProbeFailingGivesTheFallbacks() {
        SilentProbe nothing;
        const orvelquin::SystemInfo info = orvelquin::SystemInfo::collect(nothing);
        QCOMPARE(QStringList({info.osVersion, info.architecture, info.cpuModel, info.gpu}),
                 QStringList({u"Linux 0.0.0"_s, u"unknown"_s, u"Unknown CPU"_s, u"Unknown GPU"_s}));
        QCOMPARE(info.ramBytes + info.activeRamBytes, 0ULL);
    }
};

QTEST_GUILESS_MAIN(TestSystemInfo)
#include "tst_systeminfo.moc"
