// The client against a real HTTP(S) server on loopback that answers as scripted.
#include "../LogCapture.h"
#include "ScriptedHttpServer.h"
#include "service/APIClient.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QSslKey>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTest>

using namespace orvelquin;
using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using Reply = ScriptedHttpServer::Reply;

Q_DECLARE_METATYPE(Reply)

namespace {

const QByteArray kLogin = R"({"access_token":"a","refresh_token":"r"})";

// One call of the named operation ("session:<device id>" for a session), as "<kind>:<message>" of
// what it threw, or "" for success. The catch sits inside a coroutine: QCoro::waitFor would never
// return from a task that throws.
QCoro::Task<QString> attempt(APIClient& client, QString op) {
    const SystemInfo host{u"Linux 6.1.0"_s, u"x86_64"_s, u"Test CPU"_s, 68719476736ULL, u"Test GPU"_s};
    try {
        // Only the chosen operation is awaited.
        op == u"signIn"              ? void(co_await client.signIn(u"a@b"_s, u"pw"_s))
        : op == u"registerDevice"    ? void(co_await client.registerDevice(u"n"_s, host, u"v"_s, u"a"_s))
        : op.startsWith(u"session:") ? void(co_await client.startDeviceSession(op.mid(8), u"a"_s))
                                     : void(co_await client.heartbeat(u"t"_s, true, 1, u"online"_s, host, {}));
    } catch (const ServiceError& error) {
        const bool byApi = typeid(error) == typeid(APIError), decoding = typeid(error) == typeid(DecodingError);
        co_return (byApi ? u"api:"_s : decoding ? u"decoding:"_s : u"transport:"_s) + error.message();
    }
    co_return QString();
}

} // namespace

class TestAPIClient : public QObject {
    Q_OBJECT

