// The controller wired to its parts, against a scripted loopback service: what only the wiring
// decides (launch with a slow keyring, sign-in, the heartbeat of its own session, the menu's
// operations, the update prompt and launch at login).
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "core/AppInfo.h"
#include "core/Settings.h"

#include <QDesktopServices>
#include <QDir>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using enum ConnectionState;

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_lockDir;
    std::unique_ptr<ScriptedHttpServer> m_server;
    scripted::Parts m_parts;
    QList<QUrl> m_links;

    // Heartbeats a thousandth of the product's 30 s apart.
    std::unique_ptr<AppDelegate> make(bool tokens = false, const QString& url = {}) {
        const QString service = url.isEmpty() ? m_server->url().toString() : url;
        return std::make_unique<AppDelegate>(scripted::services(service, m_lockDir.path(), m_parts, tokens, 0.03));
    }
    std::unique_ptr<AppDelegate> launch(bool tokens = false) {
        auto delegate = make(tokens);
        delegate->applicationDidFinishLaunching();
        m_parts.store->calls.clear();
        return delegate;
    }
    QList<ScriptedHttpServer::Request> requestsTo(const QByteArray& target) const {
        QList<ScriptedHttpServer::Request> out = m_server->requests();
        out.removeIf([&](const ScriptedHttpServer::Request& r) { return r.target != target; });
        return out;
    }
    // An empty version: the release check fails.
    void releaseIs(const QString& version) {
        m_server->answerAlways("/api/desktop/releases/latest",
                               {version.isEmpty() ? 503 : 200, "{\"latest_version\":\"" + version.toUtf8() + "\"}"});
    }

public:
    // Stands in for the browser.
    Q_INVOKABLE void open(const QUrl& url) { m_links << url; }

