// Menu actions and the update prompt on a real controller: the release check against a scripted
// loopback server, the real autostart entry in the test session's config directory, and links
// caught by a URL handler instead of a browser.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "app/AppDelegate.h"
#include "app/MenuModel.h"
#include "core/AppInfo.h"
#include "core/Settings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using orvelquin::AppDelegate;
using orvelquin::AppServices;
using orvelquin::platform::Alert;

namespace {

// Stands in for the browser.
class OpenedLinks : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

const QByteArray kRelease = "/api/desktop/releases/latest";

QByteArray releaseReply(const QString& version) {
    return "{\"latest_version\":\"" + version.toUtf8() + "\"}";
}

QStringList titles(const QList<orvelquin::MenuItem>& items) {
    QStringList out;
    for (const auto& item : items) {
        out << item.title;
    }
    return out;
}

bool launchAtLoginChecked(const QList<orvelquin::MenuItem>& items) {
    for (const auto& item : items) {
        if (item.title == u"Launch at login") {
            return item.checkable && item.checked;
        }
    }
    return false;
}

} // namespace

class TestMenuActions : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_lockDir;
    ScriptedAlerts* m_alerts = nullptr;
    RecordingSecretStore* m_store = nullptr;
    OpenedLinks m_links;
    const QString m_newer = orvelquin::AppInfo::version() + QStringLiteral(".1");

    // The first reply in the server's queue answers the launch check.
    std::unique_ptr<AppDelegate> launch(ScriptedHttpServer& server, bool signedIn = false) {
        auto delegate = std::make_unique<AppDelegate>(
            scriptedServices(server.url().toString(), m_lockDir.path(), signedIn, m_store, m_alerts));
        QSignalSpy launchCheck(delegate.get(), &AppDelegate::updateCheckFinished);
        delegate->applicationDidFinishLaunching();
        [&] { QVERIFY(launchCheck.wait(5000)); }();
        QTest::qWait(20); // the launch's own notice (no status area offscreen) comes and goes
        m_alerts->shown.clear();
        return delegate;
    }

    Alert checkByHand(AppDelegate& delegate) {
        QSignalSpy done(&delegate, &AppDelegate::updateCheckFinished);
        delegate.checkForUpdates();
        [&] { QVERIFY(done.wait(5000)); }();
        [&] { QCOMPARE(m_alerts->shown.size(), 1); }();
        return m_alerts->shown.value(0);
    }

