// Registering and the failure are driven end to end by tst_menuactions; here, the entry itself.
#include "platform/LoginItem.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

class TestLoginItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Desktops parse the entry with the desktop entry rules: an Exec that desktop-file-validate refuses
    // may start nothing at login. Program paths come from $APPIMAGE here, so odd ones can be tried.
    void entryPassesDesktopFileValidate_data() {
        QTest::addColumn<QString>("fileName");
        QTest::newRow("this test program") << QString();
        QTest::newRow("space") << QStringLiteral("Orvelquin Desktop.AppImage");
        QTest::newRow("shell characters") << QStringLiteral("a\"b`c$d\\e.AppImage");
        QTest::newRow("field code") << QStringLiteral("100%u.AppImage");
        QTest::newRow("non-ASCII") << QStringLiteral("Orvelquin-\u00e9t\u00e9.AppImage");
    }

    void entryPassesDesktopFileValidate() {
        QFETCH(QString, fileName);
        QTemporaryDir config;
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        auto restore = qScopeGuard([&] {
            savedConfig.isNull() ? qunsetenv("XDG_CONFIG_HOME") : qputenv("XDG_CONFIG_HOME", savedConfig);
            qunsetenv("APPIMAGE");
        });
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        if (!fileName.isEmpty()) {
            QFile program(config.filePath(fileName));
            QVERIFY(program.open(QIODevice::WriteOnly));
            QVERIFY(program.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
            qputenv("APPIMAGE", QFile::encodeName(program.fileName()));
        }
        QString error;
        QVERIFY2(orvelquin::platform::createLoginItem()->registerItem(&error), qPrintable(error));
        QFile entry(config.filePath(QStringLiteral("autostart/orvelquin-desktop.desktop")));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
        QVERIFY(!fileName.isEmpty() || entry.readAll().contains("\nExec=\"" + program.toUtf8() + "\"\n"));
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(QStringLiteral("desktop-file-validate"), {entry.fileName()});
        QVERIFY(validate.waitForFinished(-1));
        const QString report = QString::fromUtf8(validate.readAll());
        QVERIFY2(validate.exitStatus() == QProcess::NormalExit && validate.exitCode() == 0 && report.isEmpty(),
                 qPrintable(report));
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
