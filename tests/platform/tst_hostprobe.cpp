#include "platform/HostProbe.h"
#include "platform/ProcessCpuTime.h"

#include <QCoreApplication>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

class TestHostProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsThisMachine() {
        auto& probe = orvelquin::platform::systemHostProbe();
        QVERIFY(probe.osVersion().value_or(QString()).startsWith(u"Linux "));
        QVERIFY(!probe.machine().value_or(QString()).isEmpty());
        QVERIFY(probe.memoryActiveBytes().value_or(0) > 0);
        QVERIFY(*probe.memoryActiveBytes() <= probe.memoryTotalBytes().value_or(0));
        volatile quint64 sink = 0; // processor time for the kernel to report
        for (quint64 i = 0;
             i < 50000000 && orvelquin::platform::processCpuTimeNs(QCoreApplication::applicationPid()).value_or(0) == 0;
             ++i) {
            sink = sink + i;
        }
        QVERIFY(orvelquin::platform::processCpuTimeNs(QCoreApplication::applicationPid()).value_or(0) > 0);
        QVERIFY(!orvelquin::platform::processCpuTimeNs(0));
    }

    // The probe runs whatever `lspci` PATH names; these stand-ins misbehave on purpose.
    void lspciIsReadWhileItRunsAndBounded_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("gpu");
        QTest::addColumn<int>("limitMs");
        // More than a pipe holds before the answer: a reader that waits for the end would stall.
        QTest::newRow("long") << QByteArray("head -c 8388608 /dev/zero | tr '\\0' x; echo\n"
                                            "echo '00:02.0 VGA compatible controller: Stand-in Graphics'")
                              << QStringLiteral("Stand-in Graphics") << 60000;
        QTest::newRow("never ends") << QByteArray("echo $$ > pid; exec sleep 600") << QString() << 200;
        QTest::newRow("missing") << QByteArray() << QString() << 200;
    }

    void lspciIsReadWhileItRunsAndBounded() {
        QFETCH(QByteArray, script);
        QFETCH(QString, gpu);
        QFETCH(int, limitMs);
        QTemporaryDir bin;
        QFile tool(bin.filePath(QStringLiteral("lspci")));
        QVERIFY(script.isEmpty() ||
                (tool.open(QIODevice::WriteOnly) &&
                 tool.write("#!/bin/sh\ncd '" + QFile::encodeName(bin.path()) + "'\n" + script) > 0));
        tool.close();
        tool.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + (script.isEmpty() ? "" : ':' + path));
        auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
        QCOMPARE(orvelquin::platform::createHostProbe(std::chrono::milliseconds(limitMs))
                     ->graphicsName()
                     .value_or(QString()),
                 gpu);
        QFile pid(bin.filePath(QStringLiteral("pid")));
        // One given up on does not linger.
        QCOMPARE(pid.open(QIODevice::ReadOnly), script.contains("pid"));
        QVERIFY(!pid.isOpen() ||
                !QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid.readAll().trimmed())));
    }
};

QTEST_GUILESS_MAIN(TestHostProbe)
#include "tst_hostprobe.moc"
