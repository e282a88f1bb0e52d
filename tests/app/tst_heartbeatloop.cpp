// The heartbeat loop's early beats and the desktop notifications it leads to, on their own:
// scripted outcomes, no network.
#include "app/DesktopNotices.h"
#include "app/HeartbeatLoop.h"
#include "core/Settings.h"
#include "platform/Notifications.h"
#include "service/ServiceErrors.h"

#include <QTest>

using namespace orvelquin;
using namespace std::chrono_literals;
using Wake = HeartbeatLoop::Wake;

namespace {

class RecordingNotifier final : public platform::Notifier {
public:
    QStringList summaries;
    void notify(const platform::Notification& n) override { summaries << n.summary; }
};

// A loop whose heartbeats succeed or fail as the test says, with a normal interval long enough
// that any early beat is plainly early.
struct ScriptedLoop {
    std::optional<QString> token = QStringLiteral("dt");
    bool fail = false;
    int sent = 0;
    HeartbeatLoop loop{{.normal = 20.0, .maximum = 300.0, .early = 0.01},
                       [this] { return token; },
                       [this](QString) -> QCoro::Task<> {
                           ++sent;
                           if (fail) {
                               throw TransportError(QStringLiteral("Connection refused"));
                           }
                           co_return;
                       }};

    void beat(bool failing) {
        fail = failing;
        loop.beatNow();
    }
};

} // namespace

class TestHeartbeatLoop : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Back online at once: the network's return counts only for a failing loop, a resume for a
    // loop whose next beat is far off; one early beat per normal interval, none while signed out.
    void earlyBeats() {
        ScriptedLoop s;
        s.beat(false);
        QVERIFY(s.loop.nextBeatIn() > 10s);
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY2(s.loop.nextBeatIn() > 10s, "a connected loop has nothing to catch up");

        s.beat(true);
        QCOMPARE(s.loop.state(), ConnectionState::Reconnecting);
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(s.loop.nextBeatIn() <= 10ms);
        s.fail = false;
        QTRY_COMPARE_WITH_TIMEOUT(s.sent, 3, 5000);
        QCOMPARE(s.loop.state(), ConnectionState::Connected);
        QCOMPARE(s.loop.interval(), 20.0);

        // A flapping network within the same normal interval: no second early beat.
        s.beat(true);
        s.loop.beatEarly(Wake::NetworkBack);
        s.loop.beatEarly(Wake::Resumed);
        QVERIFY(s.loop.nextBeatIn() > 10s);

        ScriptedLoop resumed;
        resumed.beat(false);
        resumed.loop.beatEarly(Wake::Resumed);
        QVERIFY(resumed.loop.nextBeatIn() <= 10ms);

        ScriptedLoop signedOut;
        signedOut.beat(true);
        signedOut.token.reset();
        signedOut.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(signedOut.loop.nextBeatIn() > 10s);
        signedOut.loop.stop();
        signedOut.token = QStringLiteral("dt");
        signedOut.loop.beatEarly(Wake::Resumed);
        QVERIFY2(!signedOut.loop.isArmed(), "a stopped loop is not restarted by a wake");
    }

    // One notification per transition, never one per heartbeat.
    void noticesTellEachTransitionOnce() {
        RecordingNotifier notifier;
        DesktopNotices notices(notifier, 10min);
        const DesktopNotices::Clock::time_point t0{};
        notices.heartbeatOutcome(ConnectionState::Connected, t0);
        for (int minute = 1; minute <= 30; minute += 5) {
            notices.heartbeatOutcome(ConnectionState::ServerUnavailable, t0 + std::chrono::minutes(minute));
        }
        notices.heartbeatOutcome(ConnectionState::Connected, t0 + 31min);
        notices.heartbeatOutcome(ConnectionState::Connected, t0 + 32min);
        // A short outage is not worth a word, and neither is its end.
        notices.heartbeatOutcome(ConnectionState::Reconnecting, t0 + 33min);
        notices.heartbeatOutcome(ConnectionState::Connected, t0 + 34min);
        for (int i = 0; i < 3; ++i) {
            notices.heartbeatOutcome(ConnectionState::DeviceRevoked, t0 + 40min + std::chrono::minutes(i));
        }
        using RuntimeState = SellerRuntimeController::RuntimeState;
        for (const RuntimeState state : {RuntimeState::Running, RuntimeState::Crashed, RuntimeState::Crashed,
                                         RuntimeState::Stopped, RuntimeState::Crashed}) {
            notices.runtimeState(state, QStringLiteral("Runtime exited unexpectedly"));
        }
        orvelquin::userSettings().remove(SettingsKeys::notifiedUpdateVersion);
        notices.updateFound(QStringLiteral("1.2.0"));
        DesktopNotices(notifier).updateFound(QStringLiteral("1.2.0")); // as after a restart
        QCOMPARE(notifier.summaries,
                 (QStringList{QStringLiteral("Orvelquin service unreachable"), QStringLiteral("Back online"),
                              QStringLiteral("Device revoked"), QStringLiteral("Seller runtime stopped"),
                              QStringLiteral("Seller runtime stopped"), QStringLiteral("Update available")}));
    }
};

QTEST_GUILESS_MAIN(TestHeartbeatLoop)
#include "tst_heartbeatloop.moc"
