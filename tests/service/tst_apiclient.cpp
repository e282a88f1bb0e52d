// The client against a real HTTP(S) server on loopback that answers as scripted.
#include "../LogCapture.h"
#include "ScriptedHttpServer.h"
#include "service/APIClient.h"

#include <QCoroTask>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace orvelquin;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using Ending = ScriptedHttpServer::Reply::Ending;

namespace {

enum How { Complete, Cut, Stalled, Late, Dropped, Nobody };
const QByteArray kLogin = R"({"access_token":"a","refresh_token":"r"})";

SystemInfo sampleHost() {
    return {u"Linux 6.1.0"_s, u"x86_64"_s, u"Test CPU"_s, 68719476736ULL, u"Test GPU"_s};
}

// One call of the named operation ("session:<device id>" for a session), as "<kind>:<message>" of
// what it threw, or "" for success. The catch sits inside a coroutine: QCoro::waitFor would never
// return from a task that throws.
QString failureOf(APIClient& api, const QString& operation) {
    auto run = [](APIClient& client, QString op) -> QCoro::Task<QString> {
        try {
            if (op == u"signIn") {
                co_await client.signIn(u"a@b"_s, u"pw"_s);
            } else if (op == u"registerDevice") {
                co_await client.registerDevice(u"n"_s, sampleHost(), u"v"_s, u"a"_s);
            } else if (op.startsWith(u"session:")) {
                co_await client.startDeviceSession(op.mid(8), u"a"_s);
            } else {
                co_await client.heartbeat(u"t"_s, true, 1, u"online"_s, sampleHost(), {});
            }
        } catch (const ServiceError& error) {
            const bool byApi = typeid(error) == typeid(APIError), decoding = typeid(error) == typeid(DecodingError);
            co_return (byApi ? u"api:"_s : decoding ? u"decoding:"_s : u"transport:"_s) + error.message();
        }
        co_return QString();
    };
    return QCoro::waitFor(run(api, operation));
}

qint64 residentBytes() {
    QFile statm(u"/proc/self/statm"_s);
    return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE)
                                           : 0;
}

} // namespace

class TestAPIClient : public QObject {
    Q_OBJECT

