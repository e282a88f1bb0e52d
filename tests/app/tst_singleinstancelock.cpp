#include "app/SingleInstanceLock.h"

#include <QTest>
#include <QtCore>

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
    void parsePid_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<std::optional<qint32>>("pid");
        const auto row = [](const QByteArray& contents, std::optional<qint32> pid) {
            QTest::addRow("%s", contents.toPercentEncoding().constData()) << contents << pid;
        };
        for (const char* accepted : {"4242", "+4242", "  4242\t", "\302\2404242"}) {
            row(accepted, 4242);
        }
        for (const qint32 pid : {-7, 0, INT32_MAX, INT32_MIN}) {
            row(QByteArray::number(pid), pid);
        }
        for (const char* refused : {"2147483648", "99999999999999999999999", "4242\n", " \t ", "+", "abc", "42 42",
                                    "\37742", "\xd9\xa1\xd9\xa2"}) {
            row(refused, std::nullopt);
        }
    }

    void parsePid() {
        QFETCH(QByteArray, contents);
        QFETCH(std::optional<qint32>, pid);
        QCOMPARE(SingleInstanceLock::parsePid(contents), pid);
    }

    // What lies at the lock path decides: taken over (then a regular file that holds exactly our
    // pid), or refused while the agent it names lives. A symlink is never followed, a FIFO does not
    // hang us. "sleep" is the agent's name here. A file replaced or rewritten while we hold the
    // lock is another's, and release leaves it.
    void lockFileContents_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("taken");
        m_sleeper.start(QStringLiteral("sleep"), {QStringLiteral("300")});
        QVERIFY(m_sleeper.waitForStarted());
        const QByteArray live = QByteArray::number(m_sleeper.processId());
        const auto row = [](const char* tag, const QByteArray& contents, bool taken = true, const char* kind = "file") {
            QTest::newRow(tag) << QString::fromLatin1(kind) << contents << taken;
        };
        row("symlink to a file", {}, true, "symlink");
        row("dangling symlink", {}, true, "dangling");
        row("FIFO", {}, true, "fifo");
        // The parsing rules have their own table: one refused form is enough here.
        row("garbage", "not a pid");
        row("no such process", readFile(QStringLiteral("/proc/sys/kernel/pid_max")).trimmed());
        row("zero addresses our group", "0");
        row("negative group", QByteArray::number(-qint64(::getpgrp())));
        row("our own pid", kOwnPid);
        row("live process of another program", QByteArray::number(::getppid()));
        row("live agent", "+" + live, false);
        // The lock itself, not the pid inside, turns away a second taker while the first holds it.
        row("held by another taker", kOwnPid, false, "held");
        row("replaced while held", "another's", true, "replaced");
        row("rewritten while held", "another's", true, "rewritten");
    }

    void lockFileContents() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, contents);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("precious"));
        SingleInstanceLock lock(dir.path(), QStringLiteral("sleep"));
        const QString path = lock.filePath();
        QVERIFY(kind != u"symlink" || writeFile(target, "keep me"));
        std::optional<SingleInstanceLock> first;
        QVERIFY(kind.startsWith(u"re") ||
                (kind == u"file"   ? writeFile(path, contents)
                 : kind == u"fifo" ? ::mkfifo(QFile::encodeName(path), 0600) == 0
                 : kind == u"held" ? first.emplace(dir.path(), QStringLiteral("sleep")).acquire()
                                   : QFile::link(target, path)));
        QVERIFY(lock.acquire() == taken && lock.isHeld() == taken);
        QVERIFY(QFileInfo(path).isFile() && !QFileInfo(path).isSymLink());
        QCOMPARE(readFile(path), taken ? kOwnPid : contents);
        QCOMPARE(readFile(target), kind == u"symlink" ? QByteArray("keep me") : QByteArray());
        QVERIFY(kind != u"replaced" ||
                (writeFile(target, contents) && ::rename(QFile::encodeName(target), QFile::encodeName(path)) == 0));
        QVERIFY(kind != u"rewritten" || writeFile(path, contents));
        lock.release();
        QCOMPARE(readFile(path), taken && !kind.startsWith(u"re") ? QByteArray() : contents);
        QCOMPARE(QFile::exists(path), !taken || kind.startsWith(u"re"));
        QVERIFY(!first || (first->release(), lock.acquire()));
    }

    // An unusable runtime directory moves the lock to a private directory under the fallback base,
    // never the working directory.
    void unusableDirectories_data() {
        QTest::addColumn<QString>("runtimeDir");
        for (const char* tag : {"unset", "missing", "a file", "writable by others"}) {
            QTest::newRow(tag) << QString::fromLatin1(tag);
        }
    }

    void unusableDirectories() {
        QFETCH(QString, runtimeDir);
        QTemporaryDir scratch, base;
        const QString shared = scratch.filePath(QStringLiteral("writable by others"));
        QVERIFY(writeFile(scratch.filePath(QStringLiteral("a file")), {}) && QDir().mkdir(shared) &&
                QFile::setPermissions(shared, QFileDevice::Permissions(0x7777)));
        const QString privateDir = base.filePath(QStringLiteral("orvelquin-desktop-%1").arg(::geteuid()));
        SingleInstanceLock lock(runtimeDir == u"unset" ? QString() : scratch.filePath(runtimeDir),
                                QStringLiteral("orvelquin-desktop"), base.path());
        QCOMPARE(lock.filePath(), privateDir + QStringLiteral("/orvelquin-desktop.pid"));
        QVERIFY(lock.acquire() && lock.isHeld());
        QCOMPARE(readFile(lock.filePath()), kOwnPid);
        QCOMPARE(QFileInfo(privateDir).permissions(), QFileDevice::Permissions(0x7700));
        lock.release();
        QVERIFY(!QFileInfo::exists(lock.filePath()));
    }
};

QTEST_GUILESS_MAIN(TestSingleInstanceLock)
#include "tst_singleinstancelock.moc"
