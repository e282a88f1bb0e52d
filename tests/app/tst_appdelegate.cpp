// The wired controller against a scripted loopback service: what only the wiring decides.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "core/AppInfo.h"
#include "core/Settings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using Reply = ScriptedHttpServer::Reply;

namespace {

const QByteArray kRelease = "/api/desktop/releases/latest";

Reply release(const QString& version) {
    return version.isEmpty() ? Reply{503, {}, {}, 0, false}
                             : Reply{200, "{\"latest_version\":\"" + version.toUtf8() + "\"}", {}, 0, false};
}

QList<ScriptedHttpServer::Request> requestsTo(const ScriptedHttpServer& server, const QByteArray& target) {
    QList<ScriptedHttpServer::Request> out;
    std::copy_if(server.requests().cbegin(), server.requests().cend(), std::back_inserter(out),
                 [&](const ScriptedHttpServer::Request& r) { return r.target == target; });
    return out;
}

QJsonObject json(const QList<ScriptedHttpServer::Request>& requests) {
    return QJsonDocument::fromJson(requests.value(requests.size() - 1).body).object();
}

// Stands in for the browser.
class OpenedLinks : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_lockDir;
    std::unique_ptr<ScriptedHttpServer> m_server;
    scripted::Parts m_parts;
    OpenedLinks m_links;

    std::unique_ptr<AppDelegate> make(bool signedIn = false, const QString& url = {}) {
        AppServices services =
            scripted::services(url.isEmpty() ? m_server->url().toString() : url, m_lockDir.path(), m_parts, signedIn);
        services.heartbeat.normal = 0.03; // a thousandth of 30 s and 300 s
        services.heartbeat.maximum = 0.3;
        return std::make_unique<AppDelegate>(std::move(services));
    }
    std::unique_ptr<AppDelegate> launch(bool signedIn = false, const QString& url = {}) {
        auto delegate = make(signedIn, url);
        delegate->applicationDidFinishLaunching();
        m_parts.store->calls.clear();
        return delegate;
    }

private Q_SLOTS:
    void initTestCase() {
        QDesktopServices::setUrlHandler(u"http"_s, &m_links, "open");
        QDesktopServices::setUrlHandler(u"https"_s, &m_links, "open");
    }
    void init() {
        m_server = std::make_unique<ScriptedHttpServer>();
        m_server->answerAlways(kRelease, release(u"0.0.1"_s));
        m_links.urls.clear();
        userSettings().clear();
    }

    // An unlock prompt nobody answers yet: icon and menu at once, no sign-in that would race the
    // reads, one read at a time; a read that then fails is not written back.
    void keychainPendingThenAFailedRead() {
        auto delegate = make();
        scripted::SecretStore& store = *m_parts.store;
        store.items = {{u"accessToken"_s, "at"}, {u"email"_s, "kept"}, {u"deviceToken"_s, "dt"}};
        store.failingReads = {u"email"_s};
        store.holdCalls = true;
        delegate->applicationDidFinishLaunching();
        QVERIFY(delegate->isKeychainPending());
        QVERIFY(delegate->menuState().keychainPending);
        QVERIFY(delegate->statusItem().icon()->isVisible());
        QVERIFY(!delegate->statusItem().icon()->icon().pixmap(16).isNull()); // the SVG plugin is there
        QCOMPARE(store.heldCalls(), 1);
        QVERIFY(!delegate->isHeartbeatArmed());
        QSignalSpy rebuilt(delegate.get(), &AppDelegate::menuRebuilt);
        QTimer::singleShot(0, delegate.get(), &AppDelegate::rebuildMenu);
        QVERIFY(rebuilt.wait()); // the event loop runs while the keyring is busy

        store.release();
        QVERIFY(!delegate->isKeychainPending());
        QCOMPARE(store.calls,
                 (QStringList{u"get:accessToken"_s, u"set:accessToken=at"_s, u"get:email"_s, u"get:deviceId"_s,
                              u"set:deviceId="_s, u"get:deviceToken"_s, u"set:deviceToken=dt"_s}));
        QCOMPARE(store.items.value(u"email"_s), QByteArray("kept"));
        QVERIFY(!delegate->menuState().keychainPending && delegate->menuState().hasDeviceToken);
        QVERIFY(delegate->isHeartbeatArmed());
        delegate->applicationWillTerminate();
    }

