#include "platform/linux/LinuxParsers.h"

#include <QTest>

namespace P = orvelquin::platform::LinuxParsers;

namespace {

QString text(const std::optional<QString>& value) {
    return value.value_or(QStringLiteral("none"));
}
QString text(const std::optional<quint64>& value) {
    return value ? QString::number(*value) : QStringLiteral("none");
}

} // namespace

class TestLinuxParsers : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every parser in one table, one row per rule; "none" is a rejected input.
    void parse_data() {
        QTest::addColumn<QString>("parser");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("parsed");
        const QByteArray tail = " S 1 4242 4242 0 -1 4194560 39147 0 0 0 1234 567 0 0 20 0 31 0 146012 3133440 388\n";
        const QByteArray mem = "MemTotal:  16318152 kB\nMemFree:  1 kB\nActive:  5242880 kB\nActive(anon):  1 kB\n";
        const auto row = [](const char* name, const char* parser, const QByteArray& input, const QByteArray& parsed) {
            QTest::newRow(name) << QString::fromLatin1(parser) << input << QString::fromUtf8(parsed);
        };
        row("os: first three numbers", "os", "6.1.0-18-amd64", "Linux 6.1.0");
        row("os: missing parts are 0", "os", "6.8-rc1", "Linux 6.8.0");
        row("os: garbage", "os", "abc", "Linux 0.0.0");
        row("cpu: first model name", "cpu",
            "processor\t: 0\nmodel name\t: Intel(R) Core(TM) i7\n\nprocessor\t: 1\nmodel name\t: other\n",
            "Intel(R) Core(TM) i7");
        row("cpu: Arm hardware", "cpu", "processor\t: 0\nBogoMIPS\t: 108.00\nHardware\t: BCM2835\n", "BCM2835");
        row("cpu: none", "cpu", "processor\t: 0\nBogoMIPS\t: 50.00\n", "none");
        row("dt: NUL-terminated", "dt", QByteArray("Raspberry Pi 4 Model B\0", 23), "Raspberry Pi 4 Model B");
        row("dt: only a NUL", "dt", QByteArray("\0", 1), "none");
        row("mem: kB to bytes", "MemTotal", mem, QByteArray::number(16318152ULL * 1024));
        row("mem: whole key only", "Active", mem, QByteArray::number(5242880ULL * 1024));
        row("mem: missing", "SwapTotal", mem, "none");
        row("mem: not a number", "MemTotal", "MemTotal: lots kB\n", "none");
        row("gpu: first adapter", "gpu",
            "00:00.0 Host bridge: Intel\n00:02.0 VGA compatible controller: Intel UHD 630\n"
            "01:00.0 3D controller: NVIDIA Corporation TU117M\n",
            "Intel UHD 630");
        row("gpu: 3D controller", "gpu", "01:00.0 3D controller: NVIDIA Corporation GA107\n",
            "NVIDIA Corporation GA107");
        row("gpu: display controller", "gpu", "00:01.0 Display controller: Red Hat QXL\n", "Red Hat QXL");
        row("gpu: class text in a vendor name", "gpu", "00:1f.3 Audio device: Acme VGA compatible controller: x\n",
            "none");
        row("stat: plain name", "stat", "4242 (sleep)" + tail, "1801");
        row("stat: name with spaces and parentheses", "stat", "4242 (Web Content (2) x)" + tail, "1801");
        row("stat: no name", "stat", "4242 S 1 2 3 4 5 6 7 8 9 10 11 12 13", "none");
        row("stat: too few fields", "stat", "4242 (sleep) S 1 4242 4242 0 -1 4194560 39147 0 0 0 1234", "none");
        row("stat: not a number", "stat", "4242 (sleep) S 1 4242 4242 0 -1 4194560 39147 0 0 0 12x4 567", "none");
        row("stat: largest sum", "stat", "1 (a) S 1 1 1 0 -1 0 0 0 0 0 18446744073709551614 1", "18446744073709551615");
        // Found by fuzz_hostparsers: the sum wrapped to 0.
        row("stat: sum beyond 64 bits", "stat", "1 (a) S 1 1 1 0 -1 0 0 0 0 0 18446744073709551615 1", "none");
    }

    void parse() {
        QFETCH(QString, parser);
        QFETCH(QByteArray, input);
        QFETCH(QString, parsed);
        const QString got = parser == u"os"     ? P::osVersion(QString::fromLatin1(input))
                            : parser == u"cpu"  ? text(P::cpuModel(input))
                            : parser == u"dt"   ? text(P::deviceTreeModel(input))
                            : parser == u"gpu"  ? text(P::gpuName(input))
                            : parser == u"stat" ? text(P::procStatTicks(input))
                                                : text(P::meminfoBytes(input, parser.toLatin1()));
        QCOMPARE(got, parsed);
    }
};

QTEST_GUILESS_MAIN(TestLinuxParsers)
#include "tst_linuxparsers.moc"