private Q_SLOTS:
    void initTestCase() {
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &m_links, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_links, "open");
    }

    void init() {
        m_links.urls.clear();
        orvelquin::userSettings().clear();
    }

    void unreachableIsSilentAtLaunchAndSaidByHand() {
        ScriptedHttpServer server;
        server.enqueueJson(503, {});
        auto delegate = launch(server);
        QVERIFY(m_alerts->shown.isEmpty());
        QVERIFY(!delegate->pendingUpdateVersion());

        server.enqueueJson(503, {});
        const Alert alert = checkByHand(*delegate);
        QCOMPARE(alert.message, QStringLiteral("Unable to check"));
        QCOMPARE(alert.informative,
                 QStringLiteral("The update service is unreachable. Check your connection and try again."));
        QVERIFY(alert.buttons.isEmpty());
        delegate->applicationWillTerminate();
    }

    void launchFindingKeepsItsEntryAfterAnUpToDateCheck() {
        ScriptedHttpServer server;
        server.enqueueJson(200, releaseReply(m_newer));
        auto delegate = launch(server);
        QCOMPARE(delegate->pendingUpdateVersion(), std::optional<QString>(m_newer));
        const QString entry = QStringLiteral("Update available (v%1)").arg(m_newer);
        QVERIFY(titles(orvelquin::composeMenu(delegate->menuState())).contains(entry));

        server.enqueueJson(200, releaseReply(orvelquin::AppInfo::version()));
        const Alert alert = checkByHand(*delegate);
        QCOMPARE(alert.message, QStringLiteral("Up to date"));
        QCOMPARE(alert.informative,
                 QStringLiteral("Orvelquin Desktop %1 is the latest version.").arg(orvelquin::AppInfo::version()));
        QCOMPARE(delegate->pendingUpdateVersion(), std::optional<QString>(m_newer));
        QVERIFY(titles(orvelquin::composeMenu(delegate->menuState())).contains(entry));
        delegate->applicationWillTerminate();
    }

    void availableByHandOffersTheDownloadPage() {
        ScriptedHttpServer server;
        server.enqueueJson(200, releaseReply(orvelquin::AppInfo::version()));
        auto delegate = launch(server);

        server.enqueueJson(200, releaseReply(QStringLiteral("v") + m_newer));
        m_alerts->answer = 1; // "Later"
        const Alert later = checkByHand(*delegate);
        QCOMPARE(later.message, QStringLiteral("Update available"));
        QCOMPARE(later.informative, QStringLiteral("Version v%1 is available. Download the latest developer preview "
                                                   "from the Orvelquin download page.")
                                        .arg(m_newer));
        QCOMPARE(later.buttons, (QStringList{QStringLiteral("Open download page"), QStringLiteral("Later")}));
        QVERIFY(m_links.urls.isEmpty());
        QVERIFY(!delegate->pendingUpdateVersion()); // only the launch check sets it

        m_alerts->shown.clear();
        server.enqueueJson(200, releaseReply(m_newer));
        m_alerts->answer = 0;
        checkByHand(*delegate);
        QCOMPARE(m_links.urls, QList<QUrl>{server.url().resolved(QUrl(QStringLiteral("/download")))});
        delegate->applicationWillTerminate();
    }

    void linksOpenTheServicePages() {
        ScriptedHttpServer server;
        server.enqueueJson(503, {});
        auto delegate = launch(server);
        delegate->openConsole();
        delegate->openDevices();
        delegate->openDownloadPage();
        const QUrl base = server.url();
        QCOMPARE(m_links.urls, (QList<QUrl>{base.resolved(QUrl(QStringLiteral("/console"))),
                                            base.resolved(QUrl(QStringLiteral("/console/devices"))),
                                            base.resolved(QUrl(QStringLiteral("/download")))}));
        delegate->applicationWillTerminate();
    }

    void launchAtLoginFollowsTheAutostartEntry() {
        ScriptedHttpServer server;
        server.enqueueJson(503, {});
        auto delegate = launch(server);
        const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString entry = config + QStringLiteral("/autostart/orvelquin-desktop.desktop");
        QFile::remove(entry);

        delegate->toggleLaunchAtLogin();
        QVERIFY(QFile::exists(entry));
        QVERIFY(orvelquin::userSettings().value(QStringLiteral("launchAtLogin")).toBool());
        QVERIFY(launchAtLoginChecked(orvelquin::composeMenu(delegate->menuState())));
        delegate->toggleLaunchAtLogin();
        QVERIFY(!QFile::exists(entry));
        QVERIFY(!launchAtLoginChecked(orvelquin::composeMenu(delegate->menuState())));
        QVERIFY(!orvelquin::userSettings().value(QStringLiteral("launchAtLogin")).toBool());
        QVERIFY(m_alerts->shown.isEmpty());

        // A file where the autostart folder belongs: the change fails, is said, and the setting stays.
        QDir(config + QStringLiteral("/autostart")).removeRecursively();
        QFile blocker(config + QStringLiteral("/autostart"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        delegate->toggleLaunchAtLogin();
        QCOMPARE(m_alerts->shown.size(), 1);
        QCOMPARE(m_alerts->shown[0].message, QStringLiteral("Launch at login unavailable"));
        QVERIFY(m_alerts->shown[0].informative.startsWith(
            QStringLiteral("Orvelquin Desktop could not change its autostart entry. (")));
        QVERIFY(!orvelquin::userSettings().value(QStringLiteral("launchAtLogin")).toBool());
        QFile::remove(config + QStringLiteral("/autostart"));
        delegate->applicationWillTerminate();
    }

    void signOutForgetsEverythingInOrder() {
        ScriptedHttpServer server;
        server.enqueueJson(503, {});
        auto delegate = launch(server, true);
        QVERIFY(delegate->isHeartbeatArmed());
        m_store->calls.clear();
        delegate->signOut();
        QCOMPARE(m_store->calls, (QStringList{QStringLiteral("set:accessToken="), QStringLiteral("set:email="),
                                              QStringLiteral("set:deviceId="), QStringLiteral("set:deviceToken=")}));
        QVERIFY(!delegate->isHeartbeatArmed());
        QVERIFY(!delegate->accessToken() && !delegate->deviceToken());
        const QStringList menu = titles(orvelquin::composeMenu(delegate->menuState()));
        QVERIFY(menu.contains(QStringLiteral("Sign in\u2026")));
        QVERIFY(!menu.contains(QStringLiteral("Sign out")));
        delegate->applicationWillTerminate();
    }

    void runtimeWithoutAnInstallationIsExplained() {
        ScriptedHttpServer server;
        server.enqueueJson(503, {});
        auto delegate = launch(server, true);
        delegate->toggleRuntime();
        QCOMPARE(m_alerts->shown.size(), 1);
        QCOMPARE(m_alerts->shown[0].message, QStringLiteral("Seller runtime unavailable"));
        QCOMPARE(m_alerts->shown[0].informative,
                 QStringLiteral("Configure the seller runtime path (scripts/seller_runtime) in the app preferences."));
        delegate->applicationWillTerminate();
    }
};

QTEST_MAIN(TestMenuActions)
#include "tst_menuactions.moc"
