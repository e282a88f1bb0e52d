// The heartbeat loop with a scripted sender, its failure rules, and the desktop notices its
// outcomes lead to: no network.
#include "ScriptedServices.h"
#include "app/DesktopNotices.h"
#include "app/HeartbeatLoop.h"
#include "core/Settings.h"
#include "platform/Notifications.h"
#include "service/ServiceErrors.h"

#include <QTest>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Wake = HeartbeatLoop::Wake;

namespace {

// Heartbeats fail with `failure` unless it is empty; the normal interval is long enough that any
// early beat is plainly early.
struct ScriptedLoop {
    std::optional<QString> token = u"dt"_s;
    QString failure;
    int sent = 0;
    HeartbeatLoop loop{{.normal = 20.0, .maximum = 300.0, .early = 0.01},
                       [this] { return token; },
                       [this](QString) -> QCoro::Task<> {
                           ++sent;
                           if (!failure.isEmpty()) {
                               throw TransportError(failure);
                           }
                           co_return;
                       }};

    void beat(const QString& outcome = {}) {
        failure = outcome;
        loop.beatNow();
    }
};

} // namespace

class TestHeartbeatLoop : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each failure sets its state, doubles the interval up to the maximum and forgets the last
    // time; a success resets both. A revoked device shows only in the detail text.
    void outcomes() {
        ScriptedLoop s;
        const std::tuple<const char*, const char*, double> steps[] = {
            {"HTTP 503", "Server unavailable", 40},
            {"Connection refused", "Reconnecting", 80},
            {"Invalid device session", "Device revoked", 160},
            {"HTTP 5: Invalid device session", "Device revoked", 300},
            {"HTTP 404", "Reconnecting", 300},
            {"gateway", "Reconnecting", 300},
            {"", "Connected", 20}};
        for (const auto& [failure, state, interval] : steps) {
            s.beat(QString::fromLatin1(failure));
            QCOMPARE(displayWord(s.loop.state()), QLatin1String(state));
            QCOMPARE(s.loop.interval(), interval);
            QCOMPARE(s.loop.lastHeartbeat() == u"\u2014", *failure != 0);
        }
        QVERIFY(QTime::fromString(s.loop.lastHeartbeat(), u"HH:mm:ss"_s).isValid());
    }

    // Back online at once: the network's return counts only for a failing loop, a resume for a
    // loop whose next beat is far off; one early beat per normal interval, none while signed out.
    void earlyBeats() {
        ScriptedLoop s;
        s.beat();
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY2(s.loop.nextBeatIn() > 10s, "a connected loop has nothing to catch up");
        s.beat(u"Connection refused"_s);
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(s.loop.nextBeatIn() <= 10ms);
        s.failure.clear();
        QTRY_COMPARE_WITH_TIMEOUT(s.sent, 3, 5000);
        QCOMPARE(s.loop.state(), ConnectionState::Connected);
        // A flapping network within the same normal interval: no second early beat.
        s.beat(u"Connection refused"_s);
        s.loop.beatEarly(Wake::NetworkBack);
        s.loop.beatEarly(Wake::Resumed);
        QVERIFY(s.loop.nextBeatIn() > 10s);

        ScriptedLoop resumed;
        resumed.beat();
        resumed.loop.beatEarly(Wake::Resumed);
        QVERIFY(resumed.loop.nextBeatIn() <= 10ms);

        ScriptedLoop signedOut;
        signedOut.beat(u"Connection refused"_s);
        signedOut.token.reset();
        signedOut.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(signedOut.loop.nextBeatIn() > 10s);
        signedOut.loop.stop();
        signedOut.token = u"dt"_s;
        signedOut.loop.beatEarly(Wake::Resumed);
        QVERIFY2(!signedOut.loop.isArmed(), "a stopped loop is not restarted by a wake");
    }

    // One notification per transition, never one per heartbeat; a short outage is not worth one.
    void noticesTellEachTransitionOnce() {
        scripted::Notifier notifier;
        DesktopNotices notices(notifier, 10min);
        const DesktopNotices::Clock::time_point t0{};
        using enum ConnectionState;
        const QList<std::pair<ConnectionState, int>> outcomes{
            {Connected, 0},     {ServerUnavailable, 1}, {ServerUnavailable, 26}, {Connected, 31},    {Connected, 32},
            {Reconnecting, 33}, {Connected, 34},        {DeviceRevoked, 40},     {DeviceRevoked, 41}};
        for (const auto& [state, minute] : outcomes) {
            notices.heartbeatOutcome(state, t0 + std::chrono::minutes(minute));
        }
        using enum SellerRuntimeController::RuntimeState;
        for (const auto state : {Running, Crashed, Crashed, Stopped, Crashed}) {
            notices.runtimeState(state, u"Runtime exited unexpectedly"_s);
        }
        orvelquin::userSettings().remove(SettingsKeys::notifiedUpdateVersion);
        notices.updateFound(u"1.2.0"_s);
        DesktopNotices(notifier).updateFound(u"1.2.0"_s); // as after a restart
        QCOMPARE(notifier.summaries,
                 (QStringList{u"Orvelquin service unreachable"_s, u"Back online"_s, u"Device revoked"_s,
                              u"Seller runtime stopped"_s, u"Seller runtime stopped"_s, u"Update available"_s}));
    }
};

QTEST_GUILESS_MAIN(TestHeartbeatLoop)
#include "tst_heartbeatloop.moc"
