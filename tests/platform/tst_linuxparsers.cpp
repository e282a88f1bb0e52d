#include "platform/linux/LinuxParsers.h"

#include <QTest>

namespace LinuxParsers = orvelquin::platform::LinuxParsers;

class TestLinuxParsers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void osVersion_data() {
        QTest::addColumn<QString>("release");
        QTest::addColumn<QString>("text");
        QTest::newRow("debian") << QStringLiteral("6.1.0-18-amd64") << QStringLiteral("Linux 6.1.0");
        QTest::newRow("two parts") << QStringLiteral("6.8-rc1") << QStringLiteral("Linux 6.8.0");
        QTest::newRow("one part") << QStringLiteral("5") << QStringLiteral("Linux 5.0.0");
        QTest::newRow("garbage") << QStringLiteral("abc") << QStringLiteral("Linux 0.0.0");
    }

    void osVersion() {
        QFETCH(QString, release);
        QFETCH(QString, text);
        QCOMPARE(LinuxParsers::osVersion(release), text);
    }

    void cpuModel_data() {
        QTest::addColumn<QByteArray>("cpuinfo");
        QTest::addColumn<QString>("model");
        QTest::newRow("x86") << QByteArray("processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) "
                                           "i7-8650U CPU @ 1.90GHz\n\nprocessor\t: 1\nmodel name\t: other\n")
                             << QStringLiteral("Intel(R) Core(TM) i7-8650U CPU @ 1.90GHz");
        QTest::newRow("arm hardware") << QByteArray("processor\t: 0\nBogoMIPS\t: 108.00\nHardware\t: BCM2835\n")
                                      << QStringLiteral("BCM2835");
        QTest::newRow("none") << QByteArray("processor\t: 0\nBogoMIPS\t: 50.00\n") << QString();
    }

    void cpuModel() {
        QFETCH(QByteArray, cpuinfo);
        QFETCH(QString, model);
        QCOMPARE(LinuxParsers::cpuModel(cpuinfo).value_or(QString()), model);
    }

    void deviceTreeModel_data() {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<QString>("name");
        QTest::newRow("NUL-terminated") << QByteArray("Raspberry Pi 4 Model B\0", 23)
                                        << QStringLiteral("Raspberry Pi 4 Model B");
        QTest::newRow("only a NUL") << QByteArray("\0", 1) << QString();
        QTest::newRow("unreadable") << QByteArray() << QString();
    }

    void deviceTreeModel() {
        QFETCH(QByteArray, model);
        QFETCH(QString, name);
        QCOMPARE(LinuxParsers::deviceTreeModel(model).value_or(QString()), name);
    }

    void meminfo() {
        const QByteArray text("MemTotal:       16318152 kB\nMemFree:  1 kB\nActive:          5242880 kB\n"
                              "Active(anon):    1 kB\n");
        QCOMPARE(LinuxParsers::meminfoBytes(text, "MemTotal"), std::optional<quint64>(16318152ULL * 1024));
        QCOMPARE(LinuxParsers::meminfoBytes(text, "Active"), std::optional<quint64>(5242880ULL * 1024));
        QVERIFY(!LinuxParsers::meminfoBytes(text, "SwapTotal"));
        QVERIFY(!LinuxParsers::meminfoBytes("MemTotal: lots kB\n", "MemTotal"));
    }

    void gpuName_data() {
        QTest::addColumn<QByteArray>("lspci");
        QTest::addColumn<QString>("gpu");
        QTest::newRow("one adapter")
            << QByteArray("00:00.0 Host bridge: Intel Corporation Device 9b61\n"
                          "00:02.0 VGA compatible controller: Intel Corporation UHD Graphics 620 (rev 07)\n")
            << QStringLiteral("Intel Corporation UHD Graphics 620 (rev 07)");
        QTest::newRow("two adapters, first wins") << QByteArray("00:02.0 VGA compatible controller: Intel UHD 630\n"
                                                                "01:00.0 3D controller: NVIDIA Corporation TU117M\n")
                                                  << QStringLiteral("Intel UHD 630");
        QTest::newRow("3D controller only") << QByteArray("01:00.0 3D controller: NVIDIA Corporation GA107\n")
                                            << QStringLiteral("NVIDIA Corporation GA107");
        QTest::newRow("display controller")
            << QByteArray("00:01.0 Display controller: Red Hat QXL\n") << QStringLiteral("Red Hat QXL");
        QTest::newRow("class text inside a vendor name does not count")
            << QByteArray("00:1f.3 Audio device: Acme VGA compatible controller: fake\n") << QString();
        QTest::newRow("none") << QByteArray("00:00.0 Host bridge: Intel\n") << QString();
    }

    void gpuName() {
        QFETCH(QByteArray, lspci);
        QFETCH(QString, gpu);
        QCOMPARE(LinuxParsers::gpuName(lspci).value_or(QString()), gpu);
    }

    void procStatTicks_data() {
        QTest::addColumn<QByteArray>("stat");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<quint64>("ticks");
        const QByteArray tail = " S 1 4242 4242 0 -1 4194560 39147 0 0 0 1234 567 0 0 20 0 31 0 146012 3133440 388\n";
        QTest::newRow("plain name") << QByteArray("4242 (sleep)") + tail << true << quint64(1801);
        QTest::newRow("name with spaces and parentheses")
            << QByteArray("4242 (Web Content (2) x)") + tail << true << quint64(1801);
        QTest::newRow("no name") << QByteArray("4242 S 1 2 3 4 5 6 7 8 9 10 11 12 13") << false << quint64(0);
        QTest::newRow("too few fields") << QByteArray("4242 (sleep) S 1 4242 4242 0 -1 4194560 39147 0 0 0 1234")
                                        << false << quint64(0);
        QTest::newRow("not a number") << QByteArray("4242 (sleep) S 1 4242 4242 0 -1 4194560 39147 0 0 0 12x4 567")
                                      << false << quint64(0);
        QTest::newRow("largest sum") << QByteArray("1 (a) S 1 1 1 0 -1 0 0 0 0 0 18446744073709551614 1") << true
                                     << quint64(18446744073709551615ULL);
        // Found by fuzz_hostparsers: the sum wrapped to 0.
        QTest::newRow("sum beyond 64 bits")
            << QByteArray("1 (a) S 1 1 1 0 -1 0 0 0 0 0 18446744073709551615 1") << false << quint64(0);
    }

    void procStatTicks() {
        QFETCH(QByteArray, stat);
        QFETCH(bool, parses);
        QFETCH(quint64, ticks);
        const std::optional<quint64> parsed = LinuxParsers::procStatTicks(stat);
        QCOMPARE(parsed.has_value(), parses);
        if (parses) {
            QCOMPARE(*parsed, ticks);
        }
    }
};

QTEST_GUILESS_MAIN(TestLinuxParsers)
#include "tst_linuxparsers.moc"
