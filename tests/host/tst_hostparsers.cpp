#include "host/HostParsers.h"

#include <QTest>

namespace HostParsers = orvelquin::HostParsers;

class TestHostParsers : public QObject {
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
        QCOMPARE(HostParsers::osVersion(release), text);
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
        QCOMPARE(HostParsers::cpuModel(cpuinfo).value_or(QString()), model);
    }

    void meminfo() {
        const QByteArray text("MemTotal:       16318152 kB\nMemFree:  1 kB\nActive:          5242880 kB\n"
                              "Active(anon):    1 kB\n");
        QCOMPARE(HostParsers::meminfoBytes(text, "MemTotal"), std::optional<quint64>(16318152ULL * 1024));
        QCOMPARE(HostParsers::meminfoBytes(text, "Active"), std::optional<quint64>(5242880ULL * 1024));
        QVERIFY(!HostParsers::meminfoBytes(text, "SwapTotal"));
        QVERIFY(!HostParsers::meminfoBytes("MemTotal: lots kB\n", "MemTotal"));
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
        QCOMPARE(HostParsers::gpuName(lspci).value_or(QString()), gpu);
    }
};

QTEST_GUILESS_MAIN(TestHostParsers)
#include "tst_hostparsers.moc"
