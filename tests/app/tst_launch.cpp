// The real agent binary: one instance at a time through its lock file, orderly shutdown on a
// signal, and stored credentials that a keyring it cannot read keeps.
#include "PrivateKeyring.h"

#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <memory>

namespace {

const QStringList kKeys = {QStringLiteral("accessToken"), QStringLiteral("email"), QStringLiteral("deviceId"),
                           QStringLiteral("deviceToken")};

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QProcessEnvironment agentEnvironment(const QString& runtimeDir, const QString& bus = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("orvelquin.keychain.debug=true"));
    if (!bus.isEmpty()) {
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
    }
    return env;
}

struct Agent {
    explicit Agent(const QProcessEnvironment& env, const QString& program = QStringLiteral(ORVELQUIN_AGENT_BINARY),
                   const QString& workingDirectory = {}) {
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(workingDirectory);
        process.start(program, {});
    }
    QByteArray pid() const { return QByteArray::number(process.processId()); }
    qsizetype logged(const char* text) {
        log += process.readAllStandardError();
        return log.count(text);
    }
    bool wrote() {
        return logged("keychain: stored ") + logged("keychain: cleared ") + logged("keychain: storing ") > 0;
    }
    bool stopsCleanly(int signal) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
    QProcess process; // its destructor kills and reaps an agent still running
    QByteArray log;
};

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_runtime;
    QString m_lock;

