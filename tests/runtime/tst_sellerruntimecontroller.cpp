#include "../LogCapture.h"
#include "core/Settings.h"
#include "runtime/SellerRuntimeController.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

using orvelquin::SellerRuntimeController;
using State = SellerRuntimeController::RuntimeState;
using Mode = SellerRuntimeController::Mode;
using namespace Qt::StringLiterals;

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeExecutable(const QString& path, const QByteArray& script, bool executable = true) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(script) == script.size());
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | (executable ? QFile::ExeOwner : QFile::Permission()));
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

} // namespace

class TestSellerRuntimeController : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QDateTime m_now = QDateTime::currentDateTime();
    std::optional<quint64> m_cpu;
    int m_tokens = 0;

    QString share() const { return m_dir.filePath(u"share"_s); }
    QString runtimePath() const { return share() + u"/runtime/orvelquin-seller-runtime"_s; }
    // Installs the bundled runtime; its ".ready" and ".finished" marks start out absent.
    void install(const QByteArray& script, bool executable = true) {
        writeExecutable(runtimePath(), script, executable);
        QFile::remove(runtimePath() + u".ready"_s), QFile::remove(runtimePath() + u".finished"_s);
    }
    SellerRuntimeController::Hooks hooks() {
        // A grace short enough that no test waits on it.
        return {share(), [this] { return m_now; }, [this](qint64) { return m_cpu; }, std::chrono::milliseconds(100)};
    }
    static bool start(SellerRuntimeController& runtime, const QString& token = u"dt_secret"_s) {
        return runtime.start(u"http://127.0.0.1:8787"_s, token, 1);
    }

