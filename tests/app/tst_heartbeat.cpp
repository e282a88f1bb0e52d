// The heartbeat loop and sign-in of the controller against a scripted loopback service.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "app/AppDelegate.h"

#include <QApplication>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using orvelquin::AppDelegate;
using orvelquin::AppServices;

namespace {

const QByteArray kRelease = "/api/desktop/releases/latest";

} // namespace

class TestHeartbeat : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_lockDir;
    RecordingSecretStore* m_store = nullptr;
    ScriptedAlerts* m_alerts = nullptr;

    std::unique_ptr<AppDelegate> launch(ScriptedHttpServer& server, bool signedIn, QString serviceURL = {}) {
        server.answerAlways(kRelease, {200, R"({"latest_version":"0.0.1"})", {}, 0, false});
        AppServices services = scriptedServices(serviceURL.isEmpty() ? server.url().toString() : serviceURL,
                                                m_lockDir.path(), signedIn, m_store, m_alerts);
        m_alerts->answer = 1;
        // Scaled down a thousandfold from 30 s and 300 s.
        services.heartbeat.normal = 0.03;
        services.heartbeat.maximum = 0.3;
        auto delegate = std::make_unique<AppDelegate>(std::move(services));
        delegate->applicationDidFinishLaunching();
        return delegate;
    }

