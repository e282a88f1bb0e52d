#include "../LogCapture.h"
#include "core/Settings.h"
#include "runtime/SellerRuntimeController.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

using orvelquin::SellerRuntimeController;
using State = SellerRuntimeController::RuntimeState;
using Mode = SellerRuntimeController::Mode;

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeExecutable(const QString& path, const QByteArray& script, bool executable = true) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(script);
    f.close();
    f.setPermissions(executable ? QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                : QFile::ReadOwner | QFile::WriteOwner);
}

// Live processes that carry this device token in their environment (a zombie's reads empty).
QList<qint64> holdersOf(const QString& token) {
    const QByteArray entry = "ORVELQUIN_SELLER_JWT=" + token.toUtf8();
    QList<qint64> holders;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile environ(QStringLiteral("/proc/%1/environ").arg(name));
        if (name.toLongLong() > 0 && environ.open(QIODevice::ReadOnly) &&
            environ.readAll().split('\0').contains(entry)) {
            holders.append(name.toLongLong());
        }
    }
    return holders;
}

SellerRuntimeController::Hooks hostHooks(const QString& resources, std::chrono::milliseconds grace) {
    return {resources, [] { return QDateTime::currentDateTime(); }, [](qint64) { return std::nullopt; }, grace};
}

} // namespace

class TestSellerRuntimeController : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString runtimePath() const { return m_dir.filePath(QStringLiteral("share/runtime/orvelquin-seller-runtime")); }

    SellerRuntimeController::Hooks hooks(const QString& resources) {
        return {resources, [this] { return m_now; }, [this](qint64) { return m_cpu; }};
    }

    QDateTime m_now = QDateTime::currentDateTime();
    std::optional<quint64> m_cpu;
    int m_tokens = 0;

