// Runs against a GNOME Keyring of its own (tests/PrivateKeyring.h), whose collections the
// test makes, locks and makes the default; unlock prompts fail, as a user cancelling would. A
// locked keyring at launch, and one whose unlock prompt is open at quit, are tst_launch's.
#include "../LogCapture.h"
#include "../PrivateKeyring.h"
#include "core/KeychainStore.h"
#include "platform/SecretStore.h"

using orvelquin::KeychainStore;

class TestKeychainStore : public QObject {
    Q_OBJECT

    KeychainStore::Read read(const QString& key) { return QCoro::waitFor(m_store.read(key)); }
    auto set(const QString& key, const QString& value) { return QCoro::waitFor(m_store.set(key, value)); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_keyring.isReady() && !m_other.isEmpty()); }

    void cleanupTestCase() { qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedBus); }

    void cleanup() {
        QVERIFY(m_keyring.unlock(PrivateKeyring::login()) && m_keyring.unlock(m_other) &&
                m_keyring.setDefault(PrivateKeyring::login()));
    }

    // Whoever wrote the earlier item, and wherever: it reads back (bytes that are not UTF-8 as
    // absent, not failed), and one write leaves one item, the new one, whose bytes are exactly the
    // UTF-8 encoding, as other programs will read them.
    void writeLeavesExactlyOneItem_data() {
        QTest::addColumn<QString>("keyring"); // where secret-tool wrote the earlier item; empty: the agent
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QString>("value");
        QTest::newRow("our own, accents, emoji, CJK, spaces kept")
            << QString() << QByteArray("first") << u" zo\u00eb \U0001F600 \u8a2d\u5099\t\n"_qs;
        QTest::newRow("secret-tool, default keyring") << u"login"_qs << QByteArray("old") << u"new"_qs;
        QTest::newRow("secret-tool, another keyring") << u"other"_qs << QByteArray("old") << u"new"_qs;
        QTest::newRow("secret-tool, not UTF-8") << u"login"_qs << QByteArray("\xff\xfe broken \xc3") << u"new"_qs;
        QTest::newRow("sign-out over secret-tool's item") << u"other"_qs << QByteArray("old") << QString();
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
        QCOMPARE(std::pair(before.failed, before.value),
                 std::pair(false, earlier.isValidUtf8() ? std::optional(QString::fromUtf8(earlier)) : std::nullopt));
        LogCapture log;
        const auto written = set(key, value);
        QVERIFY2(written.stored, qPrintable(written.error));
        QCOMPARE(m_keyring.values(key), QList<QByteArray>{value.toUtf8()});
        const KeychainStore::Read after = read(key);
        QCOMPARE(std::pair(after.failed, after.value),
                 std::pair(false, value.isEmpty() ? std::nullopt : std::optional(value)));
        QVERIFY2(!log.text().contains(value.isEmpty() ? u"old"_qs : value), "the log names keys, never values");
    }

    void writeIntoALockedDefaultFails() {
        QVERIFY(m_keyring.setDefault(m_other) && m_keyring.lock(m_other));
        const auto written = set(QStringLiteral("lockedWrite"), QStringLiteral("v"));
        QVERIFY(!written.stored && !written.error.isEmpty());
        QVERIFY(m_keyring.unlock(m_other));
        QVERIFY(m_keyring.values(QStringLiteral("lockedWrite")).isEmpty());
    }

private:
    PrivateKeyring m_keyring;
    const QString m_other = m_keyring.createCollection(QStringLiteral("other"));
    const QByteArray m_savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    // libsecret reads the bus address once, at its first call, which comes after this.
    const bool m_onPrivateBus = qputenv("DBUS_SESSION_BUS_ADDRESS", m_keyring.address.toUtf8());
    const std::unique_ptr<orvelquin::platform::SecretStore> m_backend = orvelquin::platform::createSecretStore();
    KeychainStore m_store{*m_backend};
};

QTEST_GUILESS_MAIN(TestKeychainStore)
#include "tst_keychainstore.moc"
