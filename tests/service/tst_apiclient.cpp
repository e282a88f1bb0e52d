#include "../LogCapture.h"
#include "ScriptedHttpServer.h"
#include "service/APIClient.h"

#include <QCoroTask>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>

#include <unistd.h>

using namespace orvelquin;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using Ending = ScriptedHttpServer::Reply::Ending;

Q_DECLARE_METATYPE(Ending)

namespace {

SystemInfo sampleHost() {
    SystemInfo info;
    info.osVersion = QStringLiteral("Linux 6.1.0");
    info.architecture = QStringLiteral("x86_64");
    info.cpuModel = QStringLiteral("Test CPU");
    info.ramBytes = 68719476736ULL;
    info.gpu = QStringLiteral("Test GPU");
    return info;
}

QString describe(const ServiceError& error) {
    const char* kind = typeid(error) == typeid(APIError)        ? "api"
                       : typeid(error) == typeid(DecodingError) ? "decoding"
                                                                : "transport";
    return QString::fromLatin1(kind) + u':' + error.message();
}

// The error an operation threw, as "<kind>:<message>", or "" for success. The catch sits inside
// a coroutine: QCoro::waitFor would never return from a task that throws.
template <typename Call> QString failureOf(Call call) {
    auto run = [](Call c) -> QCoro::Task<QString> {
        try {
            co_await c();
        } catch (const ServiceError& error) {
            co_return describe(error);
        }
        co_return QString();
    };
    return QCoro::waitFor(run(std::move(call)));
}

// One call of the named operation with fixed arguments.
QCoro::Task<> call(APIClient& api, const QString& operation) {
    if (operation == u"signIn") {
        co_await api.signIn(u"e"_s, u"p"_s);
    } else if (operation == u"registerDevice") {
        co_await api.registerDevice(u"n"_s, sampleHost(), u"v"_s, u"a"_s);
    } else if (operation == u"startDeviceSession") {
        co_await api.startDeviceSession(u"d"_s, u"a"_s);
    } else {
        co_await api.heartbeat(u"t"_s, true, 1, u"online"_s, sampleHost(), {});
    }
}

qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE)
                                           : 0;
}

} // namespace