    QNetworkAccessManager m_network;
    QString failureOf(APIClient& api, const QString& operation) { return QCoro::waitFor(attempt(api, operation)); }

private Q_SLOTS:
    // `failure`: "" for success, else the start of what is thrown. Status 0: nobody listening.
    void errorTable_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("failure");
        auto row = [](const QByteArray& name, const char* operation, const Reply& reply, const QString& failure) {
            QTest::newRow(name.constData()) << QString::fromLatin1(operation) << reply << failure;
        };
        row("detail", "signIn", {401, R"({"detail":"Invalid device session"})"}, u"api:Invalid device session"_s);
        row("html", "signIn", {500, "<html>oops</html>"}, u"api:HTTP 500"_s);
        row("empty 503", "heartbeat", {503}, u"api:HTTP 503"_s);
        row("302", "signIn", {302, kLogin}, u"api:HTTP 302"_s);
        row("299, unknown members ignored", "signIn", {299, R"({"access_token":"a","refresh_token":"r","x":1})"}, {});
        row("truncated", "signIn", {200, "{\"access_token\":\"a\",\"refr"}, u"decoding:"_s);
        row("missing", "signIn", {200, kLogin.left(19) + '}'}, u"decoding:The service's reply is not valid: \"refr"_s);
        // An id from a reply stays one path segment: ".." cannot be, and is refused unsent.
        row("dot segment id", "session:..", {200, kLogin}, u"api:The service sent an invalid device id"_s);
        // Cut at 1 MiB, announced or not, with memory flat.
        const QString tooLarge = u"transport:The service's reply is larger than 1024 KiB"_s;
        row("1 GiB", "heartbeat", {200, {}, {}, 0, false, Reply::Ending::Complete, 1LL << 30}, tooLarge);
        row("1 GiB chunked", "heartbeat", {200, {}, {}, 0, false, Reply::Ending::Complete, 1LL << 30, true}, tooLarge);
        // A transfer that breaks after the status line is no answer, whatever the status said.
        const QString timedOut = u"transport:The service did not answer within 0.3 seconds."_s;
        row("200 cut", "signIn", {200, kLogin, {}, 0, false, Reply::Ending::Cut}, u"transport:"_s);
        row("503 cut", "signIn", {503, R"({"detail":"x"})", {}, 0, false, Reply::Ending::Cut}, u"transport:"_s);
        row("200 stalled", "signIn", {200, kLogin, {}, 0, false, Reply::Ending::Stalled}, timedOut);
        row("503 stalled", "signIn", {503, {}, {}, 0, false, Reply::Ending::Stalled}, timedOut);
        row("late", "heartbeat", {200, R"({"ok":true})", {}, 3000}, timedOut);
        // A connection that closes before any reply leaves open whether the service acted: Qt would
        // send the request again, so a sign-in could reach the service twice. A heartbeat may go twice.
        const QString closed = u"transport:The connection to the service closed before it answered."_s;
        for (const char* op : {"signIn", "registerDevice", "session:d", "heartbeat"}) {
            row(op + " dropped"_ba, op, {200, {}, {}, 0, true}, *op == 'h' ? QString() : closed);
        }
        row("nobody listening", "heartbeat", {0}, u"transport:"_s);
    }

    void errorTable() {
        QFETCH(QString, operation);
        QFETCH(Reply, reply);
        QFETCH(QString, failure);
        ScriptedHttpServer server;
        // What a second attempt, or a followed redirect, would get.
        const Reply anything{200, R"({"access_token":"a","refresh_token":"r","device_id":"d","approved":true,)"
                                  R"("device_token":"t","ok":true})"};
        reply.headers = "Location: /elsewhere\r\n";
        server.enqueue(reply), server.enqueue(anything), server.answerAlways("/elsewhere", anything);
        APIClient api(reply.status ? server.url() : QUrl(u"http://127.0.0.1:1"_s), m_network,
                      reply.delayMs || reply.ending == Reply::Ending::Stalled ? 300ms : 60s);
        const QString got = failureOf(api, operation);
        QVERIFY2(failure.isEmpty() ? got.isEmpty() : got.startsWith(failure), qPrintable(got));
        // The server streams only as fast as the client reads, so what it sent bounds what the client
        // holds. Qt's network thread may read, and buffer, a few hundred MiB before the abort lands on
        // a loaded machine; what must never happen is the whole gigabyte.
        QVERIFY2(server.streamedBytes() < 896LL << 20, qPrintable(QString::number(server.streamedBytes())));
    }

    // What the service receives: method, path with the device id as one segment, content type,
    // credential, the host's memory exact; the log names each request and its answer, no more.
    void requestsAndTheirLog() {
        ScriptedHttpServer server;
        server.enqueueJson(200, R"({"device_id":"d","approved":true})"),
            server.enqueueJson(200, "{\"device_token\":\"t\"}");
        APIClient api(server.url(), m_network);
        LogCapture log;
        QCOMPARE(QStringList({failureOf(api, u"registerDevice"_s), failureOf(api, u"session:../é d?b#c"_s)}),
                 QStringList(2));
        QByteArrayList seen, logged;
        for (const auto& [method, target, headers, _] : server.requests()) {
            seen << method + ' ' + target + ' ' + headers["content-type"] + ' ' + headers["authorization"];
            const QByteArray url = QUrl::fromEncoded(server.url().toEncoded() + target).toString().toUtf8();
            logged << "orvelquin.service POST " + url << "orvelquin.service " + url + " answered 200 with ";
        }
        QCOMPARE(seen, QByteArrayList({"POST /v1/devices/register application/json Bearer a",
                                       "POST /v1/devices/..%2F%C3%A9%20d%3Fb%23c/session application/json Bearer a"}));
        QVERIFY(server.requests().at(0).body.contains(R"("ram_bytes":68719476736,)"));
        QCOMPARE(log.text().remove(QRegularExpression(u"\\d+ bytes"_s)).toUtf8().split('\n'), logged);
    }

    // Real TLS with a certificate of the test's making, whose issuer nobody trusts.
    void tlsCertificateIsVerified() {
        QTemporaryDir dir;
        const QString args = u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 "
                             "-addext subjectAltName=IP:127.0.0.1 -keyout %1/key -out %1/cert"_s;
        QCOMPARE(QProcess::execute(u"openssl"_s, args.arg(dir.path()).split(u' ')), 0);
        QFile key(dir.filePath(u"key"_s));
        QVERIFY(key.open(QIODevice::ReadOnly));
        QSslServer server;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificateChain(QSslCertificate::fromPath(dir.filePath(u"cert"_s)));
        tls.setPrivateKey(QSslKey(&key, QSsl::Ec));
        server.setSslConfiguration(tls);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        // Refused before a byte of the request is sent: nothing here would answer it.
        APIClient api(QUrl(u"https://127.0.0.1:%1"_s.arg(server.serverPort())), m_network);
        const QString failure = failureOf(api, u"signIn"_s);
        QVERIFY2(failure.startsWith(u"transport:") && failure.contains(u"self-signed"), qPrintable(failure));
    }
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
