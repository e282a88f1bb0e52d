// The heartbeat loop with a scripted sender, its failure rules, and the desktop notices its
// outcomes lead to: no network.
#include "app/DesktopNotices.h"
#include "app/HeartbeatLoop.h"
#include "platform/Notifications.h"
#include "service/ServiceErrors.h"

#include <QTest>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Wake = HeartbeatLoop::Wake;

namespace {

class RecordingNotifier final : public platform::Notifier {
public:
    QStringList summaries;
    void notify(const platform::Notification& n) override { summaries << n.summary; }
};

// Heartbeats fail with `failure` unless it is empty; the normal interval is long enough that any
// early beat is plainly early.
struct ScriptedLoop {
    std::optional<QString> token = QStringLiteral("dt");
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
    void classification_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("state");
        QTest::newRow("revoked") << "Invalid device session"
                                 << "Device revoked";
        QTest::newRow("revoked wins over HTTP 5") << "HTTP 5: Invalid device session"
                                                  << "Device revoked";
        QTest::newRow("503 without detail") << "HTTP 503"
                                            << "Server unavailable";
        QTest::newRow("5xx with detail") << "gateway"
                                         << "Reconnecting";
        QTest::newRow("404") << "HTTP 404"
                             << "Reconnecting";
        QTest::newRow("service down") << "Connection refused"
                                      << "Reconnecting";
    }
    void classification() {
        QFETCH(QString, message);
        QFETCH(QString, state);
        QCOMPARE(displayWord(HeartbeatPolicy::classifyFailure(APIError(message))), state);
    }

    // Failures double the interval up to the maximum and forget the last time; a success resets both.
    void backOffAndReset() {
        ScriptedLoop s;
        QList<double> intervals;
        for (const char* outcome : {"HTTP 503", "Connection refused", "HTTP 503", "HTTP 503", "HTTP 503", ""}) {
            s.beat(QString::fromLatin1(outcome));
            intervals << s.loop.interval();
            QCOMPARE(s.loop.lastHeartbeat() == u"\u2014", *outcome != 0);
        }
        QCOMPARE(intervals, (QList<double>{40, 80, 160, 300, 300, 20}));
        QCOMPARE(s.loop.state(), ConnectionState::Connected);
        QVERIFY(QTime::fromString(s.loop.lastHeartbeat(), QStringLiteral("HH:mm:ss")).isValid());
    }

    // Back online at once: the network's return counts only for a failing loop, a resume for a
    // loop whose next beat is far off; one early beat per normal interval, none while signed out.
    void earlyBeats() {
        ScriptedLoop s;
        s.beat();
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY2(s.loop.nextBeatIn() > 10s, "a connected loop has nothing to catch up");
        s.beat(QStringLiteral("Connection refused"));
        s.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(s.loop.nextBeatIn() <= 10ms);
        s.failure.clear();
        QTRY_COMPARE_WITH_TIMEOUT(s.sent, 3, 5000);
        QCOMPARE(s.loop.state(), ConnectionState::Connected);
        // A flapping network within the same normal interval: no second early beat.
        s.beat(QStringLiteral("Connection refused"));
        s.loop.beatEarly(Wake::NetworkBack);
        s.loop.beatEarly(Wake::Resumed);
        QVERIFY(s.loop.nextBeatIn() > 10s);

        ScriptedLoop resumed;
        resumed.beat();
        resumed.loop.beatEarly(Wake::Resumed);
        QVERIFY(resumed.loop.nextBeatIn() <= 10ms);

        ScriptedLoop signedOut;
        signedOut.beat(QStringLiteral("Connection refused"));
        signedOut.token.reset();
        signedOut.loop.beatEarly(Wake::NetworkBack);
        QVERIFY(signedOut.loop.nextBeatIn() > 10s);
        signedOut.loop.stop();
        signedOut.token = QStringLiteral("dt");
        signedOut.loop.beatEarly(Wake::Resumed);
        QVERIFY2(!signedOut.loop.isArmed(), "a stopped loop is not restarted by a wake");
    }

    // One notification per transition, never one per heartbeat; a short outage is not worth one.
    void noticesTellEachTransitionOnce() {
        RecordingNotifier notifier;
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
            notices.runtimeState(state, QStringLiteral("Runtime exited unexpectedly"));
        }
        QVERIFY(notices.updateFound(QStringLiteral("1.2.0"), QString()));
        QVERIFY(!notices.updateFound(QStringLiteral("1.2.0"), QStringLiteral("1.2.0")));
        QCOMPARE(notifier.summaries,
                 (QStringList{u"Orvelquin service unreachable"_s, u"Back online"_s, u"Device revoked"_s,
                              u"Seller runtime stopped"_s, u"Seller runtime stopped"_s, u"Update available"_s}));
    }
};

QTEST_GUILESS_MAIN(TestHeartbeatLoop)
#include "tst_heartbeatloop.moc"