private Q_SLOTS:
    void init() {
        m_runtime = std::make_unique<QTemporaryDir>();
        m_lock = m_runtime->filePath(QStringLiteral("orvelquin-desktop.pid"));
    }

    // An unlock prompt nobody answers (the user is away at login) must not hold shutdown up either.
    void shutdownSignalsRemoveTheLock_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("promptOpen");
        const std::pair<const char*, int> kinds[] = {{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
        for (bool promptOpen : {false, true}) {
            for (const auto& [name, signal] : kinds) {
                QTest::addRow("%s%s", name, promptOpen ? ", unlock prompt open" : "") << signal << promptOpen;
            }
        }
    }

    void shutdownSignalsRemoveTheLock() {
        QFETCH(int, signal);
        QFETCH(bool, promptOpen);
        std::unique_ptr<PrivateKeyring> keyring;
        std::unique_ptr<Prompter> prompter;
        if (promptOpen) {
            keyring = std::make_unique<PrivateKeyring>();
            QVERIFY(keyring->isReady());
            QVERIFY(keyring->secretTool(PrivateKeyring::login(), QStringLiteral("accessToken"), "at_kept"));
            QVERIFY(keyring->lock(PrivateKeyring::login()));
            prompter = std::make_unique<Prompter>(keyring->bus(), Prompter::Answer::Never);
        }
        Agent agent(agentEnvironment(m_runtime->path(), keyring ? keyring->address() : QString()));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), agent.pid(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!prompter || prompter->opened > 0, 10000);
        QVERIFY(agent.stopsCleanly(signal));
        QVERIFY(!QFile::exists(m_lock));
        if (keyring) { // the prompt, closed after the agent is gone, leaves the item intact
            prompter.reset();
            QCOMPARE(keyring->values(QStringLiteral("accessToken")), QList<QByteArray>{"at_kept"});
        }
    }

    // A running agent turns a second launch away, wherever either was started from; a SIGKILLed one
    // leaves its lock file behind; a file that names another process is not ours.
    void staleOrForeignLock_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("second launch refused") << QStringLiteral("second");
        QTest::newRow("second launch refused, first started from another path") << QStringLiteral("second, copy");
        QTest::newRow("agent SIGKILLed, next launch takes over") << QStringLiteral("kill");
        QTest::newRow("replaced by another file, kept at quit") << QStringLiteral("replace");
        QTest::newRow("rewritten in place, kept at quit") << QStringLiteral("rewrite");
    }

    void staleOrForeignLock() {
        QFETCH(QString, change);
        QTemporaryDir elsewhere;
        const QString copy = elsewhere.filePath(QStringLiteral("orvelquin-desktop"));
        QVERIFY(!change.endsWith(u"copy") || QFile::copy(QStringLiteral(ORVELQUIN_AGENT_BINARY), copy));
        auto agent = std::make_unique<Agent>(agentEnvironment(m_runtime->path()),
                                             change.endsWith(u"copy") ? copy : QStringLiteral(ORVELQUIN_AGENT_BINARY));
        QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), agent->pid(), 10000);
        if (change.startsWith(u"second")) {
            Agent second(agentEnvironment(m_runtime->path()));
            QVERIFY(second.process.waitForFinished(10000) && second.process.exitCode() == 0);
            QCOMPARE(readFile(m_lock), agent->pid());
            QCOMPARE(agent->process.state(), QProcess::Running);
            return;
        }
        if (change == QStringLiteral("kill")) {
            agent.reset();
            QVERIFY(QFile::exists(m_lock));
            Agent next(agentEnvironment(m_runtime->path()));
            QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), next.pid(), 10000);
            return;
        }
        const QByteArray other = QByteArray::number(QCoreApplication::applicationPid());
        const QString written =
            change == QStringLiteral("replace") ? m_runtime->filePath(QStringLiteral("next")) : m_lock;
        QFile file(written);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(other) == other.size());
        file.close();
        QVERIFY(written == m_lock || ::rename(QFile::encodeName(written), QFile::encodeName(m_lock)) == 0);
        QVERIFY(agent->stopsCleanly(SIGTERM));
        QCOMPARE(readFile(m_lock), other);
    }

    // Agents started in the same instant all reach the lock together; exactly one may stay.
    void simultaneousStartsLeaveOneAgent() {
        for (int round = 0; round < 20; ++round) {
            std::array<std::unique_ptr<Agent>, 5> agents;
            for (auto& agent : agents) {
                agent = std::make_unique<Agent>(agentEnvironment(m_runtime->path()));
            }
            const auto running = [&agents] {
                QList<Agent*> found;
                for (const auto& agent : agents) {
                    found << (agent->process.state() != QProcess::NotRunning ? QList{agent.get()} : QList<Agent*>());
                }
                return found;
            };
            QTRY_COMPARE_WITH_TIMEOUT(running().size(), 1, 20000);
            QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), running().first()->pid(), 10000);
            for (const auto& agent : agents) {
                QVERIFY(agent->process.state() != QProcess::NotRunning || agent->process.exitCode() == 0);
            }
            QVERIFY2(running().first()->stopsCleanly(SIGTERM), qPrintable(QString::number(round)));
            QVERIFY2(!QFile::exists(m_lock), qPrintable(QString::number(round)));
        }
    }

    // Without a usable runtime directory, and with Qt's own fallback under the temporary directory
    // taken by a stray file, the lock goes to a private directory, never the working directory.
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
        QVERIFY(QDir(tmp.path()).mkdir(QStringLiteral("shared")));
        QVERIFY(QFile::setPermissions(tmp.filePath(QStringLiteral("shared")), QFileDevice::Permissions(0x7777)));
        QProcessEnvironment env = agentEnvironment(tmp.filePath(runtimeDir));
        env.insert(QStringLiteral("TMPDIR"), tmp.path());
        if (runtimeDir.isEmpty()) {
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        }
        const QString privateDir = tmp.filePath(QStringLiteral("orvelquin-desktop-%1").arg(::geteuid()));
        const QString lock = privateDir + QStringLiteral("/orvelquin-desktop.pid");
        Agent agent(env, QStringLiteral(ORVELQUIN_AGENT_BINARY), workingDir.path());
        QTRY_COMPARE_WITH_TIMEOUT(readFile(lock), agent.pid(), 10000);
        // The directory's mode and the other fallbacks are tst_singleinstancelock's.
        QVERIFY(QDir(workingDir.path()).isEmpty() && QDir(tmp.filePath(QStringLiteral("shared"))).isEmpty());
        QVERIFY(agent.stopsCleanly(SIGTERM));
        QVERIFY(!QFile::exists(lock));
    }

    // Stored credentials in a keyring the agent cannot read (no Secret Service on the bus, or a
    // locked keyring whose unlock is refused, whichever is the default): the agent runs signed out,
    // writes nothing over them, and the next launch with the keyring readable finds them all.
    void lockedKeyringLosesNothing_data() {
        QTest::addColumn<QString>("locked");
        QTest::addColumn<bool>("otherIsDefault");
        QTest::newRow("no Secret Service on the bus") << QString() << false;
        QTest::newRow("locked default keyring") << QStringLiteral("login") << false;
        QTest::newRow("locked keyring, another is the default") << QStringLiteral("other") << false;
        QTest::newRow("locked keyring that is the default") << QStringLiteral("other") << true;
    }

    void lockedKeyringLosesNothing() {
        QFETCH(QString, locked);
        QFETCH(bool, otherIsDefault);
        PrivateKeyring keyring;
        QVERIFY(keyring.isReady());
        const QString other = keyring.createCollection(QStringLiteral("other"));
        const QString collection = locked == QStringLiteral("other") ? other : PrivateKeyring::login();
        for (const QString& key : kKeys) {
            QVERIFY(keyring.secretTool(collection, key, key.toUtf8() + "-kept"));
        }
        QVERIFY(keyring.setDefault(otherIsDefault ? other : PrivateKeyring::login()));
        QVERIFY(locked.isEmpty() || keyring.lock(collection));
        PrivateBus empty;
        {
            Prompter prompter(keyring.bus(), Prompter::Answer::Refuse);
            Agent agent(agentEnvironment(m_runtime->path(), locked.isEmpty() ? empty.address() : keyring.address()));
            QTRY_VERIFY_WITH_TIMEOUT(agent.logged(" failed") >= kKeys.size(), 10000);
            QVERIFY(agent.stopsCleanly(SIGTERM));
            QVERIFY2(!agent.wrote(), agent.log.constData());
        }
        QVERIFY(keyring.unlock(collection));
        Agent next(agentEnvironment(m_runtime->path(), keyring.address()));
        QTRY_VERIFY_WITH_TIMEOUT(next.logged("keychain: read ") >= kKeys.size(), 10000);
        QVERIFY(next.stopsCleanly(SIGTERM));
        for (const QString& key : kKeys) {
            QCOMPARE(keyring.values(key), QList<QByteArray>{key.toUtf8() + "-kept"});
        }
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
