#include "../LogCapture.h"
#include "core/Settings.h"
#include "runtime/SellerRuntimeController.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <signal.h>

using orvelquin::SellerRuntimeController;
using State = SellerRuntimeController::RuntimeState;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kServiceUrl = u"http://127.0.0.1:8787"_s;

QString readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Live processes that carry this device token in their environment (a zombie's reads empty).
QStringList holdersOf(const QString& token) {
    QStringList holders = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    holders.removeIf([&](const QString& pid) {
        return !readFile(u"/proc/%1/environ"_s.arg(pid)).split(QChar(0)).contains(u"ORVELQUIN_SELLER_JWT="_s + token);
    });
    return holders;
}

} // namespace

class TestSellerRuntimeController : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QDateTime m_now = QDateTime::currentDateTime();
    std::optional<quint64> m_cpu;

    QString runtimePath() const { return m_dir.filePath(u"share/runtime/orvelquin-seller-runtime"_s); }
    // The bundled runtime, executable; the marks of an earlier one removed.
    bool install(const QByteArray& script) {
        QFile f(runtimePath());
        QFile::remove(runtimePath() + u".ready"_s), QFile::remove(runtimePath() + u".finished"_s);
        return QDir().mkpath(QFileInfo(f).absolutePath()) && f.open(QIODevice::WriteOnly) &&
               f.write(script) == script.size() &&
               f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // A grace short enough that no test waits on it.
    SellerRuntimeController::Hooks hooks(std::chrono::milliseconds grace = 100ms) {
        return {m_dir.filePath(u"share"_s), [this] { return m_now; }, [this](qint64) { return m_cpu; }, grace};
    }

private Q_SLOTS:
    void init() { orvelquin::userSettings().remove(u"sellerRuntimePath"_s), QFile::remove(runtimePath()); }

    // No program: an error to show, trimmed and cut to 256 characters, a character being what is
    // seen as one.
    void startErrors() {
        QVERIFY(install("not a program"));
        SellerRuntimeController runtime(hooks());
        QVERIFY(!runtime.start(kServiceUrl, u"dt"_s, 1) && runtime.state() == State::Error);
        const QString reported = runtime.lastError().value_or(QString()), thumb = u"\U0001F44D\U0001F3FD"_s;
        QVERIFY2(!reported.isEmpty() && reported.trimmed() == reported, qPrintable(reported));
        QCOMPARE(SellerRuntimeController::sanitize(u"\n\n  Exec format error \n"_s), u"Exec format error"_s);
        QCOMPARE(SellerRuntimeController::sanitize(thumb.repeated(300)), thumb.repeated(256) + QChar(0x2026));
    }

    // Each runtime gets its arguments, its environment (a provider the agent inherited replaced)
    // and /dev/null for input and output: no pipe the agent could leave open, or would have to
    // read, however much it writes. Whatever it starts holds the device token as well: it ends
    // with the runtime on stop, on an exit nobody asked for, on a restart, at the agent's exit and
    // with a SIGKILLed agent, even where SIGTERM is ignored. Only a requested exit is "stopped";
    // the late exit of a runtime stopped by a restart leaves the new one alone.
    void nothingOfTheRuntimeOutlivesIt_data() {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QByteArray>("script");
        // It records how it was launched; its child reports ready once in place, ignoring SIGTERM.
        const QByteArray record =
            "#!/bin/sh\n{ echo \"$@\"; env | grep -E '^ORVELQUIN_(BASE_URL|SELLER_)' | cut -c11- | "
            "sort; readlink /proc/$$/fd/[012] | uniq; } | paste -sd'|' > \"$0.record\"\n";
        const QByteArray child = "sh -c 'trap \"\" TERM; touch \"$0\"; exec sleep 600' \"$0.ready\" &\nwait\n";
        const auto row = [&](const char* ending, const char* what, const QByteArray& middle) {
            QTest::addRow("%s, %s", ending, what) << QString::fromLatin1(ending) << record + middle + child;
        };
        for (const char* ending : {"stop", "shutdown", "agent killed", "exits unasked", "restarted"}) {
            row(ending, "only its child ignores SIGTERM", "trap 'exit 0' TERM\n");
        }
        for (const char* ending : {"stop", "shutdown", "agent killed"}) {
            row(ending, "runtime ignores SIGTERM", "trap '' TERM\n");
        }
        row("stop", "runtime floods its output", "head -c 104857600 /dev/zero\nhead -c 104857600 /dev/zero >&2\n");
        // At the agent's exit a runtime that obeys SIGTERM gets to finish its handler.
        row("shutdown", "runtime obeys SIGTERM", "trap 'echo clean > \"$0.finished\"; exit 0' TERM\n");
    }

    void nothingOfTheRuntimeOutlivesIt() {
        QFETCH(QString, ending);
        QFETCH(QByteArray, script);
        QVERIFY(install(script) && qputenv("ORVELQUIN_SELLER_PROVIDER", "inherited-and-replaced"));
        const auto unset = qScopeGuard([] { qunsetenv("ORVELQUIN_SELLER_PROVIDER"); });
        const bool finishes = script.contains(".finished");
        const QString token =
            u"dt_%1 "_s.arg(QCoreApplication::applicationPid()) + QLatin1String(QTest::currentDataTag());
        LogCapture log;
        QProcess agent;
        // The one runtime that finishes its handler gets all the grace it could need.
        auto runtime = std::make_unique<SellerRuntimeController>(hooks(finishes ? 30s : 100ms));
        if (ending == u"agent killed") {
            agent.start(QCoreApplication::applicationFilePath(),
                        {u"--host-runtime"_s, m_dir.filePath(u"share"_s), token});
        } else {
            QVERIFY(runtime->start(kServiceUrl, token, 1));
        }
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtimePath() + u".ready"_s), 30000);
        QCOMPARE(readFile(runtimePath() + u".record"_s).trimmed(),
                 u"--provider fake --capacity 1|BASE_URL=%1|SELLER_CAPACITY=1|SELLER_JWT=%2|SELLER_PROVIDER=fake|"
                 "SELLER_SELL_ENABLED=false|/dev/null"_s.arg(kServiceUrl, token));
        QVERIFY(holdersOf(token).size() >= 2);
        const std::optional<qint64> first = runtime->pid();
        QCOMPARE(runtime->state(), first ? State::Running : State::Stopped);
        // The program and its arguments are logged; the token in its environment is not.
        QCOMPARE(log.text().contains(u"orvelquin.runtime started %1 --provider fake"_s.arg(runtimePath())), !!first);
        QVERIFY(!log.text().contains(token));
        if (ending == u"stop") {
            runtime->stop();
        } else if (ending == u"exits unasked") {
            QCOMPARE(::kill(static_cast<pid_t>(*first), SIGTERM), 0);
        } else if (ending == u"restarted") {
            QVERIFY(runtime->start(kServiceUrl, token + u"_next"_s, 1));
        } else {
            runtime.reset(), agent.kill(), agent.waitForFinished();
        }
        QCOMPARE(QFile::exists(runtimePath() + u".finished"_s), finishes);
        QTRY_COMPARE_WITH_TIMEOUT(holdersOf(token), QStringList(), 10000);
        if (runtime) {
            const bool restarted = ending == u"restarted";
            const State state = restarted ? State::Running : ending == u"stop" ? State::Stopped : State::Crashed;
            QTRY_COMPARE_WITH_TIMEOUT(runtime->findChildren<QProcess*>().size(), restarted ? 1 : 0, 10000);
            QCOMPARE(runtime->state(), state);
            QCOMPARE(runtime->lastError().value_or(QString()),
                     state == State::Crashed ? u"Runtime exited unexpectedly"_s : QString());
            QCOMPARE(runtime->pid().has_value() && runtime->pid() != first, restarted);
        }
    }

    // CPU use between two readings, as a share of one core; a failed reading keeps the sample, so
    // the next one covers both intervals; a clock set back gives no figure and a new sample.
    void cpuFigureRules() {
        QVERIFY(install("#!/bin/sh\nexec sleep 60\n"));
        SellerRuntimeController runtime(hooks());
        QVERIFY(runtime.start(kServiceUrl, u"dt"_s, 1));
        // Seconds on the clock, CPU milliseconds read, the figure and the uptime.
        const std::tuple<int, std::optional<quint64>, std::optional<double>, qint64> readings[] = {
            {0, 1000, {}, 0},       {30, 16000, 50.0, 30}, {30, 106000, 100.0, 60}, {30, {}, {}, 90},
            {30, 109000, 5.0, 120}, {-120, 109000, {}, 0}, {10, 109000, 0.0, 10}};
        for (const auto& [seconds, cpuMs, percent, uptime] : readings) {
            m_now = m_now.addSecs(seconds), m_cpu = cpuMs ? std::optional(*cpuMs * 1'000'000) : std::nullopt;
            QCOMPARE(std::pair(runtime.cpuUsagePercent(), runtime.uptimeSeconds()), std::pair(percent, uptime));
        }
        runtime.stop();
        QVERIFY(!runtime.cpuUsagePercent() && runtime.uptimeSeconds() == 0);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // With --host-runtime <resource directory> <token>, the program stands in for an agent that
    // runs the runtime until it is killed.
    if (const QStringList args = QCoreApplication::arguments(); args.value(1) == u"--host-runtime") {
        SellerRuntimeController runtime({args.value(2), &QDateTime::currentDateTime, {}});
        return runtime.start(kServiceUrl, args.value(3), 1) ? QCoreApplication::exec() : 1;
    }
    TestSellerRuntimeController test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sellerruntimecontroller.moc"
