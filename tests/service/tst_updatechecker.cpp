#include "ScriptedHttpServer.h"
#include "core/AppInfo.h"
#include "service/UpdateChecker.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QTest>

using namespace std::chrono_literals;

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

    void checkOverTheNetwork() {
        QNetworkAccessManager network;
        ScriptedHttpServer server;
        const QByteArray newer = "{\"latest_version\":\"" + orvelquin::AppInfo::version().toUtf8() + ".1\"}";
        server.enqueueJson(200, newer);
        UpdateChecker checker(server.url(), network, 500ms);
        QCOMPARE(QCoro::waitFor(checker.check()),
                 Status::available(orvelquin::AppInfo::version() + QStringLiteral(".1")));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().at(0).method, QByteArray("GET"));
        QCOMPARE(server.requests().at(0).target, QByteArray("/api/desktop/releases/latest"));
        QVERIFY(!server.requests().at(0).headers.contains("authorization"));

        // A redirect is not followed, even to a reply that would say "available".
        server.enqueue({302, {}, {{"Location", server.url().toEncoded() + "/elsewhere"}}, 0, false});
        server.answerAlways("/elsewhere", {200, newer, {}, 0, false});
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        QCOMPARE(server.requests().size(), 2);

        server.enqueue({200, newer, {}, 3000, false});
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        // A 200 whose transfer then breaks is no answer, even with a whole JSON object read.
        using Ending = ScriptedHttpServer::Reply::Ending;
        for (const Ending ending : {Ending::Cut, Ending::Stalled}) {
            server.enqueue({200, newer, {}, 0, false, ending});
            QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        }

        // Over 64 KiB is refused, whether announced by Content-Length or not.
        server.enqueueJson(200, "{\"latest_version\":\"99\",\"pad\":\"" + QByteArray(70 * 1024, 'x') + "\"}");
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        server.enqueueJson(200, "{\"latest_version\":\"99\",\"pad\":\"" + QByteArray(60 * 1024, 'x') + "\"}");
        QCOMPARE(QCoro::waitFor(checker.check()), Status::available(QStringLiteral("99")));

        UpdateChecker nobody(QUrl(QStringLiteral("http://127.0.0.1:1")), network, 500ms);
        QCOMPARE(QCoro::waitFor(nobody.check()), Status::unreachable());
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