    void refusedInstanceReadsAndShowsNothing() {
        QProcess other;
        other.start(u"sleep"_s, {u"60"_s});
        QVERIFY(other.waitForStarted());
        const auto end = qScopeGuard([&] {
            other.kill();
            other.waitForFinished();
        });
        QFile lock(m_lockDir.filePath(u"orvelquin-desktop.pid"_s));
        QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(QByteArray::number(other.processId())) > 0);
        lock.close();
        AppServices services = scripted::services(m_server->url().toString(), m_lockDir.path(), m_parts);
        services.agentName = u"sleep"_s;
        AppDelegate delegate(std::move(services));
        delegate.applicationDidFinishLaunching();
        delegate.applicationWillTerminate();
        QVERIFY(m_parts.store->calls.isEmpty());
        QVERIFY(!delegate.statusItem().icon() && !delegate.lockPath());
        QVERIFY(lock.exists());
    }

    void iconWaitsForAStatusArea() {
        auto delegate = make();
        m_parts.tray->available = false;
        delegate->applicationDidFinishLaunching();
        QVERIFY(!delegate->statusItem().icon());
        QTRY_COMPARE(m_parts.alerts->messages(), QStringList{u"No status area"_s});
        m_parts.tray->start();
        const QSystemTrayIcon* shown = delegate->statusItem().icon();
        QVERIFY(shown && shown->isVisible() && shown->contextMenu());
        m_parts.tray->start(); // a panel restarting keeps the icon it has
        QCOMPARE(delegate->statusItem().icon(), shown);
        delegate->rebuildMenu();
        QCOMPARE(m_parts.alerts->shown.size(), 1);
        delegate->applicationWillTerminate();
    }

    void signIn_data() {
        QTest::addColumn<int>("registration");
        QTest::addColumn<QStringList>("refusedWrites");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("alert");
        QTest::addColumn<QString>("informative");
        QTest::addColumn<QString>("state");
        const QStringList all{u"set:accessToken=at"_s, u"set:email=ana@example.test"_s, u"set:deviceId=d-1"_s,
                              u"set:deviceToken=dt"_s};
        QTest::newRow("stored in order, beats at once") << 200 << QStringList() << all << ""
                                                        << ""
                                                        << "Connected";
        // Told once, however many writes fail; the session goes on for this run.
        QTest::newRow("keyring refuses two writes")
            << 200 << QStringList{u"email"_s, u"deviceToken"_s} << all << "Credentials not saved"
            << "will not survive a restart"
            << "Connected";
        QTest::newRow("registration fails") << 500 << QStringList() << all.mid(0, 2) << "Sign-in failed"
                                            << "HTTP 500"
                                            << "Disconnected";
    }
    void signIn() {
        QFETCH(int, registration);
        QFETCH(QStringList, refusedWrites);
        QFETCH(QStringList, stored);
        QFETCH(QString, alert);
        QFETCH(QString, informative);
        QFETCH(QString, state);
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
        QCOMPARE(m_parts.store->calls, stored);
        QCOMPARE(m_parts.alerts->messages(), alert.isEmpty() ? QStringList() : QStringList{alert});
        QVERIFY(m_parts.alerts->shown.value(0).informative.contains(informative));
        QCOMPARE(displayWord(delegate->connectionState()), state);
        QCOMPARE(json(requestsTo(*m_server, "/auth/login"))[u"password"_s], u" pw "_s);
        m_parts.alerts->entry.reset();
        delegate->promptSignIn();
        QCOMPARE(m_parts.alerts->offeredEmail, u"ana@example.test"_s);
        delegate->applicationWillTerminate();
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
        QTRY_VERIFY_WITH_TIMEOUT(!requestsTo(*m_server, "/auth/login").isEmpty(), 5000);
        QCOMPARE(requestsTo(*m_server, "/auth/login").size(), 1);
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate.reset();
        QCOMPARE(done.size(), 0);
    }

    void environmentProxyIsUsed() {
        const QByteArray before = qgetenv("https_proxy");
        qputenv("https_proxy", m_server->url().toEncoded()); // the scripted server refuses every tunnel
        const auto restore =
            qScopeGuard([&] { before.isNull() ? qunsetenv("https_proxy") : qputenv("https_proxy", before); });
        auto delegate = launch(false, u"https://service.orvelquin.invalid"_s);
        m_parts.alerts->entry = platform::SignInEntry{u"ana@example.test"_s, u"pw"_s};
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(5000));
        QVERIFY(!m_server->requests().isEmpty());
        for (const auto& request : m_server->requests()) {
            QCOMPARE(request.method + ' ' + request.target, QByteArray("CONNECT service.orvelquin.invalid:443"));
        }
        delegate->applicationWillTerminate();
    }

    // The answer to a heartbeat of a session that has ended changes nothing and arms nothing.
    void heartbeatOutcomeForItsOwnSessionOnly() {
        m_server->enqueueJson(503, {});
        m_server->enqueueJson(200, R"({"ok":false})");
        m_server->enqueue({503, {}, {}, 300, false});
        auto delegate = launch(true);
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->connectionState(), ConnectionState::ServerUnavailable);
        QCOMPARE(delegate->heartbeatInterval(), 0.06);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->connectionState(), ConnectionState::Connected);
        QCOMPARE(delegate->heartbeatInterval(), 0.03);
        QVERIFY(QTime::fromString(delegate->lastHeartbeat(), u"HH:mm:ss"_s).isValid());
        const auto beats = requestsTo(*m_server, "/v1/devices/heartbeat");
        QCOMPARE(json(beats)[u"status"_s], u"online"_s);
        QCOMPARE(json(beats)[u"runtime"_s][u"provider_mode"_s], u"fake"_s);
        QCOMPARE(beats.last().headers.value("authorization"), QByteArray("Bearer dt"));

        const QString last = delegate->lastHeartbeat();
        QTRY_VERIFY_WITH_TIMEOUT(requestsTo(*m_server, "/v1/devices/heartbeat").size() == 3, 5000);
        delegate->signOut();
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->lastHeartbeat(), last);
        QCOMPARE(delegate->heartbeatInterval(), 0.03);
        QVERIFY(!delegate->isHeartbeatArmed());
        delegate->applicationWillTerminate();
    }

    // The launch check is silent and only notes a newer version for the menu; a check by hand
    // always answers, and its finding never replaces the launch's.
    void updatePrompt_data() {
        QTest::addColumn<QString>("atLaunch");
        QTest::addColumn<QString>("byHand");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("informative");
        QTest::addColumn<int>("linksOpened");
        const QString current = AppInfo::version();
        const QString newer = current + u".1"_s;
        const QString available = QStringLiteral("Version v%1 is available. Download the latest developer preview "
                                                 "from the Orvelquin download page.")
                                      .arg(newer);
        QTest::newRow("unreachable") << ""
                                     << "" << 0 << "Unable to check"
                                     << "The update service is unreachable. Check your connection and try again." << 0;
        QTest::newRow("up to date keeps the launch finding")
            << newer << current << 0 << "Up to date" << u"Orvelquin Desktop %1 is the latest version."_s.arg(current)
            << 0;
        QTest::newRow("newer, later") << current << u"v"_s + newer << 1 << "Update available" << available << 0;
        QTest::newRow("newer, download") << current << u"v"_s + newer << 0 << "Update available" << available << 1;
    }
    void updatePrompt() {
        QFETCH(QString, atLaunch);
        QFETCH(QString, byHand);
        QFETCH(int, answer);
        QFETCH(QString, message);
        QFETCH(QString, informative);
        QFETCH(int, linksOpened);
        m_server->answerAlways(kRelease, release(atLaunch));
        auto delegate = make();
        QSignalSpy checked(delegate.get(), &AppDelegate::updateCheckFinished);
        delegate->applicationDidFinishLaunching();
        QVERIFY(checked.wait(5000));
        QVERIFY(m_parts.alerts->shown.isEmpty());
        const bool newer = atLaunch.startsWith(AppInfo::version() + u'.');
        QCOMPARE(delegate->menuState().pendingUpdateVersion, newer ? std::optional(atLaunch) : std::nullopt);

        m_server->answerAlways(kRelease, release(byHand));
        m_parts.alerts->answer = answer;
        delegate->checkForUpdates();
        QVERIFY(checked.wait(5000));
        QCOMPARE(m_parts.alerts->messages(), QStringList{message});
        QCOMPARE(m_parts.alerts->shown[0].informative, informative);
        QCOMPARE(m_parts.alerts->shown[0].buttons.size(), message == u"Update available" ? 2 : 0);
        QCOMPARE(m_links.urls.size(), linksOpened);
        QCOMPARE(delegate->menuState().pendingUpdateVersion, newer ? std::optional(atLaunch) : std::nullopt);
        delegate->applicationWillTerminate();
    }

    void menuActions() {
        auto delegate = launch(true);
        delegate->openConsole();
        delegate->openDevices();
        delegate->openDownloadPage();
        const QUrl base = m_server->url();
        QCOMPARE(m_links.urls,
                 (QList<QUrl>{base.resolved(QUrl(u"/console"_s)), base.resolved(QUrl(u"/console/devices"_s)),
                              base.resolved(QUrl(u"/download"_s))}));
        delegate->toggleRuntime();
        QCOMPARE(m_parts.alerts->messages(), QStringList{u"Seller runtime unavailable"_s});
        QCOMPARE(m_parts.alerts->shown[0].informative,
                 u"Configure the seller runtime path (scripts/seller_runtime) in the app preferences."_s);
        delegate->signOut();
        QCOMPARE(m_parts.store->calls,
                 (QStringList{u"set:accessToken="_s, u"set:email="_s, u"set:deviceId="_s, u"set:deviceToken="_s}));
        QVERIFY(!delegate->isHeartbeatArmed() && !delegate->accessToken() && !delegate->deviceToken());
        QVERIFY(!delegate->menuState().hasDeviceToken);
        delegate->applicationWillTerminate();
    }

    void launchAtLoginFollowsTheAutostartEntry() {
        auto delegate = launch();
        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/autostart"_s;
        const QString entry = folder + u"/orvelquin-desktop.desktop"_s;
        const auto checked = [&] { return delegate->menuState().launchAtLogin; };
        for (const bool on : {true, false}) {
            delegate->toggleLaunchAtLogin();
            QCOMPARE(QFile::exists(entry), on);
            QCOMPARE(userSettings().value(u"launchAtLogin"_s).toBool(), on);
            QCOMPARE(checked(), on);
        }
        QVERIFY(m_parts.alerts->shown.isEmpty());

        // A file where the folder belongs: the change fails, is said, and the setting stays.
        QDir(folder).removeRecursively();
        const auto removeBlocker = qScopeGuard([&] { QFile::remove(folder); });
        QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        delegate->toggleLaunchAtLogin();
        QCOMPARE(m_parts.alerts->messages(), QStringList{u"Launch at login unavailable"_s});
        QVERIFY(m_parts.alerts->shown[0].informative.startsWith(
            u"Orvelquin Desktop could not change its autostart entry. ("_s));
        QVERIFY(!checked() && !userSettings().value(u"launchAtLogin"_s).toBool());
        delegate->applicationWillTerminate();
    }

    void quitRunsTheOrderlyShutdown() {
        auto delegate = launch();
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, delegate.get(), &AppDelegate::applicationWillTerminate);
        QVERIFY(QFile::exists(*delegate->lockPath()));
        QTimer::singleShot(0, delegate.get(), &AppDelegate::quit);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!QFile::exists(*delegate->lockPath()));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
