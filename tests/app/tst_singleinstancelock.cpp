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

void writeFile(const QString& path, const QByteArray& contents) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(contents);
}

// A pid that was just in use and now certainly is not.
qint64 deadPid() {
    QProcess p;
    p.start(QStringLiteral("true"), {});
    p.waitForFinished();
    return p.processId() > 0 ? p.processId() : 999999;
}

} // namespace

class TestSingleInstanceLock : public QObject {
    Q_OBJECT

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
        QTest::addColumn<bool>("parses");
        QTest::addColumn<int>("pid");
        QTest::newRow("digits") << QByteArray("4242") << true << 4242;
        QTest::newRow("plus sign") << QByteArray("+4242") << true << 4242;
        QTest::newRow("minus sign") << QByteArray("-7") << true << -7;
        QTest::newRow("zero") << QByteArray("0") << true << 0;
        QTest::newRow("spaces and tab") << QByteArray("  4242\t") << true << 4242;
        QTest::newRow("no-break space") << QByteArray("\xc2\xa0"
                                                      "12")
                                        << true << 12;
        QTest::newRow("int32 max") << QByteArray("2147483647") << true << 2147483647;
        QTest::newRow("int32 min") << QByteArray("-2147483648") << true << int(-2147483647 - 1);
        QTest::newRow("beyond int32") << QByteArray("2147483648") << false << 0;
        QTest::newRow("far beyond") << QByteArray("99999999999999999999999") << false << 0;
        QTest::newRow("line break") << QByteArray("4242\n") << false << 0;
        QTest::newRow("empty") << QByteArray() << false << 0;
        QTest::newRow("blank") << QByteArray(" \t ") << false << 0;
        QTest::newRow("sign only") << QByteArray("+") << false << 0;
        QTest::newRow("two signs") << QByteArray("+-1") << false << 0;
        QTest::newRow("letters") << QByteArray("abc") << false << 0;
        QTest::newRow("inner space") << QByteArray("42 42") << false << 0;
        QTest::newRow("not UTF-8") << QByteArray("\xff"
                                                 "42")
                                   << false << 0;
        QTest::newRow("Arabic-Indic digits") << QByteArray("\xd9\xa1\xd9\xa2") << false << 0;
    }

    void parsePid() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, parses);
        QFETCH(int, pid);
        const std::optional<qint32> parsed = SingleInstanceLock::parsePid(contents);
        QCOMPARE(parsed.has_value(), parses);
        if (parses) {
            QCOMPARE(*parsed, pid);
        }
    }

    // Every stale case is taken over: the file then holds exactly our pid, with no line break.
    void takesOverStaleLocks_data() {
        QTest::addColumn<bool>("fileExists");
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("no file") << false << QByteArray();
        QTest::newRow("empty") << true << QByteArray();
        QTest::newRow("garbage") << true << QByteArray("not a pid");
        QTest::newRow("out of range") << true << QByteArray("4294967296");
        QTest::newRow("dead process") << true << QByteArray::number(deadPid());
        QTest::newRow("zero addresses our group") << true << QByteArray("0");
        QTest::newRow("minus one addresses everyone") << true << QByteArray("-1");
        QTest::newRow("negative group") << true << QByteArray::number(-qint64(::getpgrp()));
        QTest::newRow("our own pid") << true << QByteArray::number(QCoreApplication::applicationPid());
        QTest::newRow("live agent with line break") << true << QByteArray::number(m_sleeper.processId()) + '\n';
    }

    void takesOverStaleLocks() {
        QFETCH(bool, fileExists);
        QFETCH(QByteArray, contents);
        QTemporaryDir dir;
        SingleInstanceLock lock(dir.path(), QStringLiteral("sleep"));
        if (fileExists) {
            writeFile(lock.filePath(), contents);
        }
        QVERIFY(lock.acquire());
        QVERIFY(lock.isHeld());
        QCOMPARE(readFile(lock.filePath()), QByteArray::number(QCoreApplication::applicationPid()));
        lock.release();
        QVERIFY(!QFile::exists(lock.filePath()));
    }

    // "sleep" plays the agent here: a live process whose executable has the agent's name.
    void refusesWhileAnotherAgentLives_data() {
        QTest::addColumn<QByteArray>("contents");
        const QByteArray pid = QByteArray::number(m_sleeper.processId());
        QTest::newRow("plain") << pid;
        QTest::newRow("padded") << "  " + pid + "\t";
        QTest::newRow("plus sign") << "+" + pid;
    }

    void refusesWhileAnotherAgentLives() {
        QFETCH(QByteArray, contents);
        QTemporaryDir dir;
        SingleInstanceLock lock(dir.path(), QStringLiteral("sleep"));
        writeFile(lock.filePath(), contents);
        QVERIFY(!lock.acquire());
        QVERIFY(!lock.isHeld());
        lock.release();
        QCOMPARE(readFile(lock.filePath()), contents);
    }

    void liveProcessOfAnotherProgramIsStale() {
        QTemporaryDir dir;
        SingleInstanceLock lock(dir.path(), QStringLiteral("orvelquin-desktop"));
        writeFile(lock.filePath(), QByteArray::number(m_sleeper.processId()));
        QVERIFY(lock.acquire());
        QCOMPARE(readFile(lock.filePath()), QByteArray::number(QCoreApplication::applicationPid()));
    }

    // The lock itself, not the pid inside, turns away a second taker while the first holds it.
    void secondTakerIsRefusedUntilTheFirstReleases() {
        QTemporaryDir dir;
        SingleInstanceLock first(dir.path(), QStringLiteral("orvelquin-desktop"));
        SingleInstanceLock second(dir.path(), QStringLiteral("orvelquin-desktop"));
        QVERIFY(first.acquire());
        QVERIFY(!second.acquire());
        QVERIFY(!second.isHeld());
        second.release();
        QCOMPARE(readFile(first.filePath()), QByteArray::number(QCoreApplication::applicationPid()));
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
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath(QStringLiteral("precious"));
        SingleInstanceLock lock(dir.path(), QStringLiteral("orvelquin-desktop"));
        if (kind == QStringLiteral("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(lock.filePath()).constData(), 0600), 0);
        } else {
            if (kind == QStringLiteral("symlink")) {
                writeFile(target, "keep me");
            }
            QVERIFY(QFile::link(target, lock.filePath()));
        }
        QVERIFY(lock.acquire());
        QVERIFY(QFileInfo(lock.filePath()).isFile());
        QVERIFY(!QFileInfo(lock.filePath()).isSymLink());
        QCOMPARE(readFile(lock.filePath()), QByteArray::number(QCoreApplication::applicationPid()));
        QCOMPARE(readFile(target), kind == QStringLiteral("symlink") ? QByteArray("keep me") : QByteArray());
        QCOMPARE(QFile::exists(target), kind == QStringLiteral("symlink"));
        lock.release();
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
        QTemporaryDir scratch;
        QTemporaryDir base;
        QTemporaryDir elsewhere;
        QTemporaryDir workingDir;
        const QString previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workingDir.path()));
        const auto restore = qScopeGuard([&] { QDir::setCurrent(previousDir); });
        writeFile(scratch.filePath(QStringLiteral("file")), {});
        QVERIFY(QDir(scratch.path()).mkdir(QStringLiteral("shared")));
        QVERIFY(QFile::setPermissions(scratch.filePath(QStringLiteral("shared")), QFileDevice::Permissions(0x7777)));

        const QString privateDir = base.filePath(QStringLiteral("orvelquin-desktop-%1").arg(::geteuid()));
        if (fallback == QStringLiteral("symlink")) {
            QVERIFY(QFile::link(elsewhere.path(), privateDir));
        } else if (fallback == QStringLiteral("shared")) {
            QVERIFY(QDir(base.path()).mkdir(QFileInfo(privateDir).fileName()));
            QVERIFY(QFile::setPermissions(privateDir, QFileDevice::Permissions(0x7777)));
        }
        SingleInstanceLock lock(runtimeDir.isEmpty() ? QString() : scratch.filePath(runtimeDir),
                                QStringLiteral("orvelquin-desktop"), base.path());
        QCOMPARE(lock.filePath(), privateDir + QStringLiteral("/orvelquin-desktop.pid"));
        QVERIFY(lock.acquire());
        QVERIFY(lock.isHeld());
        QVERIFY(QDir(workingDir.path()).isEmpty());
        QVERIFY(QDir(scratch.filePath(QStringLiteral("shared"))).isEmpty());
        QVERIFY(QDir(elsewhere.path()).isEmpty());
        if (locksInFallback) {
            QCOMPARE(readFile(lock.filePath()), QByteArray::number(QCoreApplication::applicationPid()));
            struct stat info {};
            QCOMPARE(::lstat(QFile::encodeName(privateDir).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, mode_t(0700));
        } else {
            QVERIFY(!QFileInfo::exists(lock.filePath()));
        }
        lock.release();
        QVERIFY(!QFileInfo::exists(lock.filePath()));
    }

private:
    QProcess m_sleeper;
};

QTEST_GUILESS_MAIN(TestSingleInstanceLock)
#include "tst_singleinstancelock.moc"
