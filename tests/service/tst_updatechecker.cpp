#include "service/UpdateChecker.h"

#include <QTest>

using orvelquin::UpdateChecker;
using Status = UpdateChecker::Status;

Q_DECLARE_METATYPE(UpdateChecker::Status)

class TestUpdateChecker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void compareVersions_data() {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<int>("order");
        QTest::newRow("patch") << QStringLiteral("0.3.1") << QStringLiteral("0.3.2") << -1;
        QTest::newRow("9 before 10") << QStringLiteral("0.3.9") << QStringLiteral("0.3.10") << -1;
        QTest::newRow("10 after 9") << QStringLiteral("0.3.10") << QStringLiteral("0.3.9") << 1;
        QTest::newRow("equal") << QStringLiteral("0.3.1") << QStringLiteral("0.3.1") << 0;
        QTest::newRow("suffix orders after") << QStringLiteral("0.3.1-dev") << QStringLiteral("0.3.1") << 1;
        QTest::newRow("dev before next") << QStringLiteral("0.3.1-dev") << QStringLiteral("0.3.2") << -1;
        QTest::newRow("prefix first") << QStringLiteral("1.2") << QStringLiteral("1.2.0") << -1;
        QTest::newRow("letter after digits") << QStringLiteral("0.3.1") << QStringLiteral("v0.3.0") << -1;
        QTest::newRow("huge digit runs") << QStringLiteral("1.99999999999999999999")
                                         << QStringLiteral("1.100000000000000000000") << -1;
        QTest::newRow("empty") << QString() << QStringLiteral("0") << -1;
    }

    void compareVersions() {
        QFETCH(QString, running);
        QFETCH(QString, latest);
        QFETCH(int, order);
        const int c = UpdateChecker::compareVersions(running, latest);
        QCOMPARE((c > 0) - (c < 0), order);
        const int reverse = UpdateChecker::compareVersions(latest, running);
        QCOMPARE((reverse > 0) - (reverse < 0), -order);
    }

    void evaluate_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Status>("expected");
        QTest::newRow("same") << 200 << QByteArray(R"({"latest_version":"0.3.1"})") << Status::upToDate();
        QTest::newRow("newer") << 200 << QByteArray(R"({"latest_version":"0.4.0","x":1})")
                               << Status::available(QStringLiteral("0.4.0"));
        QTest::newRow("kept as sent") << 200 << QByteArray(R"({"latest_version":"v0.4.0"})")
                                      << Status::available(QStringLiteral("v0.4.0"));
        QTest::newRow("empty string") << 200 << QByteArray(R"({"latest_version":""})") << Status::unreachable();
        QTest::newRow("number") << 200 << QByteArray(R"({"latest_version":0.4})") << Status::unreachable();
        QTest::newRow("null") << 200 << QByteArray(R"({"latest_version":null})") << Status::unreachable();
        QTest::newRow("array") << 200 << QByteArray(R"(["0.4.0"])") << Status::unreachable();
        QTest::newRow("garbage") << 200 << QByteArray("<html>") << Status::unreachable();
        QTest::newRow("204") << 204 << QByteArray() << Status::unreachable();
        QTest::newRow("201") << 201 << QByteArray(R"({"latest_version":"0.4.0"})") << Status::unreachable();
        QTest::newRow("302") << 302 << QByteArray(R"({"latest_version":"0.4.0"})") << Status::unreachable();
    }

    void evaluate() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Status, expected);
        QCOMPARE(UpdateChecker::evaluate(QStringLiteral("0.3.1"), status, body), expected);
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