private Q_SLOTS:
    void classification_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("state");
        QTest::newRow("revoked") << 401 << QByteArray(R"({"detail":"Invalid device session"})")
                                 << QStringLiteral("Device revoked");
        QTest::newRow("revoked wins over HTTP 5")
            << 500 << QByteArray(R"({"detail":"HTTP 5: Invalid device session"})") << QStringLiteral("Device revoked");
        QTest::newRow("503 without detail") << 503 << QByteArray() << QStringLiteral("Server unavailable");
        QTest::newRow("5xx with detail") << 502 << QByteArray(R"({"detail":"gateway"})")
                                         << QStringLiteral("Reconnecting");
        QTest::newRow("404") << 404 << QByteArray() << QStringLiteral("Reconnecting");
        QTest::newRow("accepted even when not ok")
            << 200 << QByteArray(R"({"ok":false})") << QStringLiteral("Connected");
    }

    void classification() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, state);
        ScriptedHttpServer server;
        auto delegate = launch(server, true);
        server.enqueueJson(status, body);
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), state);
        if (state == QStringLiteral("Connected")) {
            QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))
                        .match(delegate->lastHeartbeat())
                        .hasMatch());
        } else {
            QCOMPARE(delegate->lastHeartbeat(), QStringLiteral("\u2014"));
        }
        delegate->applicationWillTerminate();
    }

    void noConnectionIsReconnecting() {
        ScriptedHttpServer unused;
        auto delegate = launch(unused, true, QStringLiteral("http://127.0.0.1:1"));
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), QStringLiteral("Reconnecting"));
        QCOMPARE(delegate->lastHeartbeat(), QStringLiteral("\u2014"));
        QCOMPARE(delegate->heartbeatInterval(), 0.06);
        delegate->applicationWillTerminate();
    }

    void backoffDoublesToTheMaximumAndResets() {
        ScriptedHttpServer server;
        auto delegate = launch(server, true);
        for (int i = 0; i < 5; ++i) {
            server.enqueueJson(503, {});
        }
        server.enqueueJson(200, R"({"ok":true})");
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QList<double> intervals;
        while (intervals.size() < 6 && finished.wait(5000)) {
            intervals << delegate->heartbeatInterval();
        }
        QCOMPARE(intervals, (QList<double>{0.06, 0.12, 0.24, 0.3, 0.3, 0.03}));
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), QStringLiteral("Connected"));

        // The body carries the telemetry report and the nested host description.
        const QJsonObject body = QJsonDocument::fromJson(server.requests().last().body).object();
        QCOMPARE(body.value(QStringLiteral("status")).toString(), QStringLiteral("online"));
        QCOMPARE(body.value(QStringLiteral("runtime")).toObject().value(QStringLiteral("provider_mode")).toString(),
                 QStringLiteral("fake"));
        QCOMPARE(server.requests().last().headers.value("authorization"), QByteArray("Bearer dt"));
        delegate->applicationWillTerminate();
    }

    // The answer belongs to a session that no longer exists: it changes nothing, arms nothing.
    void signOutDuringAHeartbeatDropsItsOutcome() {
        ScriptedHttpServer server;
        auto delegate = launch(server, true);
        server.enqueue({200, R"({"ok":true})", {}, 300, false});
        QTRY_VERIFY_WITH_TIMEOUT(!server.requests().isEmpty() &&
                                     server.requests().last().target == QByteArray("/v1/devices/heartbeat"),
                                 5000);
        delegate->signOut();
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), QStringLiteral("Disconnected"));
        QCOMPARE(delegate->lastHeartbeat(), QStringLiteral("\u2014"));
        QVERIFY(!delegate->isHeartbeatArmed());
        delegate->applicationWillTerminate();
    }

    void signInFailureAtRegistrationKeepsTheAccount() {
        ScriptedHttpServer server;
        auto delegate = launch(server, false);
        QTest::qWait(50); // let the launch's own notices (no status area offscreen) pass
        m_alerts->shown.clear();
        m_store->calls.clear();
        m_alerts->entry =
            orvelquin::platform::SignInEntry{QStringLiteral(" \tana@example.test "), QStringLiteral(" pw ")};
        server.enqueueJson(200, R"({"access_token":"at","refresh_token":"rt"})");
        server.enqueueJson(500, {});
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(5000));
        QCOMPARE(m_alerts->shown.size(), 1);
        QCOMPARE(m_alerts->shown[0].message, QStringLiteral("Sign-in failed"));
        QCOMPARE(m_alerts->shown[0].informative, QStringLiteral("HTTP 500"));
        QCOMPARE(m_alerts->shown[0].severity, orvelquin::platform::Alert::Severity::Warning);
        // The next prompt offers the address typed last.
        m_alerts->entry.reset();
        delegate->promptSignIn();
        QCOMPARE(m_alerts->offeredEmail, QStringLiteral("ana@example.test"));
        QCOMPARE(m_store->calls,
                 (QStringList{QStringLiteral("set:accessToken=at"), QStringLiteral("set:email=ana@example.test")}));
        const QJsonObject login = QJsonDocument::fromJson(server.requests().value(1).body).object();
        QCOMPARE(login.value(QStringLiteral("password")).toString(), QStringLiteral(" pw "));
        delegate->applicationWillTerminate();
    }

    void signInSuccessStoresInOrderAndBeatsAtOnce_data() {
        QTest::addColumn<QStringList>("refusedWrites");
        QTest::addColumn<QStringList>("alerts");
        QTest::newRow("all stored") << QStringList() << QStringList();
        // Told once, however many writes fail; the session goes on for this run.
        QTest::newRow("keyring refuses two writes")
            << QStringList{QStringLiteral("email"), QStringLiteral("deviceToken")}
            << QStringList{QStringLiteral("Credentials not saved")};
    }

    void signInSuccessStoresInOrderAndBeatsAtOnce() {
        QFETCH(QStringList, refusedWrites);
        QFETCH(QStringList, alerts);
        ScriptedHttpServer server;
        auto delegate = launch(server, false);
        QTest::qWait(50); // let the launch's own notices (no status area offscreen) pass
        m_alerts->shown.clear();
        m_store->calls.clear();
        m_store->failingWrites = QSet<QString>(refusedWrites.begin(), refusedWrites.end());
        m_alerts->entry = orvelquin::platform::SignInEntry{QStringLiteral("ana@example.test"), QStringLiteral("pw")};
        server.enqueueJson(200, R"({"access_token":"at","refresh_token":"rt"})");
        server.enqueueJson(200, R"({"device_id":"d-1","approved":true})");
        server.enqueueJson(200, R"({"device_token":"dt"})");
        server.enqueueJson(200, R"({"ok":true})");
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(5000));
        QCOMPARE(m_store->calls,
                 (QStringList{QStringLiteral("set:accessToken=at"), QStringLiteral("set:email=ana@example.test"),
                              QStringLiteral("set:deviceId=d-1"), QStringLiteral("set:deviceToken=dt")}));
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), QStringLiteral("Connected"));
        QCOMPARE(delegate->deviceToken(), std::optional<QString>(QStringLiteral("dt")));
        QStringList shown;
        for (const orvelquin::platform::Alert& alert : m_alerts->shown) {
            shown << alert.message;
        }
        QCOMPARE(shown, alerts);
        if (!alerts.isEmpty()) {
            QVERIFY(m_alerts->shown[0].informative.contains(QStringLiteral("will not survive a restart")));
        }
        delegate->applicationWillTerminate();
    }

    // A second sign-in while one runs would register a second device; and a controller
    // destroyed with the request in flight must end the coroutine (LeakSanitizer sees a frame
    // left suspended).
    void oneSignInAtATimeAndTeardownMidRequest() {
        ScriptedHttpServer server;
        auto delegate = launch(server, false);
        QTest::qWait(50);
        m_alerts->entry = orvelquin::platform::SignInEntry{QStringLiteral("ana@example.test"), QStringLiteral("pw")};
        server.enqueue({200, R"({"access_token":"at","refresh_token":"rt"})", {}, 60000, false});
        delegate->promptSignIn();
        delegate->promptSignIn();
        QVERIFY(delegate->isSigningIn());
        QVERIFY(delegate->menuState().signingIn);
        QTRY_VERIFY_WITH_TIMEOUT(server.requests().size() >= 2, 5000);
        const auto logins = [&] {
            return std::count_if(server.requests().cbegin(), server.requests().cend(),
                                 [](const auto& r) { return r.target == QByteArray("/auth/login"); });
        };
        QCOMPARE(logins(), 1);
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate.reset();
        QCOMPARE(done.size(), 0);
    }

    void environmentProxyIsUsed() {
        // The scripted server plays the proxy: it sees the tunnel requests and refuses them.
        ScriptedHttpServer proxy;
        const QString service = QStringLiteral("https://service.orvelquin.invalid");
        qputenv("https_proxy", proxy.url().toEncoded());
        auto delegate = launch(proxy, false, service);
        QTest::qWait(50);
        m_alerts->entry = orvelquin::platform::SignInEntry{QStringLiteral("ana@example.test"), QStringLiteral("pw")};
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(10000));
        QVERIFY(!proxy.requests().isEmpty());
        for (const auto& request : proxy.requests()) {
            QCOMPARE(request.method, QByteArray("CONNECT"));
            QCOMPARE(request.target, QByteArray("service.orvelquin.invalid:443"));
        }
        delegate->applicationWillTerminate();
        delegate.reset();

        // A host under no_proxy is asked for directly (and here does not exist).
        const qsizetype before = proxy.requests().size();
        qputenv("no_proxy", "localhost,.orvelquin.invalid");
        delegate = launch(proxy, false, service);
        QTest::qWait(50);
        m_alerts->entry = orvelquin::platform::SignInEntry{QStringLiteral("ana@example.test"), QStringLiteral("pw")};
        QSignalSpy again(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(again.wait(10000));
        QCOMPARE(proxy.requests().size(), before);
        QCOMPARE(m_alerts->shown.last().message, QStringLiteral("Sign-in failed"));
        delegate->applicationWillTerminate();
        qunsetenv("no_proxy");
        qunsetenv("https_proxy");
    }

    void cancelledSignInSendsNothing() {
        ScriptedHttpServer server;
        auto delegate = launch(server, false);
        QTest::qWait(100);
        const qsizetype before = server.requests().size();
        m_store->calls.clear();
        delegate->promptSignIn();
        QTest::qWait(100);
        QCOMPARE(server.requests().size(), before);
        QVERIFY(m_store->calls.isEmpty());
        delegate->applicationWillTerminate();
    }
};

QTEST_MAIN(TestHeartbeat)
#include "tst_heartbeat.moc"
