// End to end: the real agent binary on the test session's bus and X display, a status notifier
// watcher of our own standing in for the panel, the real Secret Service and the development
// service. The menu is read and clicked over com.canonical.dbusmenu, as a desktop shell does.
#include "SecretServiceItems.h"
#include "TrayHostFixture.h"
#include "platform/SecretStore.h"
#include "service/APIClient.h"

#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace orvelquin;

namespace {

// Children of a process, from the parent field of every /proc/<pid>/stat.
QList<qint64> childrenOf(qint64 parent) {
    QList<qint64> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!isPid || !stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == parent) {
            children.append(pid);
        }
    }
    return children;
}

} // namespace

class TestTray : public QObject {
    Q_OBJECT

private:
    QUrl m_service = QUrl(QStringLiteral(ORVELQUIN_TEST_SERVICE_URL));
    QProcess m_devService;
    std::unique_ptr<QTemporaryDir> m_runtimeDir;
    std::unique_ptr<QTemporaryDir> m_configDir;
    std::unique_ptr<platform::SecretStore> m_secrets;

    void startAgent(QProcess& agent, const QString& program = QStringLiteral(ORVELQUIN_AGENT_BINARY)) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir->path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_configDir->path());
        agent.setProcessEnvironment(env);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(program, {});
        QVERIFY(agent.waitForStarted());
    }

    static void stopAgent(QProcess& agent) {
        if (agent.state() != QProcess::NotRunning) {
            agent.terminate();
            if (!agent.waitForFinished(5000)) {
                agent.kill();
                agent.waitForFinished();
            }
        }
    }

    // Starts the agent and gives the bus name of its tray item once registered ("" if it never is).
    QString startRegistered(QProcess& agent, StatusNotifierWatcher& watcher,
                            const QString& program = QStringLiteral(ORVELQUIN_AGENT_BINARY)) {
        QSignalSpy registered(&watcher, &StatusNotifierWatcher::StatusNotifierItemRegistered);
        startAgent(agent, program);
        if (!registered.wait(15000) && watcher.registeredItems().isEmpty()) {
            return {};
        }
        return watcher.registeredItems().first();
    }

    static void quitThroughMenu(const TrayItemClient& item, QProcess& agent) {
        QVERIFY(item.clickLabel(QStringLiteral("Quit Orvelquin")));
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 0);
    }

    QString lockPath() const { return m_runtimeDir->filePath(QStringLiteral("orvelquin-desktop.pid")); }

    qint64 lockedPid() const {
        QFile lock(lockPath());
        return lock.open(QIODevice::ReadOnly) ? lock.readAll().trimmed().toLongLong() : 0;
    }

    void configureRuntimePath() {
        // The build tree has no installed share/ folder: point the agent at the reference runtime.
        QDir().mkpath(m_configDir->filePath(QStringLiteral("Orvelquin")));
        QFile conf(m_configDir->filePath(QStringLiteral("Orvelquin/orvelquin-desktop.conf")));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[General]\nsellerRuntimePath=" ORVELQUIN_SOURCE_DIR
                   "/scripts/seller_runtime/orvelquin-seller-runtime\n");
    }

    // Signs the demo account in the way the agent would and stores the four credentials.
    void storeSignedInCredentials() {
        QNetworkAccessManager network;
        APIClient api(m_service, network);
        const auto login = QCoro::waitFor(api.signIn(QStringLiteral("demo@orvelquin.test"), QStringLiteral("demo")));
        const auto device = QCoro::waitFor(
            api.registerDevice(QStringLiteral("e2e"), SystemInfo{}, QStringLiteral("0.0.0"), login.accessToken));
        const auto session = QCoro::waitFor(api.startDeviceSession(device.deviceId, login.accessToken));
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("accessToken"), login.accessToken.toUtf8())).stored);
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("email"), "demo@orvelquin.test")).stored);
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("deviceId"), device.deviceId.toUtf8())).stored);
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("deviceToken"), session.deviceToken.toUtf8())).stored);
    }

