#include "RecordingSecretStore.h"
#include "app/AppDelegate.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using orvelquin::AppDelegate;

namespace {

// Dismisses every dialog at once, as a user pressing the default button would.
class ScriptedAlerts final : public orvelquin::platform::AlertPresenter {
public:
    int run(const orvelquin::platform::Alert&) override { return 0; }
    std::optional<orvelquin::platform::SignInEntry> askSignIn(const QString&, const QString&) override {
        return std::nullopt;
    }
};

} // namespace

using orvelquin::AppServices;

class TestAppDelegate : public QObject {
    Q_OBJECT

private:
    // The store stays owned by the delegate; the raw pointer lets the test look inside.
    std::unique_ptr<AppDelegate> makeDelegate(RecordingSecretStore*& store, const QString& lockDir) {
        auto owned = std::make_unique<RecordingSecretStore>();
        store = owned.get();
        AppServices services = AppServices::system();
        services.secrets = std::move(owned);
        services.alerts = std::make_unique<ScriptedAlerts>();
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
        QCOMPARE(delegate->connectionState(), QStringLiteral("Disconnected"));
        QCOMPARE(delegate->lastHeartbeat(), QStringLiteral("\u2014"));
        QCOMPARE(delegate->heartbeatInterval(), 30.0);
        QVERIFY(!delegate->statusItem()->isVisible());
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
        QCOMPARE(delegate->lockURL(), std::optional<QString>(dir.filePath(QStringLiteral("orvelquin-desktop.pid"))));
        QVERIFY(delegate->statusItem()->isVisible());
        QVERIFY(!delegate->statusItem()->icon().isNull());
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
        QVERIFY(!delegate->statusItem()->isVisible());
        QVERIFY(!delegate->lockURL());
        QVERIFY(QFile::exists(lockPath));
        other.kill();
        other.waitForFinished();
    }

    void quitRunsTheOrderlyShutdown() {
        QTemporaryDir dir;
        RecordingSecretStore* store = nullptr;
        auto delegate = makeDelegate(store, dir.path());
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, delegate.get(), &AppDelegate::applicationWillTerminate);
        delegate->applicationDidFinishLaunching();
        QVERIFY(QFile::exists(*delegate->lockURL()));

        QTimer::singleShot(0, delegate.get(), &AppDelegate::quit);
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!QFile::exists(*delegate->lockURL()));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
