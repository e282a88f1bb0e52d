// Thousands of heartbeats against a service that keeps changing its mind: success, 503, a revoked
// session, dropped connections and slow replies, with the seller runtime started and stopped
// along the way. Memory, descriptors and child processes must come out where they went in.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "app/AppDelegate.h"
#include "core/Settings.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>

using orvelquin::AppDelegate;
using orvelquin::AppServices;

namespace {

constexpr int kBeats = 8000;
constexpr int kWarmUp = 300;
constexpr double kNormal = 0.001;
constexpr double kMaximum = 0.008;
constexpr qint64 kGrowthBound = 8 * 1024 * 1024;

qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return -1;
    }
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qsizetype openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

int childProcesses() {
    int children = 0;
    const QString self = QString::number(getpid());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (entry.front().isDigit() && stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            children += fields.value(1) == self.toLatin1() ? 1 : 0;
        }
    }
    return children;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void heartbeatsUnderChangingFaults() {
        QTemporaryDir dir;
        const QString runtime = dir.filePath(QStringLiteral("runtime.py"));
        {
            QFile script(runtime);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("import signal, sys, time\nsignal.signal(signal.SIGTERM, lambda *_: sys.exit(0))\n"
                         "while True:\n    time.sleep(1)\n");
        }
        orvelquin::userSettings().setValue(QStringLiteral("sellerRuntimePath"), runtime);

        ScriptedHttpServer server;
        server.setRecording(false);
        server.answerAlways("/api/desktop/releases/latest", {200, "{\"latest_version\":\"0.0.1\"}", {}, 0, false});
        using Reply = ScriptedHttpServer::Reply;
        server.answerInTurn("/v1/devices/heartbeat",
                            {Reply{200, "{\"ok\":true}", {}, 0, false}, Reply{503, {}, {}, 0, false},
                             Reply{200, "{\"ok\":true}", {}, 0, false},
                             Reply{401, "{\"detail\":\"Invalid device session\"}", {}, 0, false},
                             Reply{200, {}, {}, 0, true}, Reply{200, {}, {}, 0, true},
                             Reply{200, "{\"ok\":true}", {}, 15, false}, Reply{502, "<html>", {}, 0, false}});

        // Sampled at the same point of the runtime's start/stop cycle (running since beat 250, and
        // since beat 7750), once the session bus and the network stack have opened what they keep.
        qsizetype descriptorsEarly = 0;
        qsizetype descriptorsLate = 0;
        const int childrenBefore = childProcesses();
        qint64 residentAfterWarmUp = 0;
        qint64 residentPeak = 0;
        QSet<QString> statesSeen;
        {
            RecordingSecretStore* store = nullptr;
            ScriptedAlerts* alerts = nullptr;
            AppServices services = scriptedServices(server.url().toString(), dir.path(), true, store, alerts);
            store->items.insert(QStringLiteral("deviceId"), "d-1");
            services.heartbeat.normal = kNormal;
            services.heartbeat.maximum = kMaximum;
            AppDelegate delegate(std::move(services));

            int beats = 0;
            double previous = kNormal;
            QString broken;
            QObject::connect(&delegate, &AppDelegate::heartbeatFinished, &delegate, [&] {
                ++beats;
                const QString state = orvelquin::displayWord(delegate.connectionState());
                statesSeen.insert(state);
                const double interval = delegate.heartbeatInterval();
                const bool connected = state == u"Connected";
                const double expected = connected ? kNormal : std::min(previous * 2, kMaximum);
                if (broken.isEmpty() && (interval != expected || (delegate.lastHeartbeat() == u"\u2014") == connected ||
                                         !delegate.isHeartbeatArmed())) {
                    broken = QStringLiteral("beat %1: %2, interval %3 after %4, last %5")
                                 .arg(beats)
                                 .arg(state)
                                 .arg(interval)
                                 .arg(previous)
                                 .arg(delegate.lastHeartbeat());
                }
                previous = interval;
                if (beats % 250 == 0) {
                    delegate.toggleRuntime(); // started, then stopped 250 beats later
                }
                if (beats == 450) {
                    descriptorsEarly = openDescriptors();
                }
                if (beats == kBeats - 50) {
                    descriptorsLate = openDescriptors();
                }
                if (beats == kWarmUp) {
                    residentAfterWarmUp = residentBytes();
                }
                if (beats > kWarmUp) {
                    residentPeak = std::max(residentPeak, residentBytes());
                }
            });
            // A plain event loop: QTest's waiting sleeps between event batches and would set the pace.
            QEventLoop loop;
            QObject::connect(&delegate, &AppDelegate::heartbeatFinished, &loop, [&] {
                if (beats >= kBeats) {
                    loop.quit();
                }
            });
            QTimer::singleShot(240000, &loop, &QEventLoop::quit);
            delegate.applicationDidFinishLaunching();
            loop.exec();
            QVERIFY(beats >= kBeats);
            QVERIFY2(broken.isEmpty(), qPrintable(broken));
            delegate.applicationWillTerminate();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(100);

        QCOMPARE(statesSeen, (QSet<QString>{QStringLiteral("Connected"), QStringLiteral("Server unavailable"),
                                            QStringLiteral("Device revoked"), QStringLiteral("Reconnecting")}));
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer holds freed memory in quarantine: growth is expected there
        QVERIFY2(residentPeak - residentAfterWarmUp < kGrowthBound,
                 qPrintable(QStringLiteral("resident %1 KiB after warm-up, peak %2 KiB")
                                .arg(residentAfterWarmUp / 1024)
                                .arg(residentPeak / 1024)));
#endif
        QTRY_COMPARE_WITH_TIMEOUT(childProcesses(), childrenBefore, 5000);
        // A connection or two may be between closing and closed at either moment.
        QVERIFY2(descriptorsLate <= descriptorsEarly + 3,
                 qPrintable(QStringLiteral("%1 descriptors, then %2").arg(descriptorsEarly).arg(descriptorsLate)));
        qInfo("%lld requests; resident %lld KiB after warm-up, peak %lld KiB",
              static_cast<long long>(server.requestCount()), static_cast<long long>(residentAfterWarmUp / 1024),
              static_cast<long long>(residentPeak / 1024));
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