private Q_SLOTS:
    void initTestCase() {
        if (m_service.scheme() != QStringLiteral("http") || m_service.host() != QStringLiteral("127.0.0.1")) {
            QSKIP("The agent was built for a service other than the loopback development service");
        }
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            QSKIP("Needs an X display (run through scripts/test-session)");
        }
        m_secrets = platform::createSecretStore();
        m_devService.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_devService.start(QStringLiteral(ORVELQUIN_SOURCE_DIR "/scripts/dev-service"),
                           {QStringLiteral("--port"), QString::number(m_service.port(8787))});
        QVERIFY(m_devService.waitForStarted());
        // Ready once it answers the release endpoint.
        QNetworkAccessManager network;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                std::unique_ptr<QNetworkReply> reply(network.get(
                    QNetworkRequest(m_service.resolved(QUrl(QStringLiteral("/api/desktop/releases/latest"))))));
                QSignalSpy done(reply.get(), &QNetworkReply::finished);
                done.wait(2000);
                return reply->error() == QNetworkReply::NoError;
            }(),
            15000);
    }

    void cleanupTestCase() {
        m_devService.terminate();
        m_devService.waitForFinished(5000);
    }

    void init() {
        m_runtimeDir = std::make_unique<QTemporaryDir>();
        m_configDir = std::make_unique<QTemporaryDir>();
        clearCredentialItems();
    }

    void signedOutLayoutAndQuit() {
        StatusNotifierWatcher watcher;
        QVERIFY(watcher.start());
        QProcess agent;
        const QString service = startRegistered(agent, watcher);
        QVERIFY(!service.isEmpty());
        TrayItemClient item(service);
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Sign in\u2026")), 10000);
        const QStringList labels = item.labels();
        QCOMPARE(labels.value(0), QStringLiteral("Orvelquin Desktop"));
        QCOMPARE(labels.value(1), QStringLiteral("Not signed in"));
        QCOMPARE(labels.value(3), QStringLiteral("Device: No device re\u2026"));
        QCOMPARE(labels.value(4), QStringLiteral("Status: Disconnected \u00B7 Last heartbeat \u2014"));
        QVERIFY(!labels.contains(QStringLiteral("Sign out")));
        QCOMPARE(labels.last(), QStringLiteral("Quit Orvelquin"));
        QVERIFY(QFile::exists(lockPath()));

        quitThroughMenu(item, agent);
        QVERIFY(!QFile::exists(lockPath()));
    }

    void signedInHeartbeatAndRuntime() {
        storeSignedInCredentials();
        configureRuntimePath();
        StatusNotifierWatcher watcher;
        QVERIFY(watcher.start());
        QElapsedTimer sinceLaunch;
        sinceLaunch.start();
        QProcess agent;
        const QString service = startRegistered(agent, watcher);
        QVERIFY(!service.isEmpty());
        TrayItemClient item(service);
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Sign out")), 10000);
        QStringList labels = item.labels();
        QCOMPARE(labels.value(1), QStringLiteral("demo@orvelquin.test"));
        QCOMPARE(labels.value(4), QStringLiteral("Status: Disconnected \u00B7 Last heartbeat \u2014"));
        QVERIFY(labels.contains(QStringLiteral("Start seller runtime")));

        QVERIFY(item.clickLabel(QStringLiteral("Start seller runtime")));
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Stop seller runtime")), 10000);
        QVERIFY(item.labels().value(5).contains(QStringLiteral("running")));

        // The first heartbeat after a launch goes out one interval (30 s) later, not at once.
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().value(4).startsWith(QStringLiteral("Status: Connected")), 45000);
        QVERIFY2(sinceLaunch.elapsed() >= 25000, qPrintable(QString::number(sinceLaunch.elapsed())));

        quitThroughMenu(item, agent);
        QVERIFY(!QFile::exists(lockPath()));
    }

    void runtimeEndsWithAKilledAgentAndTheLockIsTakenOver() {
        storeSignedInCredentials();
        configureRuntimePath();
        StatusNotifierWatcher watcher;
        QVERIFY(watcher.start());
        QProcess agent;
        const QString service = startRegistered(agent, watcher);
        QVERIFY(!service.isEmpty());
        TrayItemClient item(service);
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Start seller runtime")), 10000);
        QVERIFY(item.clickLabel(QStringLiteral("Start seller runtime")));
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Stop seller runtime")), 10000);
        const QList<qint64> runtimes = childrenOf(agent.processId());
        QCOMPARE(runtimes.size(), 1);

        agent.kill();
        QVERIFY(agent.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1").arg(runtimes.first())), 10000);
        QVERIFY(QFile::exists(lockPath()));

        QProcess next;
        QVERIFY(!startRegistered(next, watcher).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(lockedPid(), next.processId(), 10000);
        stopAgent(next);
        QCOMPARE(next.exitCode(), 0);
    }

    // Installed into a fresh prefix, or, with ORVELQUIN_INSTALLED_AGENT naming it, the binary a
    // package put in place (a check of the Debian package on a machine where it is installed).
    void installedAgentRunsItsBundledRuntime() {
        QTemporaryDir prefix;
        QString program = qEnvironmentVariable("ORVELQUIN_INSTALLED_AGENT");
        if (program.isEmpty()) {
            QProcess install;
            install.setProcessChannelMode(QProcess::ForwardedChannels);
            install.start(QStringLiteral("cmake"), {QStringLiteral("--install"), QStringLiteral(ORVELQUIN_BUILD_DIR),
                                                    QStringLiteral("--prefix"), prefix.path()});
            QVERIFY(install.waitForFinished(60000));
            QCOMPARE(install.exitCode(), 0);
            program = prefix.filePath(QStringLiteral("bin/orvelquin-desktop"));
        }

        storeSignedInCredentials();
        StatusNotifierWatcher watcher;
        QVERIFY(watcher.start());
        QProcess agent;
        const QString service = startRegistered(agent, watcher, program);
        QVERIFY(!service.isEmpty());
        TrayItemClient item(service);
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Seller runtime: bundled \u00B7 stopped")),
                                 10000);
        // The signed-in items come once the keyring has answered.
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Start seller runtime")), 10000);
        QVERIFY(item.clickLabel(QStringLiteral("Start seller runtime")));
        QTRY_VERIFY_WITH_TIMEOUT(
            item.labels().value(5).startsWith(QStringLiteral("Seller runtime: bundled \u00B7 running \u00B7 up ")),
            10000);
        const QList<qint64> runtimes = childrenOf(agent.processId());
        QCOMPARE(runtimes.size(), 1);
        QTest::qWait(500);
        QVERIFY(QFile::exists(QStringLiteral("/proc/%1").arg(runtimes.first()))); // the reference runtime accepted

        quitThroughMenu(item, agent);
        QVERIFY(!QFile::exists(QStringLiteral("/proc/%1").arg(runtimes.first())));
    }

    void trayHostStartingLaterStillGetsTheIcon() {
        QProcess agent;
        startAgent(agent);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lockPath()), 10000);
        QTest::qWait(3000);
        QCOMPARE(agent.state(), QProcess::Running);

        StatusNotifierWatcher watcher;
        QSignalSpy registered(&watcher, &StatusNotifierWatcher::StatusNotifierItemRegistered);
        QVERIFY(watcher.start());
        QVERIFY(registered.wait(15000) || !watcher.registeredItems().isEmpty());
        TrayItemClient item(watcher.registeredItems().first());
        QTRY_VERIFY_WITH_TIMEOUT(item.labels().contains(QStringLiteral("Quit Orvelquin")), 10000);
        stopAgent(agent);
        QCOMPARE(agent.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "tst_tray.moc"
