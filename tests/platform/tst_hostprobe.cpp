// The host facts: the parsers on canned text, the probe on this machine and on stand-in tools.
#include "platform/HostProbe.h"
#include "platform/ProcessCpuTime.h"
#include "platform/linux/LinuxParsers.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace orvelquin::platform;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

class TestHostProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every parser in one table, named by the row's first word: what each reads, and one row for
    // each kind of malformed input; "none" is a rejected input.
    void parse_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("parsed");
        const auto row = [](const char* name, const QByteArray& input, const char* parsed) {
            QTest::newRow(name) << input << QString::fromUtf8(parsed);
        };
        const QByteArray stat = "4242 (sleep) S 1 4242 4242 0 -1 4194560 39147 0 0 0 ";
        row("os: missing parts are 0", "6.8-rc1", "Linux 6.8.0");
        row("cpu: first model name", "model name\t: Intel i7\n\nmodel name\t: other\n", "Intel i7");
        row("cpu: Arm hardware", "processor\t: 0\nBogoMIPS\t: 108.00\nHardware\t: BCM2835\n", "BCM2835");
        row("cpu: none", "processor\t: 0\nBogoMIPS\t: 50.00\n", "none");
        row("dt: NUL-terminated", QByteArray("Raspberry Pi 4\0", 15), "Raspberry Pi 4");
        row("dt: only a NUL", QByteArray("\0", 1), "none");
        row("Active: whole key only, kB to bytes", "MemTotal: 9 kB\nActive(anon): 1 kB\nActive: 5242880 kB\n",
            "5368709120");
        row("MemTotal: not a number", "MemTotal: lots kB\n", "none");
        row("gpu: first adapter", "00:00.0 Host bridge: Intel\n01:00.0 3D controller: NVIDIA GA107\n", "NVIDIA GA107");
        row("gpu: class text in a vendor name", "00:1f.3 Audio device: Acme VGA compatible controller: x\n", "none");
        row("stat: name with spaces and parentheses", "4242 (Web (2) x) S 1 2 3 0 -1 4 5 0 0 0 1234 567 0 0", "1801");
        row("stat: no name", "4242 S 1 2 3 4 5 6 7 8 9 10 11 12 13", "none");
        row("stat: too few fields", stat + "1234", "none");
        // Found by fuzz_hostparsers: the sum wrapped to 0.
        row("stat: sum beyond 64 bits", stat + "18446744073709551615 1", "none");
    }

    void parse() {
        QFETCH(QByteArray, input);
        const QByteArray parser = QByteArray(QTest::currentDataTag()).split(':').at(0);
        const auto text = [](const auto& value) { return value ? QVariant(*value).toString() : u"none"_s; };
        QTEST(parser == "os"     ? LinuxParsers::osVersion(QString::fromLatin1(input))
              : parser == "cpu"  ? text(LinuxParsers::cpuModel(input))
              : parser == "dt"   ? text(LinuxParsers::deviceTreeModel(input))
              : parser == "gpu"  ? text(LinuxParsers::gpuName(input))
              : parser == "stat" ? text(LinuxParsers::procStatTicks(input))
                                 : text(LinuxParsers::meminfoBytes(input, parser)),
              "parsed");
    }

    void readsThisMachine() {
        auto& probe = systemHostProbe();
        QVERIFY(probe.osVersion().value_or(QString()).startsWith(u"Linux ") && probe.machine());
        QVERIFY(probe.memoryActiveBytes() && *probe.memoryActiveBytes() <= probe.memoryTotalBytes().value_or(0));
        QVERIFY(processCpuTimeNs(QCoreApplication::applicationPid()) && !processCpuTimeNs(0));
    }

    // The probe runs whatever `lspci` PATH names; these stand-ins misbehave on purpose. One that
    // never ends is given up on after its limit, and does not linger.
    void lspciIsReadWhileItRunsAndBounded_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("gpu");
        // More than a pipe holds before the answer: a reader that waits for the end would stall.
        QTest::newRow("long") << QByteArray("head -c 8388608 /dev/zero | tr '\\0' x; echo\n"
                                            "echo '00:02.0 VGA compatible controller: Stand-in Graphics'")
                              << u"Stand-in Graphics"_s;
        QTest::newRow("never ends") << QByteArray("echo /proc/$$ > pid; exec sleep 600") << QString();
    }

    void lspciIsReadWhileItRunsAndBounded() {
        QFETCH(QByteArray, script);
        QTemporaryDir bin;
        QFile tool(bin.filePath(u"lspci"_s));
        QVERIFY(tool.open(QIODevice::WriteOnly) && tool.write("#!/bin/sh\ncd \"$(dirname \"$0\")\"\n" + script) > 0 &&
                tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        tool.close();
        const QByteArray path = qgetenv("PATH");
        auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        const bool endless = script.contains("pid");
        QTEST(createHostProbe(endless ? 200ms : 60s)->graphicsName().value_or(QString()), "gpu");
        QFile pid(bin.filePath(u"pid"_s));
        QCOMPARE(pid.open(QIODevice::ReadOnly) && !QFile::exists(QString::fromUtf8(pid.readAll()).trimmed()), endless);
    }
};

QTEST_GUILESS_MAIN(TestHostProbe)
#include "tst_hostprobe.moc"