    QNetworkAccessManager m_network;

private Q_SLOTS:
    // `failure`: "" for success, else the start of what is thrown.
    void errorTable_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("failure");
        auto row = [](const char* name, const char* operation, int status, const QByteArray& body,
                      const QString& failure, How how = Complete) {
            QTest::newRow(name) << QString::fromLatin1(operation) << status << body << int(how) << failure;
        };
        const QString invalid = u"decoding:The service's reply is not valid: "_s;
        row("detail", "signIn", 401, R"({"detail":"Invalid device session"})", u"api:Invalid device session"_s);
        row("array detail", "signIn", 422, R"({"detail":[{"loc":1}]})", u"api:HTTP 422"_s);
        row("html", "signIn", 500, "<html>oops</html>", u"api:HTTP 500"_s);
        row("empty 503", "heartbeat", 503, {}, u"api:HTTP 503"_s);
        row("302", "signIn", 302, kLogin, u"api:HTTP 302"_s);
        row("199", "signIn", 199, kLogin, u"api:HTTP 199"_s);
        row("299, unknown members ignored", "signIn", 299, R"({"access_token":"a","refresh_token":"r","x":1})", {});
        row("204 empty body", "signIn", 204, {}, u"decoding:The service's reply is not valid JSON: illegal value"_s);
        row("truncated", "signIn", 200, "{\"access_token\":\"a\",\"refr", u"decoding:"_s);
        row("not an object", "heartbeat", 200, "[true]", u"decoding:"_s);
        row("missing", "signIn", 200, R"({"access_token":"a"})",
            invalid + u"\"refresh_token\" should be a string but is missing"_s);
        row("null", "signIn", 200, R"({"access_token":null,"refresh_token":"r"})",
            invalid + u"\"access_token\" should be a string but is null"_s);
        row("id a number", "registerDevice", 200, R"({"device_id":7,"approved":true})", invalid + u"\"device_id\""_s);
        row("approved a text", "registerDevice", 200, R"({"device_id":"d","approved":"yes"})",
            invalid + u"\"approved\""_s);
        row("expiry absent", "session:d", 200, R"({"device_token":"t"})", {});
        row("expiry null", "session:d", 200, R"({"device_token":"t","expires_at":null})", {});
        row("expiry a number", "session:d", 200, R"({"device_token":"t","expires_at":5})",
            invalid + u"\"expires_at\""_s);
        // An id from a reply stays one path segment: ".." cannot be, and is refused unsent.
        row("dot segment id", "session:..", 200, R"({"device_token":"t"})",
            u"api:The service sent an invalid device id"_s);
        row("ok a text", "heartbeat", 200, R"({"ok":"true"})", invalid + u"\"ok\""_s);
        row("oversized", "heartbeat", 200, "{\"ok\":true,\"pad\":\"" + QByteArray(2 << 20, 'x') + "\"}",
            u"transport:The service's reply is larger than 1024 KiB"_s);
        // A transfer that breaks after the status line is no answer, whatever the status said.
        const QString timedOut = u"transport:The service did not answer within 0.3 seconds."_s;
        row("200 cut", "signIn", 200, kLogin, u"transport:"_s, Cut);
        row("503 cut", "signIn", 503, R"({"detail":"x"})", u"transport:"_s, Cut);
        row("200 stalled", "signIn", 200, kLogin, timedOut, Stalled);
        row("503 stalled", "signIn", 503, {}, timedOut, Stalled);
        row("late", "heartbeat", 200, R"({"ok":true})", timedOut, Late);
        row("dropped", "heartbeat", 200, {}, u"transport:"_s, Dropped);
        row("nobody listening", "heartbeat", 200, {}, u"transport:"_s, Nobody);
    }

    void errorTable() {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(int, how);
        QFETCH(QString, failure);
        ScriptedHttpServer server;
        const Ending ending = how == Cut ? Ending::Cut : how == Stalled ? Ending::Stalled : Ending::Complete;
        // Twice: Qt resends a heartbeat whose connection dropped before any reply.
        for (int i = 0; i < 2; ++i) {
            server.enqueue(
                {status, body, {{"Location", "/elsewhere"}}, how == Late ? 3000 : 0, how == Dropped, ending});
        }
        server.answerAlways("/elsewhere", {200, kLogin});
        APIClient api(how == Nobody ? QUrl(u"http://127.0.0.1:1"_s) : server.url(), m_network,
                      how == Stalled || how == Late ? 300ms : 60s);
        const QString got = failureOf(api, operation);
        QVERIFY2(failure.isEmpty() ? got.isEmpty() : got.startsWith(failure), qPrintable(got));
    }

    // Method, path, content type and credential of each call; the sign-in sent as typed; the
    // members of each body. The log names each request and its answer, and nothing more.
    void requestsAndTheirLog() {
        ScriptedHttpServer server;
        const QByteArray replies[] = {
            R"({"access_token":"at","refresh_token":"rt"})", R"({"device_id":"d-42","approved":false})",
            R"({"device_token":"dt","expires_at":"2030-01-01T00:00:00Z"})", R"({"ok":false})"};
        for (const QByteArray& reply : replies) {
            server.enqueueJson(200, reply);
        }
        APIClient api(server.url(), m_network);
        LogCapture log;
        QCOMPARE(QCoro::waitFor(api.signIn(u" zoë@example.test "_s, u" pw "_s)).accessToken, u"at"_s);
        QCOMPARE(QCoro::waitFor(api.registerDevice(u"desk"_s, sampleHost(), u"0.3.1"_s, u"at"_s)).deviceId, u"d-42"_s);
        QCOMPARE(QCoro::waitFor(api.startDeviceSession(u"../é d?b#c"_s, {})).expiresAt,
                 std::optional(u"2030-01-01T00:00:00Z"_s));
        QCoro::waitFor(api.heartbeat(u"dt"_s, true, 1, u"online"_s, sampleHost(), {{u"state"_s, u"stopped"_s}}));
        QStringList seen, logged;
        for (qsizetype i = 0; i < server.requests().size(); ++i) {
            const auto& r = server.requests().at(i);
            seen << QString::fromUtf8(r.method + ' ' + r.target + ' ' + r.headers.value("content-type") + " [" +
                                      r.headers.value("authorization", "none") + ']');
            const QString url = QUrl::fromEncoded(server.url().toEncoded() + r.target).toString();
            logged << u"orvelquin.service POST "_s + url
                   << u"orvelquin.service "_s + url + u" answered 200 with %1 bytes"_s.arg(replies[i].size());
        }
        QCOMPARE(seen, QStringList({u"POST /auth/login application/json [none]"_s,
                                    u"POST /v1/devices/register application/json [Bearer at]"_s,
                                    u"POST /v1/devices/..%2F%C3%A9%20d%3Fb%23c/session application/json [Bearer]"_s,
                                    u"POST /v1/devices/heartbeat application/json [Bearer dt]"_s}));
        QCOMPARE(log.text().split(u'\n'), logged);
        const auto body = [&](int i) { return server.requests().at(i).body; };
        QCOMPARE(body(0), QByteArray(R"({"email":" zoë@example.test ","password":" pw "})"));
        QVERIFY(body(1).contains(R"("ram_bytes":68719476736,"software_version":"0.3.1")"));
        QCOMPARE(body(2), QByteArray("{}"));
        QCOMPARE(QJsonDocument::fromJson(body(3)).object().keys(),
                 QStringList({u"capacity"_s, u"device_info"_s, u"healthy"_s, u"runtime"_s, u"status"_s}));
    }

    // A connection that closes before any reply leaves open whether the service acted; Qt would
    // send the request again, so a sign-in could reach the service twice.
    void userActionsAreSentOnce_data() {
        QTest::addColumn<QString>("operation");
        for (const char* operation : {"signIn", "registerDevice", "session:d"}) {
            QTest::newRow(operation) << QString::fromLatin1(operation);
        }
    }

    void userActionsAreSentOnce() {
        QFETCH(QString, operation);
        ScriptedHttpServer server;
        server.enqueue({200, R"({"ok":true})", {}, 0, false, Ending::Complete, true});
        server.enqueue({200, {}, {}, 0, true});
        server.enqueueJson(200, R"({"access_token":"a","refresh_token":"r","device_id":"d","approved":true,)"
                                R"("device_token":"t"})"); // what a second attempt would get
        APIClient api(server.url(), m_network);
        QCOMPARE(failureOf(api, u"heartbeat"_s), QString());
        QCOMPARE(failureOf(api, operation), u"transport:The connection to the service closed before it answered."_s);
        QCOMPARE(server.requests().size(), 2);
        QCOMPARE(server.requests().at(1).connection, server.requests().at(0).connection);
    }

    void gigabyteReplyStopsAtTheCap() {
        for (const bool announced : {true, false}) {
            ScriptedHttpServer server;
            server.enqueueStream(1LL << 30, announced);
            APIClient api(server.url(), m_network);
            const qint64 residentBefore = residentBytes();
            QCOMPARE(failureOf(api, u"heartbeat"_s), u"transport:The service's reply is larger than 1024 KiB"_s);
            // How far the server got before the client's abort reached it depends on scheduling:
            // on a loaded machine Qt's network thread reads on, and buffers, a few hundred MiB
            // before the abort lands. What must never happen is the whole gigabyte.
            QVERIFY2(server.streamedBytes() < 896LL << 20, qPrintable(QString::number(server.streamedBytes())));
            QVERIFY2(residentBytes() - residentBefore < 896LL << 20, qPrintable(QString::number(residentBytes())));
        }
    }

    // Real TLS with a certificate of the test's making: refused until its issuer is trusted.
    void tlsCertificateIsVerified() {
        QTemporaryDir dir;
        const QString cert = dir.filePath(u"cert.pem"_s), keyPath = dir.filePath(u"key.pem"_s);
        QCOMPARE(QProcess::execute(u"openssl"_s, {u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
                                                  u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s, u"-subj"_s,
                                                  u"/CN=127.0.0.1"_s, u"-addext"_s, u"subjectAltName=IP:127.0.0.1"_s,
                                                  u"-keyout"_s, keyPath, u"-out"_s, cert}),
                 0);
        const QList<QSslCertificate> chain = QSslCertificate::fromPath(cert);
        QFile key(keyPath);
        QVERIFY(key.open(QIODevice::ReadOnly) && chain.size() == 1);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificateChain(chain);
        tls.setPrivateKey(QSslKey(&key, QSsl::Ec));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone); // clients show no certificate
        ScriptedHttpServer server(nullptr, tls);
        server.answerAlways("/auth/login", {200, kLogin});
        APIClient untrusting(server.url(), m_network);
        const QString failure = failureOf(untrusting, u"signIn"_s);
        QVERIFY2(failure.startsWith(u"transport:") && failure.contains(u"self-signed"), qPrintable(failure));
        QVERIFY(server.requests().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
