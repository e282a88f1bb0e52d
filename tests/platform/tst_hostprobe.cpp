#include "platform/HostProbe.h"

#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeTool(const QString& path, const QByteArray& script) {
    QFile tool(path);
    QVERIFY(tool.open(QIODevice::WriteOnly));
    tool.write(script);
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

} // namespace

class TestHostProbe : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readsThisMachine() {
        auto& probe = orvelquin::platform::systemHostProbe();
        static const QRegularExpression version(QStringLiteral("^Linux \\d+\\.\\d+\\.\\d+$"));
        QVERIFY(version.match(probe.osVersion().value_or(QString())).hasMatch());
        QVERIFY(!probe.machine().value_or(QString()).isEmpty());
        QVERIFY(probe.memoryTotalBytes().value_or(0) > 0);
        QVERIFY(probe.memoryActiveBytes().value_or(0) > 0);
        QVERIFY(*probe.memoryActiveBytes() <= *probe.memoryTotalBytes());
    }

    // The real probe runs whatever `lspci` PATH names; these stand-ins misbehave on purpose.
    void lspciIsReadWhileItRunsAndBounded() {
        QTemporaryDir bin;
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
        auto& probe = orvelquin::platform::systemHostProbe();

        // More than a pipe holds before the answer: a reader that waits for the end would stall.
        writeTool(bin.filePath(QStringLiteral("lspci")),
                  "#!/bin/sh\nhead -c 8388608 /dev/zero | tr '\\0' 'x'; echo\n"
                  "echo '00:02.0 VGA compatible controller: Stand-in Graphics'\n");
        QCOMPARE(probe.graphicsName(), std::optional(QStringLiteral("Stand-in Graphics")));

        // One that never ends is given up on, and does not linger.
        const QString pidFile = bin.filePath(QStringLiteral("pid"));
        writeTool(bin.filePath(QStringLiteral("lspci")),
                  "#!/bin/sh\necho $$ > '" + QFile::encodeName(pidFile) + "'\nexec sleep 600\n");
        QVERIFY(!probe.graphicsName());
        QFile pid(pidFile);
        QVERIFY(pid.open(QIODevice::ReadOnly));
        QVERIFY(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid.readAll().trimmed())));

        QFile::remove(bin.filePath(QStringLiteral("lspci")));
        qputenv("PATH", QFile::encodeName(bin.path()));
        QVERIFY(!probe.graphicsName());
    }
};

QTEST_GUILESS_MAIN(TestHostProbe)
#include "tst_hostprobe.moc"
