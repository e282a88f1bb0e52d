#include "platform/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestLoginItem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", m_config->path().toUtf8());
    }

    void registerWritesAnEntryThatStartsThisProgram() {
        auto item = orvelquin::platform::createLoginItem();
        QString error;
        QVERIFY2(item->registerItem(&error), qPrintable(error));
        const QString path = m_config->filePath(QStringLiteral("autostart/orvelquin-desktop.desktop"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QCOMPARE(lines.value(0), QStringLiteral("[Desktop Entry]"));
        QVERIFY(lines.contains(QStringLiteral("Type=Application")));
        QVERIFY(lines.contains(QStringLiteral("X-GNOME-Autostart-enabled=true")));
        const QString program = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
        QVERIFY(lines.contains(QStringLiteral("Exec=\"%1\"").arg(program)));

        // Registering twice leaves one entry; unregistering removes it and is idempotent.
        QVERIFY(item->registerItem(&error));
        QVERIFY(item->unregisterItem(&error));
        QVERIFY(!QFile::exists(path));
        QVERIFY(item->unregisterItem(&error));
    }

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
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        QVERIFY2(!validator.isEmpty(), "desktop-file-validate is missing; scripts/install-deps installs it");
        QTemporaryDir programs;
        if (!fileName.isEmpty()) {
            QFile program(programs.filePath(fileName));
            QVERIFY(program.open(QIODevice::WriteOnly));
            program.close();
            QVERIFY(program.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
            qputenv("APPIMAGE", program.fileName().toUtf8());
        }
        auto item = orvelquin::platform::createLoginItem();
        QString error;
        const bool registered = item->registerItem(&error);
        qunsetenv("APPIMAGE");
        QVERIFY2(registered, qPrintable(error));

        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start(validator, {m_config->filePath(QStringLiteral("autostart/orvelquin-desktop.desktop"))});
        QVERIFY(validate.waitForFinished(-1));
        const QString report = QString::fromUtf8(validate.readAll());
        QCOMPARE(validate.exitStatus(), QProcess::NormalExit);
        QVERIFY2(validate.exitCode() == 0, qPrintable(report));
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    void failureCarriesTheSystemsText() {
        // A file where the autostart folder should be: the entry cannot be written.
        QFile blocker(m_config->filePath(QStringLiteral("autostart")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        auto item = orvelquin::platform::createLoginItem();
        QString error;
        QVERIFY(!item->registerItem(&error));
        QVERIFY(!error.isEmpty());
        QFile::remove(blocker.fileName());
    }

private:
    std::unique_ptr<QTemporaryDir> m_config;
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