private Q_SLOTS:
    void init() {
        orvelquin::userSettings().remove(QStringLiteral("sellerRuntimePath"));
        QFile::remove(runtimePath());
    }

    void nothingInstalled() {
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QCOMPARE(runtime.mode(), Mode::Unavailable);
        QVERIFY(!runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        QCOMPARE(runtime.state(), State::Error);
        QCOMPARE(runtime.lastError(), std::optional<QString>(QStringLiteral("Runtime not installed")));
        QCOMPARE(runtime.lastTransition(), std::optional<QString>(QStringLiteral("stopped")));
        QVERIFY(!runtime.startedAt());
        QVERIFY(!runtime.pid());
    }

    void bundledRuntimeGetsItsContract() {
        const QString record = m_dir.filePath(QStringLiteral("record.txt"));
        const QByteArray script = "#!/bin/sh\n{ echo \"$@\"; env | grep -E '^ORVELQUIN_(BASE_URL|SELLER_)' | sort; "
                                  "readlink /proc/self/fd/0; } > '" +
                                  record.toUtf8() + "'\nexec sleep 60\n";
        writeExecutable(runtimePath(), script);
        qputenv("ORVELQUIN_SELLER_PROVIDER", "inherited-and-replaced");
        LogCapture log;
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QCOMPARE(runtime.mode(), Mode::Bundled);
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:8787"), QStringLiteral("dt_secret"), 1));
        QCOMPARE(runtime.state(), State::Running);
        QCOMPARE(runtime.lastTransition(), std::optional<QString>(QStringLiteral("started")));
        QVERIFY(runtime.pid().value_or(0) > 0);
        QStringList lines;
        QTRY_COMPARE_WITH_TIMEOUT((lines = QString::fromUtf8(readFile(record)).split(u'\n', Qt::SkipEmptyParts)).size(),
                                  7, 10000);
        const QStringList expected = {
            QStringLiteral("--provider fake --capacity 1"),
            QStringLiteral("ORVELQUIN_BASE_URL=http://127.0.0.1:8787"),
            QStringLiteral("ORVELQUIN_SELLER_CAPACITY=1"),
            QStringLiteral("ORVELQUIN_SELLER_JWT=dt_secret"),
            QStringLiteral("ORVELQUIN_SELLER_PROVIDER=fake"),
            QStringLiteral("ORVELQUIN_SELLER_SELL_ENABLED=false"),
            QStringLiteral("/dev/null"), // its input: nothing the agent could leave open
        };
        qunsetenv("ORVELQUIN_SELLER_PROVIDER");
        QCOMPARE(lines.join(u'|'), expected.join(u'|'));

        // A requested exit leaves the error and the transition as stop() set them.
        runtime.stop();
        QTRY_VERIFY_WITH_TIMEOUT(runtime.findChildren<QProcess*>().isEmpty(), 10000);
        QCOMPARE(runtime.state(), State::Stopped);
        QCOMPARE(runtime.lastTransition(), std::optional<QString>(QStringLiteral("stopped")));
        QVERIFY(!runtime.lastError());
        QVERIFY(runtime.startedAt());
        // The log shows the launch, the stop and the exit, but never the token in its environment.
        QVERIFY2(log.text().contains(
                     QStringLiteral("orvelquin.runtime started %1 --provider fake --capacity 1").arg(runtimePath())),
                 qPrintable(log.text()));
        QVERIFY(log.text().contains(u"orvelquin.runtime stopping pid"));
        QVERIFY(log.text().contains(u"orvelquin.runtime runtime ended by a signal"));
        QVERIFY(!log.text().contains(u"dt_secret"));
    }

    void configuredScriptRunsThroughPython() {
        const QString script = m_dir.filePath(QStringLiteral("runtime.py"));
        const QString record = m_dir.filePath(QStringLiteral("py-record.txt"));
        writeExecutable(script,
                        "import sys, time\nopen(" + ("'" + record.toUtf8() + "'") +
                            ", 'w').write(' '.join(sys.argv[1:]))\ntime.sleep(60)\n",
                        false);
        orvelquin::userSettings().setValue(QStringLiteral("sellerRuntimePath"), script);
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QCOMPARE(runtime.mode(), Mode::CustomPath);
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:8787"), QStringLiteral("t"), 1));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, 10000);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("--provider fake --capacity 1"));
        runtime.stop();
    }

    void launchFailureIsSanitized() {
        writeExecutable(runtimePath(), "not a program", false);
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QVERIFY(!runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        QCOMPARE(runtime.state(), State::Error);
        QCOMPARE(runtime.lastTransition(), std::optional<QString>(QStringLiteral("error")));
        QVERIFY(!runtime.lastError().value_or(QString()).isEmpty());
        QCOMPARE(runtime.lastError()->trimmed(), *runtime.lastError());
    }

    void unrequestedExitIsACrash() {
        writeExecutable(runtimePath(), "#!/bin/sh\nexit 0\n");
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        QTRY_COMPARE_WITH_TIMEOUT(runtime.state(), State::Crashed, 10000);
        QCOMPARE(runtime.lastError(), std::optional<QString>(QStringLiteral("Runtime exited unexpectedly")));
        QCOMPARE(runtime.lastTransition(), std::optional<QString>(QStringLiteral("crashed")));
        QVERIFY(!runtime.pid());
    }

    void lateExitOfAStoppedRuntimeLeavesTheNewOneAlone() {
        // The first runtime takes a while to exit after SIGTERM; the second starts meanwhile.
        writeExecutable(runtimePath(),
                        "#!/bin/sh\ntrap 'sleep 0.3; touch \"$0.$$\"; exit 0' TERM\necho $$ > \"$0.ready\"\n"
                        "while :; do sleep 0.1; done\n");
        const QString ready = runtimePath() + QStringLiteral(".ready");
        QFile::remove(ready);
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(ready).isEmpty(), 10000);
        const QString firstGone = runtimePath() + u'.' + QString::fromUtf8(readFile(ready).trimmed());
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        const qint64 second = runtime.pid().value_or(0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(firstGone), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(runtime.findChildren<QProcess*>().size(), 1, 10000);
        QCOMPARE(runtime.state(), State::Running);
        QCOMPARE(runtime.pid().value_or(0), second);
        runtime.stop();
    }

    void agentShutdownLetsTheRuntimeFinish() {
        writeExecutable(runtimePath(), "#!/bin/sh\ntrap 'echo clean > \"$0.finished\"; exit 0' TERM\n"
                                       "touch \"$0.ready\"\nwhile :; do sleep 0.1; done\n");
        const QString ready = runtimePath() + QStringLiteral(".ready");
        const QString finished = runtimePath() + QStringLiteral(".finished");
        QFile::remove(ready);
        QFile::remove(finished);
        {
            SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
            QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ready), 10000);
            runtime.stop();
        }
        QVERIFY(QFile::exists(finished));
    }

    // Whatever the runtime started holds the device token as well: it ends with the runtime on
    // stop, at the agent's exit and with a SIGKILLed agent, even where SIGTERM is ignored.
    void nothingOfTheRuntimeOutlivesIt_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QByteArray>("script");
        // The grandchild reports ready only once it is in place, ignoring SIGTERM like its parent.
        const QByteArray deaf = "#!/bin/sh\ntrap '' TERM\nsh -c 'touch \"$0\"; exec sleep 600' \"$0.ready\" &\nwait\n";
        const QByteArray obedientParent = "#!/bin/sh\ntrap 'exit 0' TERM\n"
                                          "sh -c 'trap \"\" TERM; touch \"$0\"; exec sleep 600' \"$0.ready\" &\nwait\n";
        for (const QString& ending :
             {QStringLiteral("stop"), QStringLiteral("shutdown"), QStringLiteral("agent killed")}) {
            QTest::addRow("%s, runtime ignores SIGTERM", qPrintable(ending)) << ending << deaf;
            QTest::addRow("%s, only its child ignores SIGTERM", qPrintable(ending)) << ending << obedientParent;
        }
    }

    void nothingOfTheRuntimeOutlivesIt() {
        QFETCH(QString, ending);
        QFETCH(QByteArray, script);
        writeExecutable(runtimePath(), script);
        const QString ready = runtimePath() + QStringLiteral(".ready");
        QFile::remove(ready);
        const QString token = QStringLiteral("dt_%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_tokens);
        const QString resources = m_dir.filePath(QStringLiteral("share"));
        // Grace short enough that the test never waits on it: only the outcome counts here.
        const std::chrono::milliseconds grace(100);

        if (ending == QStringLiteral("agent killed")) {
            QProcess agent;
            agent.setProcessChannelMode(QProcess::ForwardedChannels);
            agent.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--host-runtime"), resources, token});
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ready), 10000);
            QVERIFY(holdersOf(token).size() >= 2);
            agent.kill();
            QVERIFY(agent.waitForFinished(10000));
        } else {
            auto runtime = std::make_unique<SellerRuntimeController>(hostHooks(resources, grace));
            QVERIFY(runtime->start(QStringLiteral("http://127.0.0.1:1"), token, 1));
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ready), 10000);
            QVERIFY(holdersOf(token).size() >= 2);
            if (ending == QStringLiteral("shutdown")) {
                runtime.reset();
            } else {
                runtime->stop();
                // The exit notification of a runtime that had to be killed is still a requested exit.
                QTRY_VERIFY_WITH_TIMEOUT(runtime->findChildren<QProcess*>().isEmpty(), 10000);
                QCOMPARE(runtime->state(), State::Stopped);
                QCOMPARE(runtime->lastTransition(), std::optional<QString>(QStringLiteral("stopped")));
                QVERIFY(!runtime->lastError());
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(holdersOf(token), QList<qint64>(), 10000);
    }

    void chattyRuntimeKeepsRunning() {
        writeExecutable(runtimePath(),
                        "#!/bin/sh\nhead -c 104857600 /dev/zero\nhead -c 104857600 /dev/zero >&2\nexec sleep 60\n");
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));
        const QString pid = QString::number(*runtime.pid());
        // Past the output the script execs sleep: its command name tells it got through.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed(), QByteArray("sleep"),
                                  30000);
        QCOMPARE(runtime.state(), State::Running);
        runtime.stop();
    }

    void cpuFigureRules() {
        writeExecutable(runtimePath(), "#!/bin/sh\nexec sleep 60\n");
        SellerRuntimeController runtime(hooks(m_dir.filePath(QStringLiteral("share"))));
        QVERIFY(!runtime.cpuUsagePercent());
        QCOMPARE(runtime.uptimeSeconds(), 0);
        QVERIFY(runtime.start(QStringLiteral("http://127.0.0.1:1"), QStringLiteral("t"), 1));

        m_cpu = 1'000'000'000ULL;
        QVERIFY(!runtime.cpuUsagePercent()); // the first reading has nothing to compare with
        m_now = m_now.addSecs(30);
        m_cpu = *m_cpu + 15'000'000'000ULL;
        QCOMPARE(runtime.cpuUsagePercent().value_or(-1), 50.0);
        QCOMPARE(runtime.uptimeSeconds(), 30);

        m_now = m_now.addSecs(30);
        m_cpu = *m_cpu + 90'000'000'000ULL;
        QCOMPARE(runtime.cpuUsagePercent().value_or(-1), 100.0); // several cores still report 100

        m_cpu.reset(); // a failed reading keeps the sample...
        m_now = m_now.addSecs(30);
        QVERIFY(!runtime.cpuUsagePercent());
        m_cpu = 106'000'000'000ULL + 3'000'000'000ULL; // ...so the next one covers both intervals
        m_now = m_now.addSecs(30);
        QCOMPARE(runtime.cpuUsagePercent().value_or(-1), 5.0);

        m_now = m_now.addSecs(-120); // clock set back: no figure, and a new sample
        QVERIFY(!runtime.cpuUsagePercent());
        QCOMPARE(runtime.uptimeSeconds(), 0);
        m_now = m_now.addSecs(10);
        QCOMPARE(runtime.cpuUsagePercent().value_or(-1), 0.0);

        runtime.stop();
        QVERIFY(!runtime.cpuUsagePercent());
    }

    void sanitize_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::newRow("short") << QStringLiteral("Permission denied") << QStringLiteral("Permission denied");
        QTest::newRow("blank lines") << QStringLiteral("\n\n  Exec format error \n")
                                     << QStringLiteral("Exec format error");
        QTest::newRow("300 chars") << QString(300, u'x') << QString(256, u'x') + QChar(0x2026);
        const QString thumb = QStringLiteral("\U0001F44D\U0001F3FD");
        QTest::newRow("emoji with skin tones") << thumb.repeated(300) << thumb.repeated(256) + QChar(0x2026);
    }

    void sanitize() {
        QFETCH(QString, input);
        QFETCH(QString, output);
        QCOMPARE(SellerRuntimeController::sanitize(input), output);
    }
};

// With --host-runtime <resource directory> <token>, the program stands in for an agent that runs
// the runtime until it is killed.
int hostRuntime(const QString& resources, const QString& token) {
    SellerRuntimeController runtime(hostHooks(resources, std::chrono::seconds(3)));
    if (!runtime.start(QStringLiteral("http://127.0.0.1:1"), token, 1)) {
        return 1;
    }
    return QCoreApplication::exec();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (const QStringList args = QCoreApplication::arguments(); args.value(1) == QStringLiteral("--host-runtime")) {
        return hostRuntime(args.value(2), args.value(3));
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Orvelquin"));
    QCoreApplication::setApplicationName(QStringLiteral("orvelquin-desktop-tests"));
    TestSellerRuntimeController test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sellerruntimecontroller.moc"
