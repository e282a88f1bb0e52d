// The real agent binary: one instance at a time through its lock file, orderly shutdown on a
// signal, and stored credentials that a keyring it cannot read keeps.
#include "PrivateKeyring.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

const QStringList kKeys = {QStringLiteral("accessToken"), QStringLiteral("email"), QStringLiteral("deviceId"),
                           QStringLiteral("deviceToken")};

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Agent {
    explicit Agent(const QString& runtimeDir, const QString& bus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("orvelquin.keychain.debug=true"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(ORVELQUIN_AGENT_BINARY), {});
    }
    QByteArray pid() const { return QByteArray::number(process.processId()); }
    bool running() const { return process.state() != QProcess::NotRunning; }
    qsizetype logged(const char* text) { return (log += process.readAllStandardError()).count(text); }
    bool stops(int signal) { // SIGKILL aside, cleanly
        ::kill(static_cast<pid_t>(process.processId()), signal);
        return process.waitForFinished(10000) && (signal == SIGKILL || exitedCleanly());
    }
    bool exitedCleanly() const { return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0; }
    QProcess process; // its destructor kills and reaps an agent still running
    QByteArray log;
};

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

    QTemporaryDir m_runtime;
    const QString m_lock = m_runtime.filePath(QStringLiteral("orvelquin-desktop.pid"));

private Q_SLOTS:
    // An unlock prompt nobody answers (the user is away at login) holds up neither the launch nor
    // shutdown, and the prompt closed after the agent is gone leaves the item intact.
    void shutdownSignalsRemoveTheLock_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM, unlock prompt open") << SIGTERM;
        QTest::newRow("SIGINT, unlock prompt open") << SIGINT;
        QTest::newRow("SIGHUP, unlock prompt open") << SIGHUP;
    }

    void shutdownSignalsRemoveTheLock() {
        QFETCH(int, signal);
        PrivateKeyring keyring;
        QVERIFY(keyring.isReady());
        QVERIFY(keyring.secretTool(PrivateKeyring::login(), QStringLiteral("accessToken"), "at_kept"));
        QVERIFY(keyring.lock(PrivateKeyring::login()));
        {
            Prompter prompter(keyring.address);
            Agent agent(m_runtime.path(), keyring.address);
            QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), agent.pid(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(prompter.opened > 0, 10000);
            QVERIFY(agent.stops(signal));
            QVERIFY(!QFile::exists(m_lock));
        }
        QVERIFY(keyring.unlock(PrivateKeyring::login()));
        QCOMPARE(keyring.values(QStringLiteral("accessToken")), QList<QByteArray>{"at_kept"});
    }

    // Agents started in the same instant all reach the lock together: exactly one stays, and the
    // lock names it. Every other round it is SIGKILLed, and the next round takes its stale lock.
    void simultaneousStartsLeaveOneAgent() {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::unique_ptr<Agent>> agents;
            for (int i = 0; i < 5; ++i) {
                agents.push_back(std::make_unique<Agent>(m_runtime.path()));
            }
            const auto running = [&agents] {
                return std::count_if(agents.begin(), agents.end(), [](const auto& agent) { return agent->running(); });
            };
            QTRY_COMPARE_WITH_TIMEOUT(running(), 1, 20000);
            Agent& survivor = **std::find_if(agents.begin(), agents.end(), [](const auto& a) { return a->running(); });
            QTRY_COMPARE_WITH_TIMEOUT(readFile(m_lock), survivor.pid(), 10000);
            for (const auto& agent : agents) { // the others refused, cleanly
                QVERIFY(agent.get() == &survivor || agent->exitedCleanly());
            }
            const int signal = round % 2 ? SIGKILL : SIGTERM;
            QVERIFY2(survivor.stops(signal), qPrintable(QString::number(round)));
            QCOMPARE(QFile::exists(m_lock), signal == SIGKILL);
        }
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
        const QString collection = locked == u"other" ? other : PrivateKeyring::login();
        for (const QString& key : kKeys) {
            QVERIFY(keyring.secretTool(collection, key, key.toUtf8() + "-kept"));
        }
        QVERIFY(keyring.setDefault(otherIsDefault ? other : PrivateKeyring::login()));
        QVERIFY(locked.isEmpty() || keyring.lock(collection));
        const PrivateBus empty;
        Agent agent(m_runtime.path(), locked.isEmpty() ? empty.address : keyring.address);
        QTRY_VERIFY_WITH_TIMEOUT(agent.logged(" failed") >= kKeys.size(), 10000);
        QVERIFY(agent.stops(SIGTERM));
        QCOMPARE(agent.logged("keychain: stored ") + agent.logged("keychain: cleared ") + agent.logged("storing "), 0);
        QVERIFY(keyring.unlock(collection));
        Agent next(m_runtime.path(), keyring.address);
        // Each read is written back: stopped before that ends, a second item could be left behind.
        QTRY_VERIFY_WITH_TIMEOUT(next.logged("keychain: stored ") >= kKeys.size(), 10000);
        QVERIFY(next.stops(SIGTERM));
        QVERIFY2(!next.log.contains("-kept"), "the log names credentials, never their values");
        for (const QString& key : kKeys) {
            QCOMPARE(keyring.values(key), QList<QByteArray>{key.toUtf8() + "-kept"});
        }
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
