#include "RecordingSecretStore.h"
#include "app/AppDelegate.h"

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using orvelquin::AppDelegate;

namespace {

// Dismisses every dialog at once, as a user pressing the default button would.
class ScriptedAlerts final : public orvelquin::platform::AlertPresenter {
public:
    explicit ScriptedAlerts(QStringList* titles = nullptr)
        : m_titles(titles) {}
    int run(const orvelquin::platform::Alert& alert) override {
        if (m_titles) {
            m_titles->append(alert.message);
        }
        return 0;
    }
    std::optional<orvelquin::platform::SignInEntry> askSignIn(const QString&, const QString&, const QString&) override {
        return std::nullopt;
    }

private:
    QStringList* m_titles;
};

// A status area that the test switches on, as a panel starting after the agent would.
class SwitchableTrayHost final : public orvelquin::platform::TrayHost {
public:
    explicit SwitchableTrayHost(bool available)
        : m_available(available) {}
    bool isAvailable() const override { return m_available; }
    bool exportsMenu() const override { return false; }
    void start() {
        m_available = true;
        Q_EMIT appeared();
    }

private:
    bool m_available;
};

} // namespace

using orvelquin::AppServices;

class TestAppDelegate : public QObject {
    Q_OBJECT

private:
    // The store stays owned by the delegate; the raw pointer lets the test look inside.
    std::unique_ptr<AppDelegate> makeDelegate(RecordingSecretStore*& store, const QString& lockDir,
                                              SwitchableTrayHost** trayHost = nullptr, QStringList* alerts = nullptr) {
        auto owned = std::make_unique<RecordingSecretStore>();
        store = owned.get();
        AppServices services = AppServices::system();
        services.secrets = std::move(owned);
        services.alerts = std::make_unique<ScriptedAlerts>(alerts);
        auto host = std::make_unique<SwitchableTrayHost>(trayHost == nullptr);
        if (trayHost) {
            *trayHost = host.get();
        }
        services.trayHost = std::move(host);
        services.serviceBaseURL = QStringLiteral("http://127.0.0.1:9");
        services.lockDirectory = lockDir;
        services.agentName = QStringLiteral("orvelquin-desktop");
        return std::make_unique<AppDelegate>(std::move(services));
    }

private Q_SLOTS:
    void constructionWritesNothingAndStartsDisconnected() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        QVERIFY(store->calls.isEmpty());
        QCOMPARE(orvelquin::displayWord(delegate->connectionState()), QStringLiteral("Disconnected"));
        QCOMPARE(delegate->lastHeartbeat(), QStringLiteral("\u2014"));
        QCOMPARE(delegate->heartbeatInterval(), 30.0);
        QVERIFY(!delegate->statusItem().icon());
    }

    void launchLoadsAndWritesBackInOrder() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        store->items.insert(QStringLiteral("email"), "ana@example.test");
        store->items.insert(QStringLiteral("deviceId"), "");
        store->calls.clear();

        delegate->applicationDidFinishLaunching();
        const QStringList expected = {
            QStringLiteral("get:accessToken"), QStringLiteral("set:accessToken="),
            QStringLiteral("get:email"),       QStringLiteral("set:email=ana@example.test"),
            QStringLiteral("get:deviceId"),    QStringLiteral("set:deviceId="),
            QStringLiteral("get:deviceToken"), QStringLiteral("set:deviceToken="),
        };
        QCOMPARE(store->calls, expected);
        QCOMPARE(delegate->email(), std::optional<QString>(QStringLiteral("ana@example.test")));
        QVERIFY(!delegate->deviceId());
        QCOMPARE(delegate->lockPath(), std::optional<QString>(dir.filePath(QStringLiteral("orvelquin-desktop.pid"))));
        QVERIFY(delegate->statusItem().icon()->isVisible());
        QVERIFY(!delegate->statusItem().icon()->icon().pixmap(16).isNull()); // drawable: the SVG plugin is there
        delegate->applicationWillTerminate();
    }

    void failedReadIsNotWrittenBack() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        store->items.insert(QStringLiteral("deviceToken"), "dt_keep");
        store->failingReads.insert(QStringLiteral("deviceToken"));

        delegate->applicationDidFinishLaunching();
        QVERIFY(!delegate->deviceToken());
        QVERIFY(!store->calls.contains(QStringLiteral("set:deviceToken=")));
        QCOMPARE(store->items.value(QStringLiteral("deviceToken")), QByteArray("dt_keep"));
        QVERIFY(store->calls.contains(QStringLiteral("set:accessToken=")));
        delegate->applicationWillTerminate();
    }

    // A keyring that keeps launch waiting (an unlock prompt nobody answers yet): the icon is up,
    // the menu says why nothing is signed in, and offers no sign-in that would race the reads.
    void keyringThatTakesItsTimeKeepsTheLoopAndMenuGoing() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        store->items.insert(QStringLiteral("accessToken"), "at");
        store->items.insert(QStringLiteral("deviceToken"), "dt");
        store->holdCalls = true;

        delegate->applicationDidFinishLaunching();
        QVERIFY(delegate->isKeychainPending());
        QVERIFY(delegate->statusItem().icon()->isVisible());
        const auto titles = [&] {
            QStringList list;
            for (const QAction* action : delegate->statusItem().icon()->contextMenu()->actions()) {
                list << action->text();
            }
            return list;
        };
        QVERIFY(titles().contains(QStringLiteral("Waiting for the keyring\u2026")));
        QVERIFY(!titles().contains(QStringLiteral("Sign in\u2026")));
        QCOMPARE(store->heldCalls(), 1); // one call at a time, in order
        QVERIFY(!delegate->isHeartbeatArmed());
        QSignalSpy rebuilt(delegate.get(), &AppDelegate::menuRebuilt);
        QTimer::singleShot(0, delegate.get(), &AppDelegate::rebuildMenu);
        QVERIFY(rebuilt.wait()); // the event loop runs while the keyring is busy

        store->release();
        QVERIFY(!delegate->isKeychainPending());
        QCOMPARE(store->calls, (QStringList{QStringLiteral("get:accessToken"), QStringLiteral("set:accessToken=at"),
                                            QStringLiteral("get:email"), QStringLiteral("set:email="),
                                            QStringLiteral("get:deviceId"), QStringLiteral("set:deviceId="),
                                            QStringLiteral("get:deviceToken"), QStringLiteral("set:deviceToken=dt")}));
        QVERIFY(titles().contains(QStringLiteral("Sign out")));
        QVERIFY(delegate->isHeartbeatArmed());
        delegate->applicationWillTerminate();
    }

    void refusedInstanceReadsAndShowsNothing() {
        QTemporaryDir dir;
        QTemporaryDir otherRuntime;
        QProcess other;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherRuntime.path());
        other.setProcessEnvironment(env);
        other.start(QStringLiteral(ORVELQUIN_AGENT_BINARY), {});
        QVERIFY(other.waitForStarted());
        const QString lockPath = dir.filePath(QStringLiteral("orvelquin-desktop.pid"));
        {
            QFile f(lockPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray::number(other.processId()));
        }
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        delegate->applicationDidFinishLaunching();
        delegate->applicationWillTerminate();
        QVERIFY(store->calls.isEmpty());
        QVERIFY(!delegate->statusItem().icon());
        QVERIFY(!delegate->lockPath());
        QVERIFY(QFile::exists(lockPath));
        other.kill();
        other.waitForFinished();
    }

    void iconWaitsForAStatusArea() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        SwitchableTrayHost* host = nullptr;
        QStringList alerts;
        auto delegate = makeDelegate(store, dir.path(), &host, &alerts);
        delegate->applicationDidFinishLaunching();
        QVERIFY(!delegate->statusItem().icon());
        QTRY_COMPARE(alerts, QStringList{QStringLiteral("No status area")});

        host->start();
        QVERIFY(delegate->statusItem().icon());
        QVERIFY(delegate->statusItem().icon()->isVisible());
        QVERIFY(delegate->statusItem().icon()->contextMenu());
        const QSystemTrayIcon* shown = delegate->statusItem().icon();
        host->start(); // a panel restarting keeps the icon it has
        QCOMPARE(delegate->statusItem().icon(), shown);
        delegate->rebuildMenu();
        QCOMPARE(alerts.size(), 1);
        delegate->applicationWillTerminate();
    }

    void quitRunsTheOrderlyShutdown() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, delegate.get(), &AppDelegate::applicationWillTerminate);
        delegate->applicationDidFinishLaunching();
        QVERIFY(QFile::exists(*delegate->lockPath()));

        QTimer::singleShot(0, delegate.get(), &AppDelegate::quit);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!QFile::exists(*delegate->lockPath()));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
