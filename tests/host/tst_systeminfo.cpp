#include "host/SystemInfo.h"
#include "platform/HostProbe.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>

using orvelquin::SystemInfo;

namespace {

// Answers from canned facts; anything not given fails, as an unreadable file or a missing tool.
class CannedProbe final : public orvelquin::platform::HostProbe {
public:
    QMap<QString, QByteArray> files;
    std::optional<QString> release;
    std::optional<QString> arch;
    std::optional<QByteArray> lspci;

    std::optional<QByteArray> readFile(const QString& path) override {
        return files.contains(path) ? std::optional(files.value(path)) : std::nullopt;
    }
    std::optional<QString> kernelRelease() override { return release; }
    std::optional<QString> machine() override { return arch; }
    std::optional<QByteArray> listPciDevices() override { return lspci; }
};

void writeTool(const QString& path, const QByteArray& script) {
    QFile tool(path);
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write(script);
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

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
        probe.release = QStringLiteral("6.1.0-18-arm64");
        probe.arch = QStringLiteral("aarch64");
        // An Arm board naming itself only in the device tree (NUL-terminated there).
        probe.files.insert(QStringLiteral("/proc/cpuinfo"), "processor\t: 0\nBogoMIPS\t: 108.00\n");
        probe.files.insert(QStringLiteral("/proc/device-tree/model"), QByteArray("Raspberry Pi 4 Model B\0", 23));
        probe.files.insert(QStringLiteral("/proc/meminfo"),
                           "MemTotal:        8000000 kB\nActive:          2000000 kB\n");
        probe.lspci = QByteArray("00:00.0 Host bridge: Broadcom\n");
        const SystemInfo info = SystemInfo::collect(probe);
        QCOMPARE(info.osVersion, QStringLiteral("Linux 6.1.0"));
        QCOMPARE(info.architecture, QStringLiteral("aarch64"));
        QCOMPARE(info.cpuModel, QStringLiteral("Raspberry Pi 4 Model B"));
        QCOMPARE(info.ramBytes, 8000000ULL * 1024);
        QCOMPARE(info.activeRamBytes, 2000000ULL * 1024);
        QCOMPARE(info.gpu, QStringLiteral("Unknown GPU"));
    }

    // The real probe runs whatever `lspci` PATH names; these stand-ins misbehave on purpose.
    void lspciIsReadWhileItRunsAndBounded() {
        QTemporaryDir bin;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        auto& probe = orvelquin::platform::systemHostProbe();

        // More than a pipe holds before the answer: a reader that waits for the end would stall.
        writeTool(bin.filePath(QStringLiteral("lspci")),
                  "#!/bin/sh\nhead -c 8388608 /dev/zero | tr '\\0' 'x'; echo\n"
                  "echo '00:02.0 VGA compatible controller: Stand-in Graphics'\n");
        const auto listing = probe.listPciDevices();
        QVERIFY(listing);
        QVERIFY(listing->endsWith("Stand-in Graphics\n"));

        // One that never ends is given up on, and does not linger.
        const QString pidFile = bin.filePath(QStringLiteral("pid"));
        writeTool(bin.filePath(QStringLiteral("lspci")),
                  "#!/bin/sh\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 600\n");
        QVERIFY(!probe.listPciDevices());
        QFile pid(pidFile);
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QVERIFY(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid.readAll().trimmed())));

        QFile::remove(bin.filePath(QStringLiteral("lspci")));
        qputenv("PATH", QFile::encodeName(bin.path()));
        QVERIFY(!probe.listPciDevices());
        qputenv("PATH", path);
    }
};

QTEST_GUILESS_MAIN(TestSystemInfo)
#include "tst_systeminfo.moc"
