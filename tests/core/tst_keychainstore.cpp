// Runs against a GNOME Keyring of its own (tests/app/PrivateKeyring.h), whose collections the
// test makes, locks and makes the default; unlock prompts fail, as a user cancelling would. A
// locked keyring at launch, and one whose unlock prompt is open at quit, are tst_launch's.
#include "../LogCapture.h"
#include "../app/PrivateKeyring.h"
#include "core/KeychainStore.h"
#include "platform/SecretStore.h"

#include <QTest>

using orvelquin::KeychainStore;

class TestKeychainStore : public QObject {
    Q_OBJECT

    KeychainStore::Read read(const QString& key) { return QCoro::waitFor(m_store->read(key)); }
    orvelquin::platform::SecretWrite set(const QString& key, const QString& value) {
        return QCoro::waitFor(m_store->set(key, value));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_keyring.isReady());
        // libsecret reads the bus address once, at its first call, which comes after this.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_keyring.address.toUtf8());
        m_backend = orvelquin::platform::createSecretStore();
        m_store = std::make_unique<KeychainStore>(*m_backend);
        QVERIFY(!m_other.isEmpty());
    }

    void cleanupTestCase() { qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedBus); }

    void cleanup() {
        QVERIFY(m_keyring.unlock(PrivateKeyring::login()) && m_keyring.unlock(m_other));
        QVERIFY(m_keyring.setDefault(PrivateKeyring::login()));
    }

    // Whoever wrote the earlier item, and wherever: it reads back (bytes that are not UTF-8 as
    // absent, not failed), and one write leaves one item, the new one, whose bytes are exactly the
    // UTF-8 encoding, as other programs will read them.
    void writeLeavesExactlyOneItem_data() {
        QTest::addColumn<QString>("keyring"); // where secret-tool wrote the earlier item; empty: the agent
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QString>("value");
        QTest::newRow("our own, accents, emoji, CJK, spaces kept")
            << QString() << QByteArray("first") << QStringLiteral(" zo\u00eb \U0001F600 \u8a2d\u5099\t\n");
        QTest::newRow("secret-tool, default keyring")
            << QStringLiteral("login") << QByteArray("old") << QStringLiteral("new");
        QTest::newRow("secret-tool, another keyring")
            << QStringLiteral("other") << QByteArray("old") << QStringLiteral("new");
        QTest::newRow("secret-tool, not UTF-8")
            << QStringLiteral("login") << QByteArray("\xff\xfe broken \xc3") << QStringLiteral("new");
        QTest::newRow("sign-out over secret-tool's item") << QStringLiteral("other") << QByteArray("old") << QString();
    }

    void writeLeavesExactlyOneItem() {
        QFETCH(QString, keyring);
        QFETCH(QByteArray, earlier);
        QFETCH(QString, value);
        const QString key = QStringLiteral("one-") + QString::fromLatin1(QTest::currentDataTag());
        QVERIFY(keyring.isEmpty()
                    ? set(key, QString::fromUtf8(earlier)).stored
                    : m_keyring.secretTool(keyring == u"login" ? PrivateKeyring::login() : m_other, key, earlier));
        const KeychainStore::Read before = read(key);
        QVERIFY(!before.failed);
        QCOMPARE(before.value, earlier.isValidUtf8() ? std::optional(QString::fromUtf8(earlier)) : std::nullopt);
        LogCapture log;
        const orvelquin::platform::SecretWrite written = set(key, value);
        QVERIFY2(written.stored, qPrintable(written.error));
        QCOMPARE(m_keyring.values(key), QList<QByteArray>{value.toUtf8()});
        const KeychainStore::Read after = read(key);
        QVERIFY(!after.failed);
        QCOMPARE(after.value, value.isEmpty() ? std::nullopt : std::optional<QString>(value));
        QVERIFY2(!log.text().contains(value.isEmpty() ? u"old"_qs : value), "the log names keys, never values");
    }

    void writeIntoALockedDefaultFails() {
        QVERIFY(m_keyring.setDefault(m_other) && m_keyring.lock(m_other));
        const orvelquin::platform::SecretWrite written = set(QStringLiteral("lockedWrite"), QStringLiteral("v"));
        QVERIFY(!written.stored && !written.error.isEmpty());
        QVERIFY(m_keyring.unlock(m_other));
        QVERIFY(m_keyring.values(QStringLiteral("lockedWrite")).isEmpty());
    }

private:
    PrivateKeyring m_keyring;
    const QString m_other = m_keyring.createCollection(QStringLiteral("other"));
    const QByteArray m_savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    std::unique_ptr<orvelquin::platform::SecretStore> m_backend;
    std::unique_ptr<KeychainStore> m_store;
};

QTEST_GUILESS_MAIN(TestKeychainStore)
#include "tst_keychainstore.moc"
