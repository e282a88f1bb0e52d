// Launches the real agent binary: lock file, refusal of a second instance, orderly shutdown on a
// signal, and the credential write-back against the session's real Secret Service.
#include "PrivateKeyring.h"
#include "SecretServiceItems.h"
#include "platform/SecretStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using orvelquin::platform::SecretLookup;

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Agent {
public:
    explicit Agent(const QString& runtimeDir, const QString& program = QStringLiteral(ORVELQUIN_AGENT_BINARY),
                   const QString& sessionBus = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        if (!sessionBus.isEmpty()) {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), sessionBus);
        }
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {});
    }
    ~Agent() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QProcess& process() { return m_process; }
    QByteArray pid() const { return QByteArray::number(m_process.processId()); }

private:
    QProcess m_process;
};

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { m_secrets = orvelquin::platform::createSecretStore(); }

    void init() { clearCredentialItems(); }

    void firstLaunchTakesLockAndWritesFourEmptyItems() {
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        Agent agent(runtime.path());
        QVERIFY(agent.process().waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
        for (const QString& key : kCredentialKeys) {
            QTRY_COMPARE_WITH_TIMEOUT(QCoro::waitFor(m_secrets->lookup(key)).status, SecretLookup::Status::Found,
                                      10000);
            QCOMPARE(QCoro::waitFor(m_secrets->lookup(key)).bytes, QByteArray());
        }

        ::kill(static_cast<pid_t>(agent.process().processId()), SIGTERM);
        QVERIFY(agent.process().waitForFinished(10000));
        QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.process().exitCode(), 0);
        QVERIFY(!QFile::exists(lockPath));
    }

    void storedCredentialsSurviveLaunch() {
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("email"), "zoë@exämple.test")).stored);
        QVERIFY(QCoro::waitFor(m_secrets->store(QStringLiteral("deviceToken"), "dt_123")).stored);
        QTemporaryDir runtime;
        Agent agent(runtime.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(runtime.filePath(QStringLiteral("orvelquin-desktop.pid"))), agent.pid(),
                                  10000);
        QTRY_COMPARE_WITH_TIMEOUT(QCoro::waitFor(m_secrets->lookup(QStringLiteral("deviceId"))).status,
                                  SecretLookup::Status::Found, 10000);
        QCOMPARE(QCoro::waitFor(m_secrets->lookup(QStringLiteral("email"))).bytes, QByteArray("zoë@exämple.test"));
        QCOMPARE(QCoro::waitFor(m_secrets->lookup(QStringLiteral("deviceToken"))).bytes, QByteArray("dt_123"));
    }

    // A session bus with nothing on it and nothing to start: a desktop whose keyring is not up.
    void secretServiceMissingAtLaunchDestroysNothing() {
        const QList<std::pair<QString, QByteArray>> stored = {{QStringLiteral("accessToken"), "at_keep"},
                                                              {QStringLiteral("email"), "ana@example.test"},
                                                              {QStringLiteral("deviceId"), "d-keep"},
                                                              {QStringLiteral("deviceToken"), "dt_keep"}};
        for (const auto& [key, value] : stored) {
            QVERIFY(QCoro::waitFor(m_secrets->store(key, value)).stored);
        }
        QTemporaryDir busDir;
        QFile config(busDir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                     "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                     "<busconfig><type>session</type><listen>unix:dir=" +
                     QFile::encodeName(busDir.path()) +
                     "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\"/>"
                     "<allow receive_sender=\"*\"/><allow own=\"*\"/></policy></busconfig>\n");
        config.close();
        QProcess bus;
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                  QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 10000);
        const QString address = QString::fromUtf8(bus.readLine().trimmed());

        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        {
            Agent agent(runtime.path(), QStringLiteral(ORVELQUIN_AGENT_BINARY), address);
            QVERIFY(agent.process().waitForStarted());
            QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
            QTest::qWait(300);
            QCOMPARE(agent.process().state(), QProcess::Running);
            ::kill(static_cast<pid_t>(agent.process().processId()), SIGTERM);
            QVERIFY(agent.process().waitForFinished(10000));
            QCOMPARE(agent.process().exitCode(), 0);
        }
        for (const auto& [key, value] : stored) {
            QCOMPARE(QCoro::waitFor(m_secrets->lookup(key)).bytes, value);
        }

        // With the keyring back, the next launch finds everything where it was.
        {
            Agent agent(runtime.path());
            QVERIFY(agent.process().waitForStarted());
            QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
            QTest::qWait(300);
            ::kill(static_cast<pid_t>(agent.process().processId()), SIGTERM);
            QVERIFY(agent.process().waitForFinished(10000));
        }
        for (const auto& [key, value] : stored) {
            QCOMPARE(QCoro::waitFor(m_secrets->lookup(key)).bytes, value);
        }
        bus.terminate();
        bus.waitForFinished();
    }

    // Stored credentials in a keyring whose unlock the user refuses, whichever keyring is the
    // default: the agent runs signed out and writes nothing over them.
    void lockedKeyringLosesNothing_data() {
        QTest::addColumn<bool>("inOtherCollection");
        QTest::addColumn<bool>("otherIsDefault");
        QTest::newRow("locked default keyring") << false << false;
        QTest::newRow("locked keyring, another is the default") << true << false;
        QTest::newRow("locked keyring that is the default") << true << true;
    }

    void lockedKeyringLosesNothing() {
        QFETCH(bool, inOtherCollection);
        QFETCH(bool, otherIsDefault);
        PrivateKeyring keyring;
        QVERIFY(keyring.isReady());
        const QString other = keyring.createCollection(QStringLiteral("other"));
        const QString collection = inOtherCollection ? other : PrivateKeyring::login();
        for (const QString& key : kCredentialKeys) {
            QVERIFY(keyring.secretTool(collection, key, key.toUtf8() + "-kept"));
        }
        QVERIFY(keyring.setDefault(otherIsDefault ? other : PrivateKeyring::login()));
        QVERIFY(keyring.lock(collection));
        Prompter prompter(keyring.bus(), Prompter::Answer::Refuse);

        QTemporaryDir runtime;
        Agent agent(runtime.path(), QStringLiteral(ORVELQUIN_AGENT_BINARY), keyring.address());
        // One refused unlock for each of the four reads.
        QTRY_VERIFY_WITH_TIMEOUT(prompter.opened >= kCredentialKeys.size(), 10000);
        ::kill(static_cast<pid_t>(agent.process().processId()), SIGTERM);
        QVERIFY(agent.process().waitForFinished(10000));
        QCOMPARE(agent.process().exitCode(), 0);
        for (const QString& key : kCredentialKeys) {
            QCOMPARE(keyring.values(key), QList<QByteArray>{key.toUtf8() + "-kept"});
        }
    }

    // An unlock prompt nobody answers (the user is away at login) must not hold the agent up.
    void openPromptDoesNotHoldUpShutdown_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void openPromptDoesNotHoldUpShutdown() {
        QFETCH(int, signal);
        PrivateKeyring keyring;
        QVERIFY(keyring.isReady());
        QVERIFY(keyring.secretTool(PrivateKeyring::login(), QStringLiteral("accessToken"), "at_kept"));
        QVERIFY(keyring.lock(PrivateKeyring::login()));
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        {
            Prompter prompter(keyring.bus(), Prompter::Answer::Never);
            Agent agent(runtime.path(), QStringLiteral(ORVELQUIN_AGENT_BINARY), keyring.address());
            QTRY_VERIFY_WITH_TIMEOUT(prompter.opened > 0, 10000);
            QCOMPARE(readFile(lockPath), agent.pid());
            ::kill(static_cast<pid_t>(agent.process().processId()), signal);
            QVERIFY(agent.process().waitForFinished(10000));
            QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
            QCOMPARE(agent.process().exitCode(), 0);
            QVERIFY(!QFile::exists(lockPath));
        }
        // The prompt, closed by the user after the agent is gone, leaves keyring and item intact.
        QCOMPARE(keyring.values(QStringLiteral("accessToken")), QList<QByteArray>{"at_kept"});
    }

    void secondInstanceExitsQuietlyAndLeavesTheLock_data() {
        QTest::addColumn<bool>("firstFromOtherPath");
        QTest::newRow("same binary") << false;
        QTest::newRow("first agent started from another path") << true;
    }

    void secondInstanceExitsQuietlyAndLeavesTheLock() {
        QFETCH(bool, firstFromOtherPath);
        QTemporaryDir runtime;
        QTemporaryDir elsewhere;
        QString firstProgram = QStringLiteral(ORVELQUIN_AGENT_BINARY);
        if (firstFromOtherPath) {
            const QString copy = elsewhere.filePath(QStringLiteral("orvelquin-desktop"));
            QVERIFY(QFile::copy(firstProgram, copy));
            firstProgram = copy;
        }
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        Agent first(runtime.path(), firstProgram);
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), first.pid(), 10000);

        Agent second(runtime.path());
        QVERIFY(second.process().waitForFinished(2000));
        QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.process().exitCode(), 0);
        QCOMPARE(readFile(lockPath), first.pid());
        QCOMPARE(first.process().state(), QProcess::Running);
    }

    void forcedKillLeavesALockTheNextLaunchTakesOver() {
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        {
            Agent crashed(runtime.path());
            QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), crashed.pid(), 10000);
            crashed.process().kill();
            QVERIFY(crashed.process().waitForFinished());
        }
        QVERIFY(QFile::exists(lockPath));
        Agent next(runtime.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), next.pid(), 10000);
    }

    void shutdownSignalsRemoveTheLock_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGHUP") << SIGHUP;
    }

    void shutdownSignalsRemoveTheLock() {
        QFETCH(int, signal);
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        Agent agent(runtime.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
        ::kill(static_cast<pid_t>(agent.process().processId()), signal);
        QVERIFY(agent.process().waitForFinished(10000));
        QCOMPARE(agent.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.process().exitCode(), 0);
        QVERIFY(!QFile::exists(lockPath));
    }

private:
    std::unique_ptr<orvelquin::platform::SecretStore> m_secrets;
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
