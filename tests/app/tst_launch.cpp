// The real agent binary: one instance at a time through its lock file, orderly shutdown on a
// signal, and stored credentials that a keyring it cannot read keeps.
#include "../PrivateKeyring.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <memory>

namespace {

const QStringList kKeys = {u"accessToken"_qs, u"email"_qs, u"deviceId"_qs, u"deviceToken"_qs};
const QTemporaryDir kRuntime;
const QString kLock = kRuntime.filePath(u"orvelquin-desktop.pid"_qs);

struct Agent {
    explicit Agent(QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) {
        env.insert(u"XDG_RUNTIME_DIR"_qs, kRuntime.path());
        env.insert(u"QT_QPA_PLATFORM"_qs, u"offscreen"_qs);
        env.insert(u"QT_LOGGING_RULES"_qs, u"orvelquin.keychain.debug=true"_qs);
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(ORVELQUIN_AGENT_BINARY), {});
    }
    bool holdsTheLock() const {
        QFile lock(kLock);
        return lock.open(QIODevice::ReadOnly) && lock.readAll() == QByteArray::number(process.processId());
    }
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

private Q_SLOTS:
    // Agents started in the same instant all reach the lock together: exactly one stays, and the
    // lock names it. Every other round it is SIGKILLed, and the next round takes its stale lock.
    void simultaneousStartsLeaveOneAgent() {
        for (int round = 0; round < 20; ++round) {
            std::array<Agent, 5> agents;
            QTRY_COMPARE_WITH_TIMEOUT(std::ranges::count_if(agents, &Agent::running), 1, 20000);
            Agent& survivor = *std::ranges::find_if(agents, &Agent::running);
            QTRY_VERIFY_WITH_TIMEOUT(survivor.holdsTheLock(), 10000);
            for (const Agent& agent : agents) { // the others refused, cleanly
                QVERIFY(&agent == &survivor || agent.exitedCleanly());
            }
            const int signal = round % 2 ? SIGKILL : SIGTERM;
            QVERIFY2(survivor.stops(signal), qPrintable(QString::number(round)));
            QCOMPARE(QFile::exists(kLock), signal == SIGKILL);
        }
    }

    // Stored credentials in a locked keyring, whichever keyring is the default, whose unlock is
    // refused at once or prompted for and never answered (the user is away at login): the agent
    // runs signed out, quits on any of the signals with its lock removed, and writes nothing over
    // them. Reading them back once unlocked is tst_keychainstore's.
    void lockedKeyringLosesNothing_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<bool>("inOther");
        QTest::addColumn<bool>("otherIsDefault");
        for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
            QTest::addRow("SIG%s, unlock prompt open", sigabbrev_np(signal)) << signal << true << false << false;
        }
        QTest::newRow("locked default keyring") << SIGTERM << false << false << false;
        QTest::newRow("locked keyring, another is the default") << SIGTERM << false << true << false;
        QTest::newRow("locked keyring that is the default") << SIGTERM << false << true << true;
    }

    void lockedKeyringLosesNothing() {
        QFETCH(int, signal);
        QFETCH(bool, prompt);
        QFETCH(bool, inOther);
        QFETCH(bool, otherIsDefault);
        PrivateKeyring keyring;
        const QString other = keyring.createCollection(u"other"_qs);
        const QString collection = inOther ? other : PrivateKeyring::login();
        for (const QString& key : kKeys) {
            QVERIFY(keyring.secretTool(collection, key, key.toUtf8() + "-kept"));
        }
        QVERIFY(keyring.setDefault(otherIsDefault ? other : PrivateKeyring::login()) && keyring.lock(collection));
        {
            const auto prompter = prompt ? std::make_unique<Prompter>(keyring.address) : nullptr;
            Agent agent(keyring.environment);
            QTRY_VERIFY_WITH_TIMEOUT(agent.holdsTheLock(), 10000);
            QTRY_VERIFY_WITH_TIMEOUT(prompt ? prompter->opened > 0 : agent.logged(" failed") >= kKeys.size(), 10000);
            QVERIFY(agent.stops(signal) && !QFile::exists(kLock));
            QCOMPARE(agent.logged("keychain: stored ") + agent.logged("keychain: cleared ") + agent.logged("storing "),
                     0);
        }
        QVERIFY(keyring.unlock(collection));
        for (const QString& key : kKeys) {
            QCOMPARE(keyring.values(key), QList<QByteArray>{key.toUtf8() + "-kept"});
        }
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "tst_launch.moc"
