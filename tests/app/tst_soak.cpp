// Thousands of heartbeats against a service that keeps changing its mind: success, 503, a revoked
// session, dropped connections and slow replies, with the seller runtime started and stopped
// along the way. Memory, descriptors and child processes must come out where they went in.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "core/Settings.h"

#include <QDir>
#include <QEventLoop>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using Reply = ScriptedHttpServer::Reply;

namespace {

constexpr int kBeats = 8000, kWarmUp = 300;

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 residentBytes() {
    return readAll(u"/proc/self/statm"_s).split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qsizetype openDescriptors() {
    return QDir(u"/proc/self/fd"_s).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

int childProcesses() {
    int children = 0;
    for (const QString& pid : QDir(u"/proc"_s).entryList({u"[0-9]*"_s}, QDir::Dirs)) {
        const QByteArray stat = readAll(u"/proc/%1/stat"_s.arg(pid)); // the parent follows the name and state
        children += stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(1).toLongLong() == getpid();
    }
    return children;
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void heartbeatsUnderChangingFaults() {
        userSettings().setValue(u"sellerRuntimePath"_s,
                                ORVELQUIN_SOURCE_DIR "/scripts/seller_runtime/orvelquin-seller-runtime"_L1);
        const auto forget = qScopeGuard([] { userSettings().remove(u"sellerRuntimePath"_s); });
        ScriptedHttpServer server;
        server.setRecording(false);
        server.answerAlways("/api/desktop/releases/latest", {200, R"({"latest_version":"0.0.1"})"});
        const Reply ok{200, R"({"ok":true})"}, dropped{200, {}, {}, 0, true};
        server.answerInTurn("/v1/devices/heartbeat",
                            {ok, Reply{503}, ok, Reply{401, R"({"detail":"Invalid device session"})"}, dropped, dropped,
                             Reply{200, R"({"ok":true})", {}, 15}, Reply{502, "<html>"}});
        // Descriptors are sampled at the same point of the runtime's start/stop cycle, once the
        // session bus and the network stack have opened what they keep.
        const int childrenBefore = childProcesses();
        qsizetype descriptorsEarly = 0, descriptorsLate = 0;
        qint64 residentAfterWarmUp = 0, residentPeak = 0;
        QSet<ConnectionState> statesSeen;
        {
            QTemporaryDir dir;
            scripted::Parts parts;
            AppDelegate delegate(scripted::services(server.url().toString(), dir.path(), parts, true, 0.001));
            int beats = 0;
            QObject::connect(&delegate, &AppDelegate::heartbeatFinished, &delegate, [&] {
                statesSeen.insert(delegate.connectionState());
                if (++beats % 250 == 0) {
                    delegate.toggleRuntime(); // started, then stopped 250 beats later
                }
                descriptorsEarly = beats == 450 ? openDescriptors() : descriptorsEarly;
                descriptorsLate = beats == kBeats - 50 ? openDescriptors() : descriptorsLate;
                residentAfterWarmUp = beats == kWarmUp ? residentBytes() : residentAfterWarmUp;
                residentPeak = beats > kWarmUp ? std::max(residentPeak, residentBytes()) : 0;
            });
            delegate.applicationDidFinishLaunching();
            // A plain event loop: QTest's waiting sleeps between event batches and would set the pace.
            while (beats < kBeats) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            delegate.applicationWillTerminate();
        }

        using enum ConnectionState;
        QCOMPARE(statesSeen, (QSet{Connected, ServerUnavailable, DeviceRevoked, Reconnecting}));
#ifndef __SANITIZE_ADDRESS__ // AddressSanitizer holds freed memory in quarantine: growth is expected there
        QCOMPARE_LT(residentPeak - residentAfterWarmUp, 8 * 1024 * 1024);
#endif
        QTRY_COMPARE_WITH_TIMEOUT(childProcesses(), childrenBefore, 5000);
        // A connection or two may be between closing and closed at either moment.
        QCOMPARE_LE(descriptorsLate, descriptorsEarly + 3);
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
