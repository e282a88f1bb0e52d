#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"

#include <QJsonDocument>
#include <QTest>
#include <QTimeZone>

using namespace orvelquin;
using namespace Qt::StringLiterals;

class TestRuntimeTelemetry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // `report` is all but the constant fields; absent values are left out.
    void report_data() {
        QTest::addColumn<RuntimeSnapshot>("snapshot");
        QTest::addColumn<QByteArray>("report");
        RuntimeSnapshot s;
        s.state = u"stopped"_s;
        s.activeRamBytes = 6442450944ULL;
        QTest::newRow("nothing installed")
            << s << QByteArray(R"({"installed":false,"ram_usage_bytes":6442450944,"state":"stopped"})");
        s = {};
        s.installed = true;
        s.state = u"stopped"_s;
        s.startedAt = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 890), QTimeZone::utc());
        s.lastTransition = u"stopped"_s;
        QTest::newRow("stopped after a run")
            << s
            << QByteArray(R"({"health":"unavailable","installed":true,"last_transition":"stopped",)"
                          R"("ram_usage_bytes":0,"started_at":"2026-03-04T05:06:07Z","state":"stopped"})");
        s.state = u"running"_s;
        s.running = true;
        s.uptimeSeconds = 75;
        s.pid = 4242;
        s.startedAt = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0), QTimeZone(3600)); // reported in UTC
        s.lastTransition = u"started"_s;
        const QByteArray running = R"("health":"available","installed":true,"last_transition":"started","pid":4242,)"
                                   R"("ram_usage_bytes":0,"started_at":"2026-12-31T22:30:00Z","state":"running",)"
                                   R"("uptime_seconds":75})";
        QTest::newRow("running, no figure yet") << s << "{" + running;
        s.cpuUsagePercent = 7.25;
        QTest::newRow("running") << s << R"({"cpu_usage_pct":7.3,)" + running;
        for (const char* state : {"crashed", "error"}) {
            s = {};
            s.installed = true;
            s.lastTransition = s.state = QString::fromLatin1(state);
            s.lastError = u"Runtime exited unexpectedly"_s;
            QTest::newRow(state) << s
                                 << QByteArray(R"({"health":"unavailable","installed":true,"last_error":"Runtime )"
                                               R"(exited unexpectedly","last_transition":")") +
                                        state + R"(","ram_usage_bytes":0,"state":")" + state + "\"}";
        }
    }
    void report() {
        QFETCH(RuntimeSnapshot, snapshot);
        QFETCH(QByteArray, report);
        QJsonObject expected = QJsonDocument::fromJson(report).object();
        QVERIFY(!expected.isEmpty());
        expected.insert(u"version"_s, AppInfo::version());
        expected.insert(u"provider_mode"_s, u"fake"_s);
        expected.insert(u"seller_enabled"_s, false);
        expected.insert(u"marketplace_enabled"_s, false);
        QCOMPARE(QJsonDocument(telemetryReport(snapshot)).toJson(QJsonDocument::Compact),
                 QJsonDocument(expected).toJson(QJsonDocument::Compact));
    }

    void roundingHalvesAwayFromZero() {
        for (const auto& [value, rounded] : std::initializer_list<std::pair<double, double>>{
                 {12.345, 12.3}, {0.05, 0.1}, {99.95, 100.0}, {0.04, 0.0}, {100.0, 100.0}}) {
            QCOMPARE(roundToTenth(value), rounded);
        }
    }
};

QTEST_GUILESS_MAIN(TestRuntimeTelemetry)
#include "tst_runtimetelemetry.moc"
