#include "ScriptedHttpServer.h"
#include "core/AppInfo.h"
#include "service/UpdateChecker.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using orvelquin::UpdateChecker;
using Status = UpdateChecker::Status;
using Ending = ScriptedHttpServer::Reply::Ending;

Q_DECLARE_METATYPE(UpdateChecker::Status)

class TestUpdateChecker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void compareVersions_data() {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("latest");
        QTest::newRow("patch") << u"0.3.1"_s << u"0.3.2"_s;
        QTest::newRow("9 before 10") << u"0.3.9"_s << u"0.3.10"_s;
        QTest::newRow("suffix orders after") << u"0.3.1"_s << u"0.3.1-dev"_s;
        QTest::newRow("dev before next") << u"0.3.1-dev"_s << u"0.3.2"_s;
        QTest::newRow("prefix first") << u"1.2"_s << u"1.2.0"_s;
        QTest::newRow("letter after digits") << u"0.3.1"_s << u"v0.3.0"_s;
        QTest::newRow("huge digit runs") << u"1.99999999999999999999"_s << u"1.100000000000000000000"_s;
        QTest::newRow("empty") << QString() << u"0"_s;
    }

    // Each row is in order, and so the other way round and against itself.
    void compareVersions() {
        QFETCH(QString, running);
        QFETCH(QString, latest);
        QVERIFY(UpdateChecker::compareVersions(running, latest) < 0);
        QVERIFY(UpdateChecker::compareVersions(latest, running) > 0);
        QCOMPARE(UpdateChecker::compareVersions(latest, QString(latest)), 0);
    }

    void evaluate_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<Status>("expected");
        QTest::newRow("same") << 200 << QByteArray(R"({"latest_version":"0.3.1"})") << Status::upToDate();
        QTest::newRow("newer") << 200 << QByteArray(R"({"latest_version":"0.4.0","x":1})")
                               << Status::available(u"0.4.0"_s);
        QTest::newRow("kept as sent") << 200 << QByteArray(R"({"latest_version":"v0.4.0"})")
                                      << Status::available(u"v0.4.0"_s);
        for (const char* body : {R"({"latest_version":""})", R"({"latest_version":0.4})", R"({"latest_version":null})",
                                 R"(["0.4.0"])", "<html>", ""}) {
            QTest::newRow(body) << 200 << QByteArray(body) << Status::unreachable();
        }
        for (const int status : {201, 204, 302}) {
            QTest::addRow("%d", status) << status << QByteArray(R"({"latest_version":"0.4.0"})")
                                        << Status::unreachable();
        }
    }

    void evaluate() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(Status, expected);
        QCOMPARE(UpdateChecker::evaluate(u"0.3.1"_s, status, body), expected);
    }

    void checkOverTheNetwork() {
        QNetworkAccessManager network;
        ScriptedHttpServer server;
        const QString newer = orvelquin::AppInfo::version() + u".1"_s;
        const QByteArray answer = "{\"latest_version\":\"" + newer.toUtf8() + "\"}";
        server.enqueueJson(200, answer);
        UpdateChecker checker(server.url(), network, 500ms);
        QCOMPARE(QCoro::waitFor(checker.check()), Status::available(newer));
        const auto& request = server.requests().at(0);
        QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /api/desktop/releases/latest"));
        QVERIFY(!request.headers.contains("authorization"));

        // A redirect is not followed, even to a reply that would say "available"; a late reply, a
        // 200 whose transfer breaks and over 64 KiB (announced or not) are no answer either.
        server.enqueue({302, {}, {{"Location", "/elsewhere"}}});
        server.answerAlways("/elsewhere", {200, answer});
        server.enqueue({200, answer, {}, 3000});
        server.enqueue({200, answer, {}, 0, false, Ending::Cut});
        server.enqueue({200, answer, {}, 0, false, Ending::Stalled});
        server.enqueueJson(200, "{\"latest_version\":\"99\",\"pad\":\"" + QByteArray(70 * 1024, 'x') + "\"}");
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        }
        QCOMPARE(server.requests().size(), 6);
        server.enqueueStream(70 * 1024, false);
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        server.enqueueJson(200, "{\"latest_version\":\"99\",\"pad\":\"" + QByteArray(60 * 1024, 'x') + "\"}");
        QCOMPARE(QCoro::waitFor(checker.check()), Status::available(u"99"_s));

        UpdateChecker nobody(QUrl(u"http://127.0.0.1:1"_s), network, 500ms);
        QCOMPARE(QCoro::waitFor(nobody.check()), Status::unreachable());
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
