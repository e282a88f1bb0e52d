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

Q_DECLARE_METATYPE(UpdateChecker::Status)

class TestUpdateChecker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void compareVersions_data() {
        QTest::addColumn<QString>("running");
        QTest::addColumn<QString>("latest");
        for (const QString& pair :
             u"0.3.1<0.3.2 0.3.9<0.3.10 0.3.1<0.3.1-dev 0.3.1-dev<0.3.2 1.2<1.2.0 0.3.1<v0.3.0 <0 "
             "1.99999999999999999999<1.100000000000000000000"_s.split(u' ')) {
            QTest::newRow(qPrintable(pair)) << pair.section(u'<', 0, 0) << pair.section(u'<', 1);
        }
    }

    // Each pair is in order, and so the other way round and against itself.
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
        QTest::newRow("newer, kept as sent")
            << 200 << QByteArray(R"({"latest_version":"v0.4.0","x":1})") << Status::available(u"v0.4.0"_s);
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

    // Asked without credentials; a broken transfer or a reply over 64 KiB is no answer. The
    // transport's other faults are the client's, tried one by one in tst_apiclient.
    void checkOverTheNetwork() {
        const auto answer = [](const QString& version, qsizetype pad) {
            return "{\"latest_version\":\"" + version.toUtf8() + "\",\"pad\":\"" + QByteArray(pad, 'x') + "\"}";
        };
        const QString newer = orvelquin::AppInfo::version() + u".1"_s;
        QNetworkAccessManager network;
        ScriptedHttpServer server;
        server.enqueueJson(200, answer(newer, 60 * 1024));
        server.enqueueJson(200, answer(newer, 70 * 1024));
        server.enqueue({200, answer(newer, 0), {}, 0, false, ScriptedHttpServer::Reply::Ending::Cut});
        UpdateChecker checker(server.url(), network, 10s);
        QCOMPARE(QCoro::waitFor(checker.check()), Status::available(newer));
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        QCOMPARE(QCoro::waitFor(checker.check()), Status::unreachable());
        const auto& request = server.requests().at(0);
        QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /api/desktop/releases/latest"));
        QVERIFY(!request.headers.contains("authorization"));
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
