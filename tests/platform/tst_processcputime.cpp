#include "platform/ProcessCpuTime.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QTest>

#include <optional>

using orvelquin::platform::parseProcStatTicks;

class TestProcessCpuTime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesTicks_data() {
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

    void parsesTicks() {
        QFETCH(QByteArray, stat);
        QFETCH(bool, parses);
        QFETCH(quint64, ticks);
        const std::optional<quint64> parsed = parseProcStatTicks(stat);
        QCOMPARE(parsed.has_value(), parses);
        if (parses) {
            QCOMPARE(*parsed, ticks);
        }
    }

    void readsThisProcess() {
        // Burn a little processor time so that the kernel has something to report.
        volatile quint64 sink = 0;
        std::optional<quint64> ns;
        for (quint64 round = 0; round < 1000 && (!ns || *ns == 0); ++round) {
            for (quint64 i = 0; i < 1000000; ++i) {
                sink = sink + i;
            }
            ns = orvelquin::platform::processCpuTimeNs(QCoreApplication::applicationPid());
        }
        QVERIFY(ns.has_value());
        QVERIFY(*ns > 0);
        QVERIFY(!orvelquin::platform::processCpuTimeNs(0));
    }
};

QTEST_GUILESS_MAIN(TestProcessCpuTime)
#include "tst_processcputime.moc"
