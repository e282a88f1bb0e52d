#include "platform/ProcessCpuTime.h"

#include <QCoreApplication>
#include <QTest>

#include <optional>

class TestProcessCpuTime : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
