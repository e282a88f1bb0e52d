// The heartbeat without a network: the loop with a scripted sender and its failure rules, the
// runtime report it carries, and the desktop notices its outcomes lead to.
#include "ScriptedServices.h"
#include "app/DesktopNotices.h"
#include "app/HeartbeatLoop.h"
#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"
#include "core/Settings.h"
#include "service/ServiceErrors.h"

#include <QJsonDocument>
#include <QTest>
#include <QTimeZone>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Wake = HeartbeatLoop::Wake;
// Snapshots name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

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

    // All but the constant fields; absent values are left out, times are sent in UTC without
    // their milliseconds, the processor figure to a tenth, halves away from zero.
    void runtimeReport_data() {
        QTest::addColumn<RuntimeSnapshot>("snapshot");
        QTest::addColumn<QByteArray>("report");
        QTest::newRow("nothing installed")
            << RuntimeSnapshot{.state = u"stopped"_s, .activeRamBytes = 6442450944ULL}
            << QByteArray(R"({"installed":false,"ram_usage_bytes":6442450944,"state":"stopped"})");
        QTest::newRow("running")
            << RuntimeSnapshot{.installed = true,
                               .state = u"running"_s,
                               .running = true,
                               .uptimeSeconds = 75,
                               .cpuUsagePercent = 7.25,
                               .pid = 4242,
                               .startedAt = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0, 890), QTimeZone(3600)),
                               .lastTransition = u"started"_s}
            << QByteArray(R"({"cpu_usage_pct":7.3,"health":"available","installed":true,"last_transition":)"
                          R"("started","pid":4242,"ram_usage_bytes":0,"started_at":"2026-12-31T22:30:00Z",)"
                          R"("state":"running","uptime_seconds":75})");
        QTest::newRow("crashed")
            << RuntimeSnapshot{.installed = true,
                               .state = u"crashed"_s,
                               .lastTransition = u"crashed"_s,
                               .lastError = u"Runtime exited unexpectedly"_s}
            << QByteArray(R"({"health":"unavailable","installed":true,"last_error":"Runtime exited unexpectedly",)"
                          R"("last_transition":"crashed","ram_usage_bytes":0,"state":"crashed"})");
    }
    void runtimeReport() {
        QFETCH(RuntimeSnapshot, snapshot);
        QFETCH(QByteArray, report);
        QJsonObject expected = QJsonDocument::fromJson(report).object();
        QVERIFY(!expected.isEmpty());
        expected.insert(u"version"_s, AppInfo::version());
        expected.insert(u"provider_mode"_s, u"fake"_s);
        expected.insert(u"seller_enabled"_s, false);
        expected.insert(u"marketplace_enabled"_s, false);
        QCOMPARE(telemetryReport(snapshot), expected);
    }

    // One notification per transition, never one per heartbeat; a short outage is not worth one.
    void noticesTellEachTransitionOnce() {
        scripted::Notifier notifier;
        DesktopNotices notices(notifier, 10min);
        using enum ConnectionState;
        const QList<std::pair<ConnectionState, int>> outcomes{
            {Connected, 0},     {ServerUnavailable, 1}, {ServerUnavailable, 26}, {Connected, 31},    {Connected, 32},
            {Reconnecting, 33}, {Connected, 34},        {DeviceRevoked, 40},     {DeviceRevoked, 41}};
        for (const auto& [state, minute] : outcomes) {
            notices.heartbeatOutcome(state, DesktopNotices::Clock::time_point{} + std::chrono::minutes(minute));
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
