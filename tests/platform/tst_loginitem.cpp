#include "platform/LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
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
