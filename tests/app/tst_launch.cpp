// Launches the real agent binary: lock file, refusal of a second instance, simultaneous starts,
// orderly shutdown on a signal, and the credential write-back against the session's real Secret
// Service.
#include "PrivateKeyring.h"
#include "SecretServiceItems.h"
#include "platform/SecretStore.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <memory>

using orvelquin::platform::SecretLookup;

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QProcessEnvironment agentEnvironment(const QString& runtimeDir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

class Agent {
public:
    explicit Agent(const QString& runtimeDir, const QString& program = QStringLiteral(ORVELQUIN_AGENT_BINARY),
                   const QString& sessionBus = {}) {
        QProcessEnvironment env = agentEnvironment(runtimeDir);
        if (!sessionBus.isEmpty()) {
            env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), sessionBus);
        }
        start(env, program);
    }
    Agent(const QProcessEnvironment& env, const QString& workingDirectory) {
        m_process.setWorkingDirectory(workingDirectory);
        start(env, QStringLiteral(ORVELQUIN_AGENT_BINARY));
    }
    ~Agent() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    QProcess& process() { return m_process; }
    QByteArray pid() const { return QByteArray::number(m_process.processId()); }

    void terminate() {
        ::kill(static_cast<pid_t>(m_process.processId()), SIGTERM);
        QVERIFY(m_process.waitForFinished(10000));
        QCOMPARE(m_process.exitCode(), 0);
    }

private:
    void start(const QProcessEnvironment& env, const QString& program) {
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(program, {});
    }

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

    // Agents started in the same instant all reach the lock together; exactly one may stay.
    void simultaneousStartsLeaveOneAgent() {
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        for (int round = 0; round < 20; ++round) {
            std::array<std::unique_ptr<Agent>, 5> agents;
            for (auto& agent : agents) {
                agent = std::make_unique<Agent>(runtime.path());
            }
            // The refused agents end on their own; the one that stays is the one the lock names.
            const auto ended = [&agents] {
                return std::count_if(agents.begin(), agents.end(), [](const auto& agent) {
                    return agent->process().state() == QProcess::NotRunning;
                });
            };
            QTRY_VERIFY2_WITH_TIMEOUT(ended() == int(agents.size()) - 1,
                                      qPrintable(QStringLiteral("round %1: %2 of 5 ended").arg(round).arg(ended())),
                                      20000);
            const auto running = std::find_if(agents.begin(), agents.end(), [](const auto& agent) {
                return agent->process().state() != QProcess::NotRunning;
            });
            QVERIFY(running != agents.end());
            QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), (*running)->pid(), 10000);
            for (const auto& agent : agents) {
                QCOMPARE(agent->process().exitCode(), 0);
            }
            (*running)->terminate();
            QVERIFY2(!QFile::exists(lockPath), qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    // Whoever put their own pid into the lock file (an older agent, the user) keeps the file when
    // the agent that wrote it first quits.
    void quittingLeavesALockThatNoLongerNamesIt_data() {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("replaced by another file") << true;
        QTest::newRow("rewritten in place") << false;
    }

    void quittingLeavesALockThatNoLongerNamesIt() {
        QFETCH(bool, replaced);
        QTemporaryDir runtime;
        const QString lockPath = runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));
        Agent agent(runtime.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
        const QByteArray other = QByteArray::number(QCoreApplication::applicationPid());
        if (replaced) {
            const QString next = runtime.filePath(QStringLiteral("next"));
            QFile file(next);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(other);
            file.close();
            QVERIFY(::rename(QFile::encodeName(next).constData(), QFile::encodeName(lockPath).constData()) == 0);
        } else {
            QFile file(lockPath);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(other);
        }
        agent.terminate();
        QCOMPARE(readFile(lockPath), other);
    }

    // Without a usable runtime directory, and with Qt's own fallback under the temporary directory
    // taken by a stray file, the lock goes to a private directory instead of the working directory.
    void noUsableRuntimeDirectoryLocksInAPrivateOne_data() {
        QTest::addColumn<QString>("runtimeDir");
        QTest::newRow("unset") << QString();
        QTest::newRow("writable by everyone") << QStringLiteral("shared");
    }

    void noUsableRuntimeDirectoryLocksInAPrivateOne() {
        QFETCH(QString, runtimeDir);
        QTemporaryDir tmp;
        QTemporaryDir workingDir;
        const passwd* user = ::getpwuid(::geteuid());
        QVERIFY(user);
        QFile stray(tmp.filePath(QStringLiteral("runtime-") + QString::fromLocal8Bit(user->pw_name)));
        QVERIFY(stray.open(QIODevice::WriteOnly));
        stray.close();
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("shared")));
        QVERIFY(QFile::setPermissions(tmp.filePath(QStringLiteral("shared")), QFileDevice::Permissions(0x7777)));

        QProcessEnvironment env = agentEnvironment(QString());
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        if (runtimeDir.isEmpty()) {
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        } else {
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp.filePath(runtimeDir));
        }
        const QString privateDir = tmp.filePath(QStringLiteral("orvelquin-desktop-%1").arg(::geteuid()));
        const QString lockPath = privateDir + QStringLiteral("/orvelquin-desktop.pid");
        Agent agent(env, workingDir.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lockPath), agent.pid(), 10000);
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(privateDir).constData(), &info), 0);
        QVERIFY(S_ISDIR(info.st_mode));
        QCOMPARE(info.st_mode & 0777, mode_t(0700));
        QCOMPARE(info.st_uid, ::geteuid());
        QVERIFY(QDir(workingDir.path()).isEmpty());
        QVERIFY(QDir(tmp.filePath(QStringLiteral("shared"))).isEmpty());
        agent.terminate();
        QVERIFY(!QFile::exists(lockPath));
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
