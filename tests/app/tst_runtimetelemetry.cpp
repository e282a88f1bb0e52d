#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"

#include <QJsonDocument>
#include <QTest>
#include <QTimeZone>

using namespace orvelquin;

namespace {

QStringList keys(const QJsonObject& o) {
    QStringList k = o.keys();
    k.sort();
    return k;
}

QStringList sorted(QStringList k) {
    k.sort();
    return k;
}

const QStringList kAlways = {QStringLiteral("installed"),      QStringLiteral("version"),
                             QStringLiteral("state"),          QStringLiteral("provider_mode"),
                             QStringLiteral("seller_enabled"), QStringLiteral("marketplace_enabled"),
                             QStringLiteral("ram_usage_bytes")};

} // namespace

class TestRuntimeTelemetry : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void nothingInstalled() {
        RuntimeSnapshot s;
        s.state = QStringLiteral("stopped");
        s.activeRamBytes = 6442450944ULL;
        const QJsonObject r = telemetryReport(s);
        QCOMPARE(keys(r), sorted(kAlways));
        QCOMPARE(r.value(QStringLiteral("installed")), QJsonValue(false));
        QCOMPARE(r.value(QStringLiteral("version")).toString(), AppInfo::version());
        QCOMPARE(r.value(QStringLiteral("provider_mode")).toString(), QStringLiteral("fake"));
        QCOMPARE(r.value(QStringLiteral("seller_enabled")), QJsonValue(false));
        QCOMPARE(r.value(QStringLiteral("marketplace_enabled")), QJsonValue(false));
        // Integers stay integers on the wire.
        QVERIFY(QJsonDocument(r).toJson(QJsonDocument::Compact).contains("\"ram_usage_bytes\":6442450944"));
    }

    void stoppedAfterARun() {
        RuntimeSnapshot s;
        s.installed = true;
        s.state = QStringLiteral("stopped");
        s.startedAt = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 890), QTimeZone::utc());
        s.lastTransition = QStringLiteral("stopped");
        const QJsonObject r = telemetryReport(s);
        QCOMPARE(keys(r), sorted(kAlways + QStringList{QStringLiteral("started_at"), QStringLiteral("last_transition"),
                                                       QStringLiteral("health")}));
        QCOMPARE(r.value(QStringLiteral("health")).toString(), QStringLiteral("unavailable"));
        QCOMPARE(r.value(QStringLiteral("started_at")).toString(), QStringLiteral("2026-03-04T05:06:07Z"));
    }

    void running() {
        RuntimeSnapshot s;
        s.installed = true;
        s.state = QStringLiteral("running");
        s.running = true;
        s.uptimeSeconds = 75;
        s.pid = 4242;
        // A local start time is reported in UTC.
        s.startedAt = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0), QTimeZone(3600));
        s.lastTransition = QStringLiteral("started");
        QJsonObject r = telemetryReport(s);
        QVERIFY(!r.contains(QStringLiteral("cpu_usage_pct")));
        QCOMPARE(r.value(QStringLiteral("health")).toString(), QStringLiteral("available"));
        QCOMPARE(r.value(QStringLiteral("started_at")).toString(), QStringLiteral("2026-12-31T22:30:00Z"));
        const QByteArray json = QJsonDocument(r).toJson(QJsonDocument::Compact);
        QVERIFY(json.contains("\"uptime_seconds\":75"));
        QVERIFY(json.contains("\"pid\":4242"));

        s.cpuUsagePercent = 7.25;
        r = telemetryReport(s);
        QCOMPARE(r.value(QStringLiteral("cpu_usage_pct")).toDouble(), 7.3);
    }

    void crashedAndLaunchError_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("error");
        QTest::newRow("crashed") << QStringLiteral("crashed") << QStringLiteral("Runtime exited unexpectedly");
        QTest::newRow("launch error") << QStringLiteral("error") << QStringLiteral("Permission denied");
    }

    void crashedAndLaunchError() {
        QFETCH(QString, state);
        QFETCH(QString, error);
        RuntimeSnapshot s;
        s.installed = true;
        s.state = state;
        s.lastTransition = state;
        s.lastError = error;
        const QJsonObject r = telemetryReport(s);
        QCOMPARE(r.value(QStringLiteral("last_transition")).toString(), state);
        QCOMPARE(r.value(QStringLiteral("last_error")).toString(), error);
        QCOMPARE(r.value(QStringLiteral("health")).toString(), QStringLiteral("unavailable"));
        QVERIFY(!r.contains(QStringLiteral("pid")));
        QVERIFY(!r.contains(QStringLiteral("uptime_seconds")));
    }

    void rounding_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("rounded");
        QTest::newRow("12.345") << 12.345 << 12.3;
        QTest::newRow("0.05") << 0.05 << 0.1;
        QTest::newRow("99.95") << 99.95 << 100.0;
        QTest::newRow("0.04") << 0.04 << 0.0;
        QTest::newRow("100") << 100.0 << 100.0;
    }

    void rounding() {
        QFETCH(double, value);
        QFETCH(double, rounded);
        QCOMPARE(roundToTenth(value), rounded);
    }
};

QTEST_GUILESS_MAIN(TestRuntimeTelemetry)
#include "tst_runtimetelemetry.moc"
