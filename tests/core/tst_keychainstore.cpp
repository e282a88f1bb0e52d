// Runs against a GNOME Keyring of its own (tests/app/PrivateKeyring.h), whose collections the
// test makes, locks and makes the default; unlock prompts fail, as a user cancelling would. A
// locked keyring at launch is tst_launch's.
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

    // Nothing usable stored reads as absent, not as a failure; the log names keys, never values.
    void absentReadsAndTheLog() {
        QVERIFY(m_keyring.secretTool(PrivateKeyring::login(), QStringLiteral("notUtf8"), "\xff\xfe broken \xc3"));
        LogCapture log;
        QVERIFY(set(KeychainStore::kDeviceToken, QStringLiteral("dt-SECRET")).stored);
        QCOMPARE(read(KeychainStore::kDeviceToken).value, std::optional<QString>(QStringLiteral("dt-SECRET")));
        for (const QString& key : QStringList{u"neverWritten"_qs, u"notUtf8"_qs}) {
            const KeychainStore::Read r = read(key);
            QVERIFY(!r.value && !r.failed);
        }
        QCOMPARE(log.text(),
                 QStringLiteral("orvelquin.keychain stored deviceToken\norvelquin.keychain read deviceToken\n"
                                "orvelquin.keychain neverWritten is absent\n"
                                "orvelquin.keychain notUtf8 is not UTF-8 and reads as absent"));
    }

    // Whoever wrote the earlier item, and wherever: one write leaves one item, the new one, whose
    // bytes are exactly the UTF-8 encoding, as other programs will read them.
    void writeLeavesExactlyOneItem_data() {
        QTest::addColumn<QString>("earlier"); // empty: the agent's own write; else secret-tool's keyring
        QTest::addColumn<QString>("value");
        QTest::newRow("our own, accents, emoji, CJK, spaces kept")
            << QString() << QStringLiteral(" zo\u00eb \U0001F600 \u8a2d\u5099\t\n");
        QTest::newRow("secret-tool, default keyring") << QStringLiteral("login") << QStringLiteral("new");
        QTest::newRow("secret-tool, another keyring") << QStringLiteral("other") << QStringLiteral("new");
        QTest::newRow("sign-out over secret-tool's item") << QStringLiteral("other") << QString();
    }

    void writeLeavesExactlyOneItem() {
        QFETCH(QString, earlier);
        QFETCH(QString, value);
        const QString key = QStringLiteral("one-") + QString::fromLatin1(QTest::currentDataTag());
        QVERIFY(earlier.isEmpty()
                    ? set(key, QStringLiteral("first")).stored
                    : m_keyring.secretTool(earlier == u"login" ? PrivateKeyring::login() : m_other, key, "old"));
        const orvelquin::platform::SecretWrite written = set(key, value);
        QVERIFY2(written.stored, qPrintable(written.error));
        QCOMPARE(m_keyring.values(key), QList<QByteArray>{value.toUtf8()});
        QCOMPARE(read(key).value, value.isEmpty() ? std::nullopt : std::optional<QString>(value));
    }

    void writeIntoALockedDefaultFails() {
        QVERIFY(m_keyring.setDefault(m_other) && m_keyring.lock(m_other));
        const orvelquin::platform::SecretWrite written = set(QStringLiteral("lockedWrite"), QStringLiteral("v"));
        QVERIFY(!written.stored && !written.error.isEmpty());
        QVERIFY(m_keyring.unlock(m_other));
        QVERIFY(m_keyring.values(QStringLiteral("lockedWrite")).isEmpty());
    }

    // The store goes (the agent quits) while the keyring shows an unlock prompt: the call is
    // abandoned, nothing of the gone store runs when the prompt closes later, and the keyring
    // daemon lives on (a cancelled libsecret unlock makes gnome-keyring-daemon 42 abort).
    void storeDestroyedDuringAPromptNeverResumes() {
        QVERIFY(m_keyring.secretTool(m_other, QStringLiteral("abandoned"), "kept"));
        QVERIFY(m_keyring.lock(m_other));
        bool finished = false;
        {
            Prompter prompter(m_keyring.address);
            auto doomed = orvelquin::platform::createSecretStore();
            QCoro::connect(doomed->lookup(QStringLiteral("abandoned")), this,
                           [&](const orvelquin::platform::SecretLookup&) { finished = true; });
            QTRY_VERIFY_WITH_TIMEOUT(prompter.opened > 0, 10000);
        }
        QVERIFY(m_keyring.unlock(m_other));
        // A later call on a fresh store completing means the keyring's answers have all come in.
        QCOMPARE(read(QStringLiteral("abandoned")).value, std::optional<QString>(QStringLiteral("kept")));
        QVERIFY(!finished);
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