class TestAPIClient : public QObject {
    Q_OBJECT

private:
    QNetworkAccessManager m_network;

private Q_SLOTS:
    void errorTable_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<Ending>("ending");
        auto row = [](const char* name, int status, const QByteArray& body, const QString& failure,
                      Ending ending = Ending::Complete) { QTest::newRow(name) << status << body << failure << ending; };
        const QByteArray login = R"({"access_token":"a","refresh_token":"r"})";
        row("detail", 401, R"({"detail":"Invalid device session"})", u"api:Invalid device session"_s);
        row("empty detail", 404, R"({"detail":""})", u"api:"_s);
        row("array detail", 422, R"({"detail":[{"loc":1}]})", u"api:HTTP 422"_s);
        row("null detail", 400, R"({"detail":null})", u"api:HTTP 400"_s);
        row("html", 500, "<html>oops</html>", u"api:HTTP 500"_s);
        row("empty 503", 503, {}, u"api:HTTP 503"_s);
        row("redirect not followed", 302, {}, u"api:HTTP 302"_s);
        row("199", 199, login, u"api:HTTP 199"_s);
        row("300", 300, login, u"api:HTTP 300"_s);
        row("200", 200, R"({"access_token":"a","refresh_token":"r","x":1})", {});
        row("299", 299, login, {});
        row("204 empty body", 204, {}, u"decoding:The service's reply is not valid JSON: illegal value"_s);
        row("missing member", 200, R"({"access_token":"a"})",
            u"decoding:The service's reply is not valid: \"refresh_token\" should be a string but is missing"_s);
        row("null member", 200, R"({"access_token":null,"refresh_token":"r"})",
            u"decoding:The service's reply is not valid: \"access_token\" should be a string but is null"_s);
        // A transfer that breaks after the status line is no answer, whatever the status said.
        const QString timedOut = u"transport:The service did not answer within 0.3 seconds."_s;
        row("200 cut", 200, login, u"transport:"_s, Ending::Cut);
        row("503 cut", 503, R"({"detail":"x"})", u"transport:"_s, Ending::Cut);
        row("200 stalled", 200, login, timedOut, Ending::Stalled);
        row("503 stalled", 503, {}, timedOut, Ending::Stalled);
    }

    void errorTable() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        QFETCH(Ending, ending);
        ScriptedHttpServer server;
        server.enqueue({status, body, {{"Location", "http://127.0.0.1:9/elsewhere"}}, 0, false, ending});
        APIClient api(server.url(), m_network, ending == Ending::Stalled ? 300ms : 60s);
        const QString got = failureOf([&] { return api.signIn(QStringLiteral("a@b"), QStringLiteral("pw")); });
        QCOMPARE(got.left(failure.size()), failure);
        QCOMPARE(server.requests().size(), 1);
    }

    void requestsHaveExactHeadersAndBodies() {
        ScriptedHttpServer server;
        server.enqueueJson(200, R"({"access_token":"at","refresh_token":"rt"})");
        server.enqueueJson(200, R"({"device_id":"d-42","approved":false})");
        server.enqueueJson(200, R"({"device_token":"dt","expires_at":null})");
        server.enqueueJson(200, R"({"ok":false})");
        APIClient api(server.url(), m_network);

        const SignInResponse login =
            QCoro::waitFor(api.signIn(QStringLiteral(" zoë@example.test "), QStringLiteral(" pw ")));
        QCOMPARE(login.accessToken, QStringLiteral("at"));
        const RegisterDeviceResponse device = QCoro::waitFor(
            api.registerDevice(QStringLiteral("desk"), sampleHost(), QStringLiteral("0.3.1"), QStringLiteral("at")));
        QCOMPARE(device.deviceId, QStringLiteral("d-42"));
        const SessionResponse session = QCoro::waitFor(api.startDeviceSession(device.deviceId, QStringLiteral("")));
        QCOMPARE(session.deviceToken, QStringLiteral("dt"));
        QVERIFY(!session.expiresAt);
        QCoro::waitFor(api.heartbeat(QStringLiteral("dt"), true, 1, QStringLiteral("online"), sampleHost(),
                                     QJsonObject{{QStringLiteral("state"), QStringLiteral("stopped")}}));

        const auto& r = server.requests();
        QCOMPARE(r.size(), 4);
        for (const auto& request : r) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.headers.value("content-type"), QByteArray("application/json"));
        }
        QCOMPARE(r[0].target, QByteArray("/auth/login"));
        QVERIFY(!r[0].headers.contains("authorization"));
        QCOMPARE(QJsonDocument::fromJson(r[0].body).object(),
                 (QJsonObject{{QStringLiteral("email"), QStringLiteral(" zoë@example.test ")},
                              {QStringLiteral("password"), QStringLiteral(" pw ")}}));

        QCOMPARE(r[1].target, QByteArray("/v1/devices/register"));
        QCOMPARE(r[1].headers.value("authorization"), QByteArray("Bearer at"));
        const QJsonObject reg = QJsonDocument::fromJson(r[1].body).object();
        QCOMPARE(reg.keys().size(), 8);
        QCOMPARE(reg.value(QStringLiteral("platform")).toString(), QStringLiteral("Linux"));
        QCOMPARE(reg.value(QStringLiteral("software_version")).toString(), QStringLiteral("0.3.1"));
        QVERIFY(r[1].body.contains("\"ram_bytes\":68719476736"));

        QCOMPARE(r[2].target, QByteArray("/v1/devices/d-42/session"));
        QCOMPARE(r[2].headers.value("authorization"), QByteArray("Bearer"));
        QCOMPARE(r[2].body, QByteArray("{}"));

        QCOMPARE(r[3].target, QByteArray("/v1/devices/heartbeat"));
        QCOMPARE(r[3].headers.value("authorization"), QByteArray("Bearer dt"));
        const QJsonObject beat = QJsonDocument::fromJson(r[3].body).object();
        QCOMPARE(beat.keys().size(), 5);
        QCOMPARE(beat.value(QStringLiteral("device_info")).toObject().keys().size(), 6);
        QVERIFY(!beat.contains(QStringLiteral("name")));
        QVERIFY(r[3].body.contains("\"capacity\":1"));
    }

    void logNamesRequestsButNoCredentials() {
        ScriptedHttpServer server;
        server.enqueueJson(200, R"({"access_token":"at-SECRET","refresh_token":"rt-SECRET"})");
        server.enqueueJson(401, R"({"detail":"Invalid device session"})");
        APIClient api(server.url(), m_network);
        LogCapture log;
        QCoro::waitFor(api.signIn(u"mail-SECRET@example.test"_s, u"pw-SECRET"_s));
        QCOMPARE(failureOf([&] { return api.heartbeat(u"dt-SECRET"_s, true, 1, u"online"_s, sampleHost(), {}); }),
                 u"api:Invalid device session"_s);
        const QString origin = server.url().toString();
        QCOMPARE(log.text(), u"orvelquin.service POST %1/auth/login\n"
                             "orvelquin.service %1/auth/login answered 200 with 56 bytes\n"
                             "orvelquin.service POST %1/v1/devices/heartbeat\n"
                             "orvelquin.service %1/v1/devices/heartbeat answered 401 with 35 bytes"_s.arg(origin));
        QVERIFY(!log.text().contains(u"SECRET"));
    }

    void deviceIdStaysOneSegment_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("slash") << QStringLiteral("../../auth/login")
                               << QByteArray("/v1/devices/..%2F..%2Fauth%2Flogin/session");
        QTest::newRow("query and fragment") << QStringLiteral("a?b#c") << QByteArray("/v1/devices/a%3Fb%23c/session");
        QTest::newRow("space and accent") << QStringLiteral("é d") << QByteArray("/v1/devices/%C3%A9%20d/session");
    }

    void deviceIdStaysOneSegment() {
        QFETCH(QString, id);
        QFETCH(QByteArray, target);
        ScriptedHttpServer server;
        server.enqueueJson(200, R"({"device_token":"dt"})");
        APIClient api(server.url(), m_network);
        QCoro::waitFor(api.startDeviceSession(id, QStringLiteral("at")));
        QCOMPARE(server.requests().value(0).target, target);
    }

    void dotSegmentIdsAreRefused() {
        ScriptedHttpServer server;
        APIClient api(server.url(), m_network);
        QCOMPARE(failureOf([&] { return api.startDeviceSession(QStringLiteral(".."), QStringLiteral("at")); }),
                 QStringLiteral("api:The service sent an invalid device id"));
        QVERIFY(server.requests().isEmpty());
    }

    void decodingRules_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("failure"); // empty: decodes; else a part of the message
        QTest::newRow("login ok, unknown ignored")
            << "signIn" << QByteArray(R"({"access_token":"a","refresh_token":"r","user":{"id":1}})") << "";
        QTest::newRow("login missing") << "signIn" << QByteArray(R"({"access_token":"a"})") << "\"refresh_token\"";
        QTest::newRow("login null") << "signIn" << QByteArray(R"({"access_token":null,"refresh_token":"r"})")
                                    << "\"access_token\"";
        QTest::newRow("register ok") << "registerDevice" << QByteArray(R"({"device_id":"d","approved":false})") << "";
        QTest::newRow("register id number")
            << "registerDevice" << QByteArray(R"({"device_id":7,"approved":true})") << "\"device_id\"";
        QTest::newRow("register approved missing")
            << "registerDevice" << QByteArray(R"({"device_id":"d"})") << "\"approved\"";
        QTest::newRow("session absent expiry") << "startDeviceSession" << QByteArray(R"({"device_token":"t"})") << "";
        QTest::newRow("session null expiry")
            << "startDeviceSession" << QByteArray(R"({"device_token":"t","expires_at":null})") << "";
        QTest::newRow("session null token")
            << "startDeviceSession" << QByteArray(R"({"device_token":null})") << "\"device_token\"";
        QTest::newRow("heartbeat ok") << "heartbeat" << QByteArray(R"({"ok":false})") << "";
        QTest::newRow("heartbeat missing") << "heartbeat" << QByteArray("{}") << "\"ok\"";
        QTest::newRow("not an object") << "heartbeat" << QByteArray("[true]") << "decoding:";
        QTest::newRow("truncated") << "signIn" << QByteArray("{\"access_token\":\"a\",\"refr") << "decoding:";
    }

    void decodingRules() {
        QFETCH(QString, operation);
        QFETCH(QByteArray, body);
        QFETCH(QString, failure);
        ScriptedHttpServer server;
        server.enqueueJson(200, body);
        APIClient api(server.url(), m_network);
        const QString got = failureOf([&] { return call(api, operation); });
        if (failure.isEmpty()) {
            QCOMPARE(got, QString());
        } else {
            QVERIFY2(got.startsWith(QStringLiteral("decoding:")) && got.contains(failure), qPrintable(got));
        }
    }

    void sessionDecoding() {
        ScriptedHttpServer server;
        server.enqueueJson(200, R"({"device_token":"dt","expires_at":"2030-01-01T00:00:00Z"})");
        server.enqueueJson(200, R"({"device_token":"dt","expires_at":5})");
        server.enqueueJson(200, R"({"device_id":"d","approved":"yes"})");
        server.enqueueJson(200, R"({"ok":"true"})");
        APIClient api(server.url(), m_network);
        QCOMPARE(QCoro::waitFor(api.startDeviceSession(QStringLiteral("d"), QStringLiteral("a"))).expiresAt,
                 std::optional<QString>(QStringLiteral("2030-01-01T00:00:00Z")));
        QVERIFY(failureOf([&] {
                    return api.startDeviceSession(QStringLiteral("d"), QStringLiteral("a"));
                }).startsWith(QStringLiteral("decoding:")));
        QVERIFY(failureOf([&] {
                    return api.registerDevice(QStringLiteral("n"), sampleHost(), QStringLiteral("v"),
                                              QStringLiteral("a"));
                }).startsWith(QStringLiteral("decoding:")));
        QVERIFY(failureOf([&] {
                    return api.heartbeat(QStringLiteral("t"), true, 1, QStringLiteral("online"), sampleHost(), {});
                }).startsWith(QStringLiteral("decoding:")));
    }

    void transportFailures() {
        ScriptedHttpServer server;
        server.enqueue({200, R"({"ok":true})", {}, 3000, false});
        APIClient slow(server.url(), m_network, 300ms);
        QCOMPARE(failureOf([&] { return call(slow, u"heartbeat"_s); }),
                 u"transport:The service did not answer within 0.3 seconds."_s);

        // Qt resends once on a connection dropped before any reply, so both attempts are dropped.
        server.enqueue({200, {}, {}, 0, true});
        server.enqueue({200, {}, {}, 0, true});
        APIClient api(server.url(), m_network);
        QVERIFY(failureOf([&] {
                    return api.heartbeat(QStringLiteral("t"), true, 1, QStringLiteral("online"), sampleHost(), {});
                }).startsWith(QStringLiteral("transport:")));

        APIClient nobody(QUrl(QStringLiteral("http://127.0.0.1:1")), m_network);
        QVERIFY(failureOf([&] {
                    return nobody.heartbeat(QStringLiteral("t"), true, 1, QStringLiteral("online"), sampleHost(), {});
                }).startsWith(QStringLiteral("transport:")));
    }

    // A connection that closes before any reply leaves open whether the service acted; Qt would
    // send the request again, so a sign-in could reach the service twice.
    void userActionsAreSentOnce_data() {
        QTest::addColumn<QString>("operation");
        QTest::newRow("signIn") << u"signIn"_s;
        QTest::newRow("registerDevice") << u"registerDevice"_s;
        QTest::newRow("startDeviceSession") << u"startDeviceSession"_s;
    }

    void userActionsAreSentOnce() {
        QFETCH(QString, operation);
        ScriptedHttpServer server;
        ScriptedHttpServer::Reply kept{200, R"({"ok":true})", {}, 0, false};
        kept.keepAlive = true;
        server.enqueue(kept);
        server.enqueue({200, {}, {}, 0, true});
        // What a second attempt would get.
        server.enqueueJson(200, R"({"access_token":"a","refresh_token":"r","device_id":"d","approved":true,)"
                                R"("device_token":"t"})");
        APIClient api(server.url(), m_network);
        QCoro::waitFor(call(api, u"heartbeat"_s));
        QCOMPARE(failureOf([&] { return call(api, operation); }),
                 u"transport:The connection to the service closed before it answered."_s);
        QCOMPARE(server.requestCount(), 2);
        QCOMPARE(server.requests().at(1).connection, server.requests().at(0).connection);
    }

    void oversizedReplyIsCut() {
        ScriptedHttpServer server;
        server.enqueueJson(200, "{\"ok\":true,\"pad\":\"" + QByteArray(2 * 1024 * 1024, 'x') + "\"}");
        APIClient api(server.url(), m_network);
        QCOMPARE(failureOf([&] {
                     return api.heartbeat(QStringLiteral("t"), true, 1, QStringLiteral("online"), sampleHost(), {});
                 }),
                 QStringLiteral("transport:The service's reply is larger than 1024 KiB"));
    }

    void gigabyteReplyStopsAtTheCap() {
        for (const bool announced : {true, false}) {
            ScriptedHttpServer server;
            server.enqueueStream(1LL << 30, announced);
            APIClient api(server.url(), m_network);
            const qint64 residentBefore = residentBytes();
            QCOMPARE(failureOf([&] {
                         return api.heartbeat(QStringLiteral("t"), true, 1, QStringLiteral("online"), sampleHost(), {});
                     }),
                     QStringLiteral("transport:The service's reply is larger than 1024 KiB"));
            // The client hung up long before the end, and held little of what it got.
            // How far the server got before the client's abort reached it depends on scheduling:
            // on a loaded machine Qt's network thread reads on for a while. A reply held whole
            // would be a gigabyte.
            QVERIFY2(server.streamedBytes() < 512LL << 20, qPrintable(QString::number(server.streamedBytes())));
            const qint64 grown = residentBytes() - residentBefore;
            QVERIFY2(grown < 256LL << 20, qPrintable(QStringLiteral("%1 KiB more resident, %2 KiB streamed")
                                                         .arg(grown / 1024)
                                                         .arg(server.streamedBytes() / 1024)));
        }
    }
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
