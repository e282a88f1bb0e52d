// The heartbeat loop with a scripted sender: its failure rules, its early beats, the runtime report it
// carries, and the desktop notices its outcomes lead to.
#include "ScriptedServices.h"
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
using enum ConnectionState;
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

    void beat(const QString& outcome = {}) { failure = outcome, loop.beatNow(); }
    // Whether the wake brought the next beat forward to now.
    bool early(Wake wake) { return loop.beatEarly(wake), loop.nextBeatIn() <= 10ms; }
};

} // namespace

class TestHeartbeatLoop : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The notices remember the version they told about; each run starts with none.
    void init() { userSettings().clear(); }
    void cleanup() { userSettings().clear(); }
    // Each failure sets its state, doubles the interval up to the maximum and forgets the last
    // time; a success resets both. A revoked device shows only in the detail text.
    void outcomes() {
        ScriptedLoop s;
        const std::tuple<const char*, const char*, double> steps[] = {
            {"HTTP 503", "Server unavailable", 40},
            {"Connection refused", "Reconnecting", 80},
            {"HTTP 5: Invalid device session", "Device revoked", 160},
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
        QVERIFY2(!s.early(Wake::NetworkBack), "a connected loop has nothing to catch up");
        s.beat(u"Connection refused"_s);
        QVERIFY(s.early(Wake::NetworkBack));
        s.failure.clear();
        QTRY_COMPARE_WITH_TIMEOUT(s.sent, 3, 5000);
        QCOMPARE(s.loop.state(), Connected);
        s.beat(u"Connection refused"_s); // a flapping network within the same normal interval
        QVERIFY(!s.early(Wake::NetworkBack) && !s.early(Wake::Resumed));

        ScriptedLoop resumed;
        resumed.beat();
        QVERIFY(resumed.early(Wake::Resumed));

        ScriptedLoop signedOut;
        signedOut.beat(u"Connection refused"_s);
        signedOut.token.reset();
        QVERIFY(!signedOut.early(Wake::NetworkBack));
        signedOut.loop.stop();
        signedOut.token = u"dt"_s;
        signedOut.loop.beatEarly(Wake::Resumed);
        QVERIFY2(!signedOut.loop.isArmed(), "a stopped loop is not restarted by a wake");
    }

    // Absent values are left out, times are sent in UTC without their milliseconds, the processor
    // figure to a tenth, halves away from zero; uptime and processor only while running.
    void runtimeReport() {
        RuntimeSnapshot running{.installed = true, .state = u"running"_s, .running = true, .uptimeSeconds = 75};
        running.cpuUsagePercent = 7.25, running.pid = 4242, running.lastTransition = u"started"_s;
        running.startedAt = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0, 890), QTimeZone(3600));
        const std::pair<RuntimeSnapshot, const char*> rows[] = {
            {{.state = u"stopped"_s, .activeRamBytes = 6442450944ULL},
             R"("installed":false,"ram_usage_bytes":6442450944,"state":"stopped"})"},
            {running,
             R"("cpu_usage_pct":7.3,"health":"available","installed":true,"last_transition":"started","pid":4242,)"
             R"("ram_usage_bytes":0,"started_at":"2026-12-31T22:30:00Z","state":"running","uptime_seconds":75})"},
            {{.installed = true, .state = u"crashed"_s, .uptimeSeconds = 9, .lastError = u"gone"_s},
             R"("health":"unavailable","installed":true,"last_error":"gone","ram_usage_bytes":0,"state":"crashed"})"}};
        const QByteArray constant = R"({"marketplace_enabled":false,"provider_mode":"fake","seller_enabled":false,)";
        for (const auto& [snapshot, report] : rows) {
            QJsonObject expected = QJsonDocument::fromJson(constant + report).object();
            expected[u"version"_s] = AppInfo::version();
            QCOMPARE(telemetryReport(snapshot), expected);
        }
    }

    // One notification per transition, never one per heartbeat; a short outage is not worth one.
    void noticesTellEachTransitionOnce() {
        scripted::Notifier notifier;
        DesktopNotices notices(notifier, 10min);
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
        notices.updateFound(u"1.2.0"_s);
        DesktopNotices(notifier).updateFound(u"1.2.0"_s); // as after a restart
        QCOMPARE(notifier.summaries,
                 (QStringList{u"Orvelquin service unreachable"_s, u"Back online"_s, u"Device revoked"_s,
                              u"Seller runtime stopped"_s, u"Seller runtime stopped"_s, u"Update available"_s}));
    }
};

QTEST_MAIN(TestHeartbeatLoop)
#include "tst_heartbeatloop.moc"
