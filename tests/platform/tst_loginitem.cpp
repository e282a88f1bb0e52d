// Registering and its failure are driven end to end by tst_appdelegate; here, the entry itself.
#include "platform/LoginItem.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLoginItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Desktops parse Exec with the desktop entry rules: one that desktop-file-validate refuses, or
    // that names another path, may start nothing at login. $APPIMAGE gives odd paths to try.
    void entryNamesTheProgram_data() {
        QTest::addColumn<QString>("appImage");
        QTest::addColumn<QString>("exec");
        QTest::newRow("this test program") << QString() << u"tst_loginitem"_s;
        QTest::newRow("odd characters") << u"a\"b`c$d\\e \u00e9 100%u"_s
                                        << u"a\\\\\"b\\\\`c\\\\$d\\\\\\\\e \u00e9 100%%u"_s;
    }

    void entryNamesTheProgram() {
        QFETCH(QString, appImage);
        QFETCH(QString, exec);
        QTemporaryDir config;
        const auto restore = qScopeGuard([saved = qgetenv("XDG_CONFIG_HOME")] {
            saved.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", saved), qunsetenv("APPIMAGE");
        });
        QFile program(config.filePath(appImage));
        QVERIFY(appImage.isEmpty() ||
                (program.open(QIODevice::WriteOnly) && program.setPermissions(QFile::ReadOwner | QFile::ExeOwner)));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        qputenv("APPIMAGE", appImage.isEmpty() ? QByteArray() : QFile::encodeName(program.fileName()));
        QString error;
        QVERIFY2(orvelquin::platform::createLoginItem()->registerItem(&error), qPrintable(error));
        QFile entry(config.filePath(u"autostart/orvelquin-desktop.desktop"_s));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString dir =
            appImage.isEmpty() ? QFileInfo(QCoreApplication::applicationFilePath()).canonicalPath() : config.path();
        QVERIFY(QString::fromUtf8(entry.readAll()).contains(u"\nExec=\""_s + dir + u'/' + exec + u"\"\n"_s));
        QProcess validate;
        validate.start(u"sh"_s, {u"-c"_s, u"desktop-file-validate \"$0\" 2>&1"_s, entry.fileName()});
        QVERIFY(validate.waitForFinished(-1));
        // Silent, exit 0, not crashed: its hints and warnings count as refusals too.
        QCOMPARE(validate.readAll() + QByteArray::number(validate.exitCode() + validate.exitStatus()), "0");
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