private Q_SLOTS:
    void init() { orvelquin::userSettings().remove(u"sellerRuntimePath"_s), QFile::remove(runtimePath()); }

    // What each installation launches, and with what: arguments, environment (a provider the agent
    // inherited is replaced), input from /dev/null, never a pipe the agent could leave open.
    void contract_data() {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<Mode>("mode");
        QTest::addColumn<State>("state");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("record");
        const QString args = u"--provider fake --capacity 1"_s;
        QTest::newRow("nothing") << QString() << Mode::Unavailable << State::Error << u"Runtime not installed"_s
                                 << QString();
        QTest::newRow("not a program") << u"junk"_s << Mode::Bundled << State::Error << u"sanitized"_s << QString();
        QTest::newRow("bundled") << u"sh"_s << Mode::Bundled << State::Running << QString()
                                 << args + u"|ORVELQUIN_BASE_URL=http://127.0.0.1:8787|ORVELQUIN_SELLER_CAPACITY=1"
                                           "|ORVELQUIN_SELLER_JWT=dt_secret|ORVELQUIN_SELLER_PROVIDER=fake"
                                           "|ORVELQUIN_SELLER_SELL_ENABLED=false|/dev/null"_s;
        QTest::newRow("configured script") << u"py"_s << Mode::CustomPath << State::Running << QString() << args;
    }

    void contract() {
        QFETCH(QString, installed);
        QFETCH(Mode, mode);
        QFETCH(State, state);
        QFETCH(QString, error);
        QFETCH(QString, record);
        const QString recordPath = m_dir.filePath(u"record.txt"_s);
        QFile::remove(recordPath);
        const QByteArray to = "'" + recordPath.toUtf8() + "'";
        if (installed == u"py") {
            const QString script = m_dir.filePath(u"runtime.py"_s);
            writeExecutable(script,
                            "import sys, time\nopen(" + to +
                                ", 'w').write(' '.join(sys.argv[1:]))\n"
                                "time.sleep(60)\n",
                            false);
            orvelquin::userSettings().setValue(u"sellerRuntimePath"_s, script);
        } else if (!installed.isEmpty()) {
            install(installed == u"junk"
                        ? "not a program"
                        : "#!/bin/sh\n{ echo \"$@\"; env | grep -E '^ORVELQUIN_(BASE_URL|SELLER_)' | sort;"
                          " readlink /proc/self/fd/0; } | paste -sd'|' > " +
                              to + "\nexec sleep 60\n",
                    installed != u"junk");
        }
        qputenv("ORVELQUIN_SELLER_PROVIDER", "inherited-and-replaced");
        const auto unset = qScopeGuard([] { qunsetenv("ORVELQUIN_SELLER_PROVIDER"); });
        LogCapture log;
        SellerRuntimeController runtime(hooks());
        QCOMPARE(runtime.mode(), mode);
        QCOMPARE(start(runtime), state == State::Running);
        QCOMPARE(runtime.state(), state);
        QCOMPARE(runtime.lastTransition(), std::optional(state == State::Running     ? u"started"_s
                                                         : mode == Mode::Unavailable ? u"stopped"_s
                                                                                     : u"error"_s));
        QCOMPARE(runtime.pid().has_value(), state == State::Running);
        const QString reported = runtime.lastError().value_or(QString());
        QVERIFY2(error == u"sanitized" ? !reported.isEmpty() && reported.trimmed() == reported : reported == error,
                 qPrintable(reported));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readFile(recordPath).trimmed()), record, 10000);
        QVERIFY(!log.text().contains(u"dt_secret")); // the token in its environment stays out of the log
    }

    // A requested exit is "stopped", even of a runtime killed after its grace; any other a crash.
    void exitStates_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("stop");
        QTest::addColumn<State>("state");
        QTest::newRow("exits by itself") << QByteArray("#!/bin/sh\nexit 0\n") << false << State::Crashed;
        QTest::newRow("stopped") << QByteArray("#!/bin/sh\nexec sleep 60\n") << true << State::Stopped;
        QTest::newRow("stopped, ignores SIGTERM")
            << QByteArray("#!/bin/sh\ntrap '' TERM\nwhile :; do sleep 1; done\n") << true << State::Stopped;
    }

    void exitStates() {
        QFETCH(QByteArray, script);
        QFETCH(bool, stop);
        QFETCH(State, state);
        install(script);
        LogCapture log;
        SellerRuntimeController runtime(hooks());
        QVERIFY(start(runtime));
        if (stop) {
            runtime.stop();
        }
        QTRY_VERIFY_WITH_TIMEOUT(runtime.findChildren<QProcess*>().isEmpty(), 10000);
        QCOMPARE(runtime.state(), state);
        QCOMPARE(runtime.lastTransition(), std::optional(stop ? u"stopped"_s : u"crashed"_s));
        QCOMPARE(runtime.lastError(), stop ? std::nullopt : std::optional(u"Runtime exited unexpectedly"_s));
        QVERIFY(!runtime.pid() && runtime.startedAt());
        QVERIFY(log.text().contains(u"orvelquin.runtime started %1 --provider fake --capacity 1"_s.arg(runtimePath())));
        QCOMPARE(log.text().contains(u"orvelquin.runtime stopping pid"), stop);
    }

    // The first runtime takes a while to exit after SIGTERM; the second starts meanwhile.
    void lateExitOfAStoppedRuntimeLeavesTheNewOneAlone() {
        install("#!/bin/sh\ntrap 'sleep 0.3; exit 0' TERM\ntouch \"$0.ready\"\n"
                "while :; do sleep 0.1; done\n");
        SellerRuntimeController runtime(hooks());
        QVERIFY(start(runtime));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtimePath() + u".ready"_s), 10000);
        QVERIFY(start(runtime));
        const qint64 second = runtime.pid().value_or(0);
        QCOMPARE(runtime.findChildren<QProcess*>().size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(runtime.findChildren<QProcess*>().size(), 1, 10000);
        QCOMPARE(runtime.state(), State::Running);
        QCOMPARE(runtime.pid().value_or(0), second);
    }

    // Whatever the runtime started holds the device token as well: it ends with the runtime on
    // stop, at the agent's exit and with a SIGKILLed agent, even where SIGTERM is ignored.
    void nothingOfTheRuntimeOutlivesIt_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<bool>("finishes");
        // The grandchild reports ready only once it is in place, ignoring SIGTERM like its parent.
        const QByteArray deaf = "#!/bin/sh\ntrap '' TERM\nsh -c 'touch \"$0\"; exec sleep 600' \"$0.ready\" &\nwait\n";
        const QByteArray obedientParent = "#!/bin/sh\ntrap 'exit 0' TERM\n"
                                          "sh -c 'trap \"\" TERM; touch \"$0\"; exec sleep 600' \"$0.ready\" &\nwait\n";
        for (const char* ending : {"stop", "shutdown", "agent killed"}) {
            QTest::addRow("%s, runtime ignores SIGTERM", ending) << QString::fromLatin1(ending) << deaf << false;
            QTest::addRow("%s, only its child ignores SIGTERM", ending)
                << QString::fromLatin1(ending) << obedientParent << false;
        }
        // At the agent's exit a runtime that obeys SIGTERM gets to finish its handler.
        QTest::newRow("shutdown, runtime obeys SIGTERM")
            << u"shutdown"_s
            << QByteArray("#!/bin/sh\ntrap 'echo clean > \"$0.finished\"; exit 0' TERM\nsleep 600 &\n"
                          "touch \"$0.ready\"\nwait\n")
            << true;
    }

    void nothingOfTheRuntimeOutlivesIt() {
        QFETCH(QString, ending);
        QFETCH(QByteArray, script);
        QFETCH(bool, finishes);
        install(script);
        const QString token = u"dt_%1_%2"_s.arg(QCoreApplication::applicationPid()).arg(++m_tokens);
        QProcess agent;
        auto runtime = std::make_unique<SellerRuntimeController>(hooks());
        if (ending == u"agent killed") {
            agent.setProcessChannelMode(QProcess::ForwardedChannels);
            agent.start(QCoreApplication::applicationFilePath(), {u"--host-runtime"_s, share(), token});
        } else {
            QVERIFY(start(*runtime, token));
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtimePath() + u".ready"_s), 10000);
        QVERIFY(holdersOf(token).size() >= 2);
        if (ending == u"stop") {
            runtime->stop();
        } else {
            runtime.reset();
            agent.kill();
        }
        QCOMPARE(QFile::exists(runtimePath() + u".finished"_s), finishes);
        QTRY_COMPARE_WITH_TIMEOUT(holdersOf(token), QList<qint64>(), 10000);
    }

    void chattyRuntimeKeepsRunning() {
        install("#!/bin/sh\nhead -c 104857600 /dev/zero\nhead -c 104857600 /dev/zero >&2\nexec sleep 60\n");
        SellerRuntimeController runtime(hooks());
        QVERIFY(start(runtime));
        // Past the output the script execs sleep: its command name tells it got through.
        QTRY_COMPARE_WITH_TIMEOUT(readFile(u"/proc/%1/comm"_s.arg(*runtime.pid())).trimmed(), "sleep", 30000);
        QCOMPARE(runtime.state(), State::Running);
    }

    // CPU use between two readings, as a share of one core; a failed reading keeps the sample, so
    // the next one covers both intervals; a clock set back gives no figure and a new sample.
    void cpuFigureRules() {
        install("#!/bin/sh\nexec sleep 60\n");
        SellerRuntimeController runtime(hooks());
        QVERIFY(!runtime.cpuUsagePercent());
        QCOMPARE(runtime.uptimeSeconds(), 0);
        QVERIFY(start(runtime));
        struct Reading {
            int seconds;
            std::optional<quint64> cpuNs;
            std::optional<double> percent;
            qint64 uptime;
        };
        const std::optional<double> none;
        const Reading readings[] = {{0, 1'000'000'000ULL, none, 0},      {30, 16'000'000'000ULL, 50.0, 30},
                                    {30, 106'000'000'000ULL, 100.0, 60}, {30, std::nullopt, none, 90},
                                    {30, 109'000'000'000ULL, 5.0, 120},  {-120, 109'000'000'000ULL, none, 0},
                                    {10, 109'000'000'000ULL, 0.0, 10}};
        for (const Reading& reading : readings) {
            m_now = m_now.addSecs(reading.seconds);
            m_cpu = reading.cpuNs;
            QCOMPARE(runtime.cpuUsagePercent(), reading.percent);
            QCOMPARE(runtime.uptimeSeconds(), reading.uptime);
        }
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

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // With --host-runtime <resource directory> <token>, the program stands in for an agent that
    // runs the runtime until it is killed.
    if (const QStringList args = QCoreApplication::arguments(); args.value(1) == u"--host-runtime") {
        SellerRuntimeController runtime({args.value(2), [] { return QDateTime::currentDateTime(); },
                                         [](qint64) { return std::optional<quint64>(); }});
        return runtime.start(u"http://127.0.0.1:1"_s, args.value(3), 1) ? QCoreApplication::exec() : 1;
    }
    QCoreApplication::setOrganizationName(QStringLiteral("Orvelquin"));
    QCoreApplication::setApplicationName(QStringLiteral("orvelquin-desktop-tests"));
    TestSellerRuntimeController test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sellerruntimecontroller.moc"
