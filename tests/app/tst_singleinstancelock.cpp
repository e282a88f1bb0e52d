#include "app/SingleInstanceLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using orvelquin::SingleInstanceLock;

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(contents) == contents.size();
}

const QByteArray kOwnPid = QByteArray::number(QCoreApplication::applicationPid());

} // namespace

class TestSingleInstanceLock : public QObject {
    Q_OBJECT

    QProcess m_sleeper; // plays the other agent: a live process whose executable is named "sleep"

private Q_SLOTS:
    void initTestCase() {
        m_sleeper.start(QStringLiteral("sleep"), {QStringLiteral("300")});
        QVERIFY(m_sleeper.waitForStarted());
    }

    void cleanupTestCase() {
        m_sleeper.kill();
        m_sleeper.waitForFinished();
    }

    void parsePid_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<std::optional<qint32>>("pid");
        const std::optional<qint32> none;
        QTest::newRow("digits") << QByteArray("4242") << std::optional<qint32>(4242);
        QTest::newRow("plus sign") << QByteArray("+4242") << std::optional<qint32>(4242);
        QTest::newRow("minus sign") << QByteArray("-7") << std::optional<qint32>(-7);
        QTest::newRow("zero") << QByteArray("0") << std::optional<qint32>(0);
        QTest::newRow("spaces and tab") << QByteArray("  4242\t") << std::optional<qint32>(4242);
        QTest::newRow("no-break space") << QByteArray("\xc2\xa0"
                                                      "12")
                                        << std::optional<qint32>(12);
        QTest::newRow("int32 max") << QByteArray("2147483647") << std::optional<qint32>(2147483647);
        QTest::newRow("int32 min") << QByteArray("-2147483648") << std::optional<qint32>(-2147483647 - 1);
        for (const char* bad :
             {"2147483648", "99999999999999999999999", "4242\n", "", " \t ", "+", "+-1", "abc", "42 42",
              "\xff"
              "42",
              "\xd9\xa1\xd9\xa2"}) {
            QTest::addRow("refused: %s", bad) << QByteArray(bad) << none;
        }
    }

    void parsePid() {
        QFETCH(QByteArray, contents);
        QFETCH(std::optional<qint32>, pid);
        QCOMPARE(SingleInstanceLock::parsePid(contents), pid);
    }

    // What the lock file holds decides: taken over (then it holds exactly our pid), or refused
    // while the agent it names lives. "sleep" is the agent's name here unless said otherwise.
    void lockFileContents_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<std::optional<QByteArray>>("contents");
        QTest::addColumn<bool>("taken");
        QProcess dead;
        dead.start(QStringLiteral("true"), {});
        QVERIFY(dead.waitForStarted());
        const qint64 deadPid = dead.processId();
        QVERIFY(dead.waitForFinished());
        const QByteArray live = QByteArray::number(m_sleeper.processId());
        const QString sleep = QStringLiteral("sleep");
        QTest::newRow("no file") << sleep << std::optional<QByteArray>() << true;
        const std::pair<const char*, QByteArray> stale[] = {
            {"empty", ""},
            {"garbage", "not a pid"},
            {"out of range", "4294967296"},
            {"dead process", QByteArray::number(deadPid)},
            {"zero addresses our group", "0"},
            {"minus one addresses everyone", "-1"},
            {"negative group", QByteArray::number(-qint64(::getpgrp()))},
            {"our own pid", kOwnPid},
            {"live agent with line break", live + '\n'}};
        for (const auto& [row, contents] : stale) {
            QTest::newRow(row) << sleep << std::optional(contents) << true;
        }
        QTest::newRow("live process of another program")
            << QStringLiteral("orvelquin-desktop") << std::optional(live) << true;
        QTest::newRow("live agent") << sleep << std::optional(live) << false;
        QTest::newRow("live agent, padded") << sleep << std::optional("  " + live + "\t") << false;
        QTest::newRow("live agent, plus sign") << sleep << std::optional("+" + live) << false;
    }

    void lockFileContents() {
        QFETCH(QString, name);
        QFETCH(std::optional<QByteArray>, contents);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        SingleInstanceLock lock(dir.path(), name);
        QVERIFY(!contents || writeFile(lock.filePath(), *contents));
        QCOMPARE(lock.acquire(), taken);
        QCOMPARE(lock.isHeld(), taken);
        QCOMPARE(readFile(lock.filePath()), taken ? kOwnPid : *contents);
        lock.release();
        QCOMPARE(QFile::exists(lock.filePath()), !taken);
    }

    // The lock itself, not the pid inside, turns away a second taker while the first holds it.
    void secondTakerIsRefusedUntilTheFirstReleases() {
        QTemporaryDir dir;
        SingleInstanceLock first(dir.path(), QStringLiteral("orvelquin-desktop"));
        SingleInstanceLock second(dir.path(), QStringLiteral("orvelquin-desktop"));
        QVERIFY(first.acquire());
        QVERIFY(!second.acquire());
        second.release();
        QCOMPARE(readFile(first.filePath()), kOwnPid);
        first.release();
        QVERIFY(second.acquire());
    }

    // Nothing but a regular file is a lock: a symlink is not followed, a FIFO does not hang us.
    void nonRegularFileAtTheLockPathIsReplaced_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symlink to a file") << QStringLiteral("symlink");
        QTest::newRow("dangling symlink") << QStringLiteral("dangling");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
    }

    void nonRegularFileAtTheLockPathIsReplaced() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("precious"));
        SingleInstanceLock lock(dir.path(), QStringLiteral("orvelquin-desktop"));
        QVERIFY(kind != QStringLiteral("symlink") || writeFile(target, "keep me"));
        QVERIFY(kind == QStringLiteral("fifo") ? ::mkfifo(QFile::encodeName(lock.filePath()), 0600) == 0
                                               : QFile::link(target, lock.filePath()));
        QVERIFY(lock.acquire());
        QVERIFY(QFileInfo(lock.filePath()).isFile() && !QFileInfo(lock.filePath()).isSymLink());
        QCOMPARE(readFile(lock.filePath()), kOwnPid);
        QCOMPARE(readFile(target), kind == QStringLiteral("symlink") ? QByteArray("keep me") : QByteArray());
    }

    // An unusable runtime directory moves the lock to a private directory under the fallback base;
    // when that cannot be made private either, the agent runs without a lock file.
    void unusableDirectories_data() {
        QTest::addColumn<QString>("runtimeDir");
        QTest::addColumn<QString>("fallback");
        QTest::addColumn<bool>("locksInFallback");
        QTest::newRow("none known") << QString() << QString() << true;
        QTest::newRow("missing") << QStringLiteral("missing") << QString() << true;
        QTest::newRow("a regular file") << QStringLiteral("file") << QString() << true;
        QTest::newRow("writable by others") << QStringLiteral("shared") << QString() << true;
        QTest::newRow("fallback a symlink") << QStringLiteral("missing") << QStringLiteral("symlink") << false;
        QTest::newRow("fallback writable by others") << QStringLiteral("missing") << QStringLiteral("shared") << false;
    }

    void unusableDirectories() {
        QFETCH(QString, runtimeDir);
        QFETCH(QString, fallback);
        QFETCH(bool, locksInFallback);
        QTemporaryDir scratch, base, elsewhere, workingDir;
        const QString previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingDir.path()));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(previousDir); });
        QVERIFY(writeFile(scratch.filePath(QStringLiteral("file")), {}));
        const QString privateDir = base.filePath(QStringLiteral("orvelquin-desktop-%1").arg(::geteuid()));
        for (const QString& shared : {scratch.filePath(QStringLiteral("shared")), privateDir}) {
            if (shared == scratch.filePath(QStringLiteral("shared")) || fallback == QStringLiteral("shared")) {
                QVERIFY(QDir().mkdir(shared) && QFile::setPermissions(shared, QFileDevice::Permissions(0x7777)));
            }
        }
        QVERIFY(fallback != QStringLiteral("symlink") || QFile::link(elsewhere.path(), privateDir));
        SingleInstanceLock lock(runtimeDir.isEmpty() ? QString() : scratch.filePath(runtimeDir),
                                QStringLiteral("orvelquin-desktop"), base.path());
        QCOMPARE(lock.filePath(), privateDir + QStringLiteral("/orvelquin-desktop.pid"));
        QVERIFY(lock.acquire());
        QVERIFY(lock.isHeld());
        QVERIFY(QDir(workingDir.path()).isEmpty());
        QVERIFY(QDir(scratch.filePath(QStringLiteral("shared"))).isEmpty());
        QVERIFY(QDir(elsewhere.path()).isEmpty());
        QCOMPARE(readFile(lock.filePath()), locksInFallback ? kOwnPid : QByteArray());
        struct stat info {};
        QVERIFY(!locksInFallback ||
                (::lstat(QFile::encodeName(privateDir), &info) == 0 && (info.st_mode & 0777) == 0700));
        lock.release();
        QVERIFY(!QFileInfo::exists(lock.filePath()));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstanceLock)
#include "tst_singleinstancelock.moc"