private Q_SLOTS:
    void initTestCase() {
        QDesktopServices::setUrlHandler(u"http"_s, this, "open");
        QDesktopServices::setUrlHandler(u"https"_s, this, "open");
    }
    void init() {
        m_server = std::make_unique<ScriptedHttpServer>();
        releaseIs(u"0.0.1"_s);
        m_links.clear();
        userSettings().clear();
    }

    // An unlock prompt nobody answers yet: icon and menu at once, no sign-in that would race the
    // reads, one read at a time; a read that then fails is not written back. The environment's
    // proxy carries every request (the scripted server refuses every tunnel).
    void keychainPendingThenAFailedRead() {
        const QByteArray was = qgetenv("https_proxy");
        qputenv("https_proxy", m_server->url().toEncoded());
        const auto undo = qScopeGuard([&] { was.isNull() ? qunsetenv("https_proxy") : qputenv("https_proxy", was); });
        auto delegate = make(false, u"https://service.orvelquin.invalid"_s);
        scripted::SecretStore& store = *m_parts.store;
        store.items = {{u"accessToken"_s, "at"}, {u"email"_s, "kept"}, {u"deviceToken"_s, "dt"}};
        store.failingReads = {u"email"_s};
        store.holdCalls = true;
        delegate->applicationDidFinishLaunching();
        QVERIFY(delegate->isKeychainPending() && delegate->menuState().keychainPending);
        QVERIFY(delegate->statusItem().icon()->isVisible());
        QCOMPARE(store.held.size(), 1u);
        QVERIFY(!delegate->isHeartbeatArmed());

        store.release();
        QVERIFY(!delegate->isKeychainPending());
        QCOMPARE(store.calls,
                 (QStringList{u"get:accessToken"_s, u"set:accessToken=at"_s, u"get:email"_s, u"get:deviceId"_s,
                              u"set:deviceId="_s, u"get:deviceToken"_s, u"set:deviceToken=dt"_s}));
        QCOMPARE(store.items.value(u"email"_s), QByteArray("kept"));
        QVERIFY(delegate->menuState().hasDeviceToken && delegate->isHeartbeatArmed());
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requests().size() >= 2, 5000); // the release check and a heartbeat
        for (const auto& request : m_server->requests()) {
            QCOMPARE(request.method + ' ' + request.target, QByteArray("CONNECT service.orvelquin.invalid:443"));
        }
    }

    // Stored in order and told once, however many writes fail; the session goes on for this run.
    void signIn_data() {
        QTest::addColumn<int>("registration");
        QTest::addColumn<QStringList>("refusedWrites");
        QTest::addColumn<QString>("alert");
        QTest::newRow("stored in order, beats at once") << 200 << QStringList() << QString();
        QTest::newRow("keyring refuses two writes")
            << 200 << QStringList{u"email"_s, u"deviceToken"_s}
            << u"Credentials not saved: The keyring could not store your sign-in details. You stay signed in until "
               u"Orvelquin Desktop quits; the sign-in will not survive a restart. (no keyring)"_s;
        QTest::newRow("registration fails") << 500 << QStringList() << u"Sign-in failed: HTTP 500"_s;
    }
    void signIn() {
        QFETCH(int, registration);
        QFETCH(QStringList, refusedWrites);
        QFETCH(QString, alert);
        auto delegate = launch();
        m_parts.store->failingWrites = QSet<QString>(refusedWrites.begin(), refusedWrites.end());
        m_parts.alerts->entry = platform::SignInEntry{u" \tana@example.test "_s, u" pw "_s};
        m_server->enqueueJson(200, R"({"access_token":"at","refresh_token":"rt"})");
        m_server->enqueueJson(registration, R"({"device_id":"d-1","approved":true})");
        m_server->enqueueJson(200, R"({"device_token":"dt"})");
        m_server->enqueueJson(200, R"({"ok":true})");
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(5000));
        const QStringList stored{u"set:accessToken=at"_s, u"set:email=ana@example.test"_s, u"set:deviceId=d-1"_s,
                                 u"set:deviceToken=dt"_s};
        QCOMPARE(m_parts.store->calls, registration == 200 ? stored : stored.mid(0, 2));
        QCOMPARE(m_parts.alerts->said, alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(delegate->connectionState(), registration == 200 ? Connected : Disconnected);
        QCOMPARE(QJsonDocument::fromJson(requestsTo("/auth/login").value(0).body)[u"password"_s], u" pw "_s);
        m_parts.alerts->entry.reset();
        delegate->promptSignIn();
        QCOMPARE(m_parts.alerts->offeredEmail, u"ana@example.test"_s);
    }

    // A second sign-in would register a second device; a controller destroyed with the request in
    // flight must end the coroutine (LeakSanitizer sees a frame left suspended).
    void oneSignInAtATimeAndTeardownMidRequest() {
        auto delegate = launch();
        m_parts.alerts->entry = platform::SignInEntry{u"ana@example.test"_s, u"pw"_s};
        m_server->enqueue({200, R"({"access_token":"at","refresh_token":"rt"})", {}, 60000, false});
        delegate->promptSignIn();
        delegate->promptSignIn();
        QVERIFY(delegate->isSigningIn() && delegate->menuState().signingIn);
        QTRY_VERIFY_WITH_TIMEOUT(!requestsTo("/auth/login").isEmpty(), 5000);
        QCOMPARE(requestsTo("/auth/login").size(), 1);
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate.reset();
        QCOMPARE(done.size(), 0);
    }

    // The heartbeat as sent and its outcome shown (the rules are the loop's), and the menu's other
    // operations; a sign-out that the keyring refuses is told once; the answer to a heartbeat of a
    // session that has ended changes nothing and arms nothing.
    void heartbeatOutcomeForItsOwnSessionOnly() {
        m_server->enqueueJson(503, {});
        m_server->enqueue({503, {}, {}, 300});
        auto delegate = launch(true);
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->connectionState(), ServerUnavailable);
        const ScriptedHttpServer::Request beat = requestsTo("/v1/devices/heartbeat").value(0);
        QCOMPARE(QJsonDocument::fromJson(beat.body)[u"status"_s], u"online"_s);
        QCOMPARE(QJsonDocument::fromJson(beat.body)[u"runtime"_s][u"provider_mode"_s], u"fake"_s);
        QCOMPARE(beat.headers.value("authorization"), QByteArray("Bearer dt"));
        delegate->openConsole();
        delegate->openDevices();
        QCOMPARE(m_links, (QList<QUrl>{m_server->url().resolved(QUrl(u"/console"_s)),
                                       m_server->url().resolved(QUrl(u"/console/devices"_s))}));
        delegate->toggleRuntime();
        QCOMPARE(m_parts.alerts->said, QStringList{u"Seller runtime unavailable: Configure the seller runtime path "
                                                   u"(scripts/seller_runtime) in the app preferences."_s});
        QTRY_VERIFY_WITH_TIMEOUT(requestsTo("/v1/devices/heartbeat").size() == 2, 5000);
        m_parts.store->failingWrites = {u"email"_s, u"deviceToken"_s}; // would sign in again at next launch
        delegate->signOut();
        QCOMPARE(m_parts.store->calls,
                 (QStringList{u"set:accessToken="_s, u"set:email="_s, u"set:deviceId="_s, u"set:deviceToken="_s}));
        QCOMPARE(m_parts.alerts->said.mid(1).join(u'|').section(u':', 0, 0), u"Credentials not removed"_s);
        QVERIFY(!delegate->accessToken() && !delegate->deviceToken() && !delegate->menuState().hasDeviceToken);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->heartbeatInterval(), 0.06);
        QVERIFY(!delegate->isHeartbeatArmed());
    }

    // The launch check is silent and only notes a newer version for the menu; a check by hand
    // always answers, and its finding never replaces the launch's. Launch at login on, off, then
    // a file where the folder belongs: the change fails, is said, and the setting stays.
    void updateAndLaunchAtLoginItems() {
        const QString current = AppInfo::version(), newer = current + u".1"_s;
        const QString available = u"Update available: Version v%1 is available. Download the latest developer "
                                  u"preview from the Orvelquin download page."_s.arg(newer);
        releaseIs(newer);
        auto delegate = launch();
        QSignalSpy checked(delegate.get(), &AppDelegate::updateCheckFinished);
        QVERIFY(checked.wait(5000));
        QVERIFY(m_parts.alerts->said.isEmpty());
        const std::tuple<QString, int, QString, qsizetype> checks[] = {
            {{}, 0, u"Unable to check: The update service is unreachable. Check your connection and try again."_s, 0},
            {current, 0, u"Up to date: Orvelquin Desktop %1 is the latest version."_s.arg(current), 0},
            {u"v"_s + newer, 1, available, 2},  // later
            {u"v"_s + newer, 0, available, 2}}; // download
        for (const auto& [release, answer, alert, buttons] : checks) {
            releaseIs(release);
            m_parts.alerts->answer = answer;
            delegate->checkForUpdates();
            QVERIFY(checked.wait(5000));
            QCOMPARE(std::exchange(m_parts.alerts->said, {}), QStringList{alert});
            QCOMPARE(m_parts.alerts->buttons, buttons);
            QCOMPARE(delegate->menuState().pendingUpdateVersion, newer);
        }
        QCOMPARE(m_links, QList<QUrl>{m_server->url().resolved(QUrl(u"/download"_s))});

        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/autostart"_s;
        const auto unblock = qScopeGuard([&] { QFile::remove(folder); });
        for (const bool on : {true, false, false}) {
            if (!on && !QFile::exists(folder + u"/orvelquin-desktop.desktop"_s)) { // the second off
                QVERIFY(QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly));
            }
            delegate->toggleLaunchAtLogin();
            QCOMPARE(QFile::exists(folder + u"/orvelquin-desktop.desktop"_s), on);
            QCOMPARE(userSettings().value(u"launchAtLogin"_s).toBool(), on);
            QCOMPARE(delegate->menuState().launchAtLogin, on);
        }
        QVERIFY(m_parts.alerts->said.size() == 1 &&
                m_parts.alerts->said[0].startsWith(u"Launch at login unavailable"_s));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
