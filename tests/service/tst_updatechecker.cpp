// The release check against a real HTTP server on loopback that answers as scripted.
#include "ScriptedHttpServer.h"
#include "core/AppInfo.h"
#include "service/UpdateChecker.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QTest>

using namespace orvelquin;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using Reply = ScriptedHttpServer::Reply;
using Status = UpdateChecker::Status;

Q_DECLARE_METATYPE(Reply)
Q_DECLARE_METATYPE(Status)

class TestUpdateChecker : public QObject {
    Q_OBJECT

    QNetworkAccessManager m_network;

private Q_SLOTS:
    // Each pair is in order, and so the other way round and against itself: digit runs by value,
    // however long; other characters one by one; a longer rest is later.
    void compareVersions() {
        for (const QString& pair : u"0.3.9<0.3.10 0.3.1<v0.3.0 1.2<1.2.0 0.3.1<0.3.1-dev 1.99999999999999999999<"
                                   "1.100000000000000000000"_s.split(u' ')) {
            const QString a = pair.section(u'<', 0, 0), b = pair.section(u'<', 1);
            const int forward = UpdateChecker::compareVersions(a, b), back = UpdateChecker::compareVersions(b, a);
            QVERIFY2(forward < 0 && back > 0 && UpdateChecker::compareVersions(b, QString(b)) == 0, qPrintable(pair));
        }
    }

    // Only a whole 200 of at most 64 KiB that names a version is an answer; a redirect is never
    // followed. The transport's faults are the client's, tried one by one in errorTable.
    void checkOverTheNetwork_data() {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<Status>("expected");
        const QString running = orvelquin::AppInfo::version(), newer = u"v"_s + running;
        const auto latest = [](const QString& version, qsizetype pad = 0) {
            return "{\"latest_version\":\"" + version.toUtf8() + "\",\"pad\":\"" + QByteArray(pad, 'x') + "\"}";
        };
        const Status none = Status::unreachable();
        QTest::newRow("same") << Reply{200, latest(running)} << Status::upToDate();
        QTest::newRow("newer, kept as sent") << Reply{200, latest(newer, 60 * 1024)} << Status::available(newer);
        QTest::newRow("over 64 KiB") << Reply{200, latest(newer, 70 * 1024)} << none;
        QTest::newRow("cut short") << Reply{200, latest(newer), {}, 0, false, Reply::Ending::Cut} << none;
        for (const char* body : {R"({"latest_version":""})", R"({"latest_version":0.4})", R"(["9.0"])", "<html>", ""}) {
            QTest::newRow(body) << Reply{200, body} << none;
        }
        for (const int status : {201, 204, 302}) {
            QTest::addRow("%d", status) << Reply{status, latest(newer), "Location: /elsewhere\r\n"} << none;
        }
    }

    void checkOverTheNetwork() {
        QFETCH(Reply, reply);
        ScriptedHttpServer server;
        server.enqueue(reply), server.answerAlways("/elsewhere", {200, reply.body});
        UpdateChecker checker(server.url(), m_network, 10s);
        QTEST(QCoro::waitFor(checker.check()), "expected");
        const auto& request = server.requests().at(0);
        QCOMPARE(request.method + ' ' + request.target, QByteArray("GET /api/desktop/releases/latest"));
        QVERIFY(!request.headers.contains("authorization"));
    }
};

QTEST_GUILESS_MAIN(TestUpdateChecker)
#include "tst_updatechecker.moc"
