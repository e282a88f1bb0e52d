// Runs against a GNOME Keyring of its own (tests/app/PrivateKeyring.h), whose collections the
// test makes, locks and makes the default; unlock prompts are refused, as a user cancelling would.
#include "../LogCapture.h"
#include "../app/PrivateKeyring.h"
#include "core/KeychainStore.h"
#include "platform/SecretStore.h"

#include <QProcess>
#include <QTest>

using orvelquin::KeychainStore;

class TestKeychainStore : public QObject {
    Q_OBJECT

private:
    KeychainStore::Read read(const QString& key) { return QCoro::waitFor(m_store->read(key)); }
    orvelquin::platform::SecretWrite set(const QString& key, const QString& value) {
        return QCoro::waitFor(m_store->set(key, value));
    }

private Q_SLOTS:
    void initTestCase() {
        m_keyring = std::make_unique<PrivateKeyring>();
        QVERIFY(m_keyring->isReady());
        // libsecret reads the bus address once, at its first call, which comes after this.
        m_savedBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_keyring->address().toUtf8());
        m_backend = orvelquin::platform::createSecretStore();
        m_store = std::make_unique<KeychainStore>(*m_backend);
        m_other = m_keyring->createCollection(QStringLiteral("other"));
        QVERIFY(!m_other.isEmpty());
    }

    void cleanupTestCase() {
        m_store.reset();
        m_backend.reset();
        m_keyring.reset();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_savedBus);
    }

    void cleanup() {
        QVERIFY(m_keyring->unlock(PrivateKeyring::login()));
        QVERIFY(m_keyring->unlock(m_other));
        QVERIFY(m_keyring->setDefault(PrivateKeyring::login()));
    }

    // Nothing usable stored is absent, not a failure.
    void readsAbsent_data() {
        QTest::addColumn<QByteArray>("stored"); // by another program; null: nothing
        QTest::newRow("never written") << QByteArray();
        QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe broken \xc3", 11);
    }

    void readsAbsent() {
        QFETCH(QByteArray, stored);
        const QString key = QStringLiteral("absent-") + QString::fromLatin1(QTest::currentDataTag());
        QVERIFY(stored.isNull() || m_keyring->secretTool(PrivateKeyring::login(), key, stored));
        const KeychainStore::Read r = read(key);
        QVERIFY(!r.value && !r.failed);
    }

    void logNamesKeysButNeverValues() {
        LogCapture log;
        QVERIFY(set(KeychainStore::kDeviceToken, QStringLiteral("dt-SECRET")).stored);
        QCOMPARE(read(KeychainStore::kDeviceToken).value, std::optional<QString>(QStringLiteral("dt-SECRET")));
        QVERIFY(!read(QStringLiteral("neverWritten")).value);
        QCOMPARE(log.text(),
                 QStringLiteral("orvelquin.keychain stored deviceToken\norvelquin.keychain read deviceToken\n"
                                "orvelquin.keychain neverWritten is absent"));
    }

    // Whoever wrote the earlier item, and wherever: one write leaves one item, the new one.
    void writeLeavesExactlyOneItem_data() {
        QTest::addColumn<QString>("writer");
        QTest::addColumn<bool>("inOtherCollection");
        QTest::addColumn<QString>("value");
        QTest::newRow("our own earlier write") << QStringLiteral("agent") << false << QStringLiteral("second");
        // The bytes stored are exactly the UTF-8 encoding, as other programs will read them.
        QTest::newRow("accents, emoji, CJK, spaces kept")
            << QStringLiteral("agent") << false << QStringLiteral(" zo\u00eb \U0001F600 \u8a2d\u5099\t\n");
        QTest::newRow("secret-tool, default keyring")
            << QStringLiteral("secret-tool") << false << QStringLiteral("new");
        QTest::newRow("secret-tool, another keyring") << QStringLiteral("secret-tool") << true << QStringLiteral("new");
        QTest::newRow("sign-out over secret-tool's item") << QStringLiteral("secret-tool") << true << QString();
    }

    void writeLeavesExactlyOneItem() {
        QFETCH(QString, writer);
        QFETCH(bool, inOtherCollection);
        QFETCH(QString, value);
        const QString key = QStringLiteral("one-") + QString::fromLatin1(QTest::currentDataTag());
        if (writer == u"agent") {
            QVERIFY(set(key, QStringLiteral("first")).stored);
        } else {
            QVERIFY(m_keyring->secretTool(inOtherCollection ? m_other : PrivateKeyring::login(), key, "old"));
        }
        const orvelquin::platform::SecretWrite written = set(key, value);
        QVERIFY2(written.stored, qPrintable(written.error));
        QCOMPARE(m_keyring->values(key), QList<QByteArray>{value.toUtf8()});
        QCOMPARE(read(key).value, value.isEmpty() ? std::nullopt : std::optional<QString>(value));
    }

    // A keyring whose unlock is refused is no answer: neither "absent" nor anything to replace.
    void lockedItemIsAFailedRead_data() {
        QTest::addColumn<bool>("inOtherCollection");
        QTest::addColumn<bool>("otherIsDefault");
        QTest::newRow("locked default keyring") << false << false;
        QTest::newRow("locked keyring, another is the default") << true << false;
        QTest::newRow("locked keyring that is the default") << true << true;
    }

    void lockedItemIsAFailedRead() {
        QFETCH(bool, inOtherCollection);
        QFETCH(bool, otherIsDefault);
        const QString key = QStringLiteral("locked-") + QString::fromLatin1(QTest::currentDataTag());
        const QString collection = inOtherCollection ? m_other : PrivateKeyring::login();
        QVERIFY(m_keyring->secretTool(collection, key, "keep"));
        QVERIFY(m_keyring->setDefault(otherIsDefault ? m_other : PrivateKeyring::login()));
        QVERIFY(m_keyring->lock(collection));

        const KeychainStore::Read r = read(key);
        QVERIFY(r.failed);
        QVERIFY(!r.value);
        QCOMPARE(m_keyring->values(key), QList<QByteArray>{"keep"});
    }

    void writeIntoALockedDefaultFails() {
        QVERIFY(m_keyring->setDefault(m_other));
        QVERIFY(m_keyring->lock(m_other));
        const orvelquin::platform::SecretWrite written = set(QStringLiteral("lockedWrite"), QStringLiteral("v"));
        QVERIFY(!written.stored);
        QVERIFY(!written.error.isEmpty());
        QVERIFY(m_keyring->values(QStringLiteral("lockedWrite")).isEmpty());
    }

    // The store goes (the agent quits) while the keyring shows an unlock prompt: the call is
    // abandoned, nothing of the gone store runs when the prompt closes later, and the keyring
    // daemon lives on (a cancelled libsecret unlock makes gnome-keyring-daemon 42 abort).
    void storeDestroyedDuringAPromptNeverResumes() {
        const QString key = QStringLiteral("abandoned");
        QVERIFY(m_keyring->secretTool(m_other, key, "kept"));
        QVERIFY(m_keyring->lock(m_other));
        bool finished = false;
        {
            Prompter prompter(m_keyring->bus(), Prompter::Answer::Never);
            auto doomed = orvelquin::platform::createSecretStore();
            QCoro::connect(doomed->lookup(key), this,
                           [&](const orvelquin::platform::SecretLookup&) { finished = true; });
            QTRY_VERIFY_WITH_TIMEOUT(prompter.opened > 0, 10000);
            doomed.reset();
        }
        QVERIFY(m_keyring->unlock(m_other));
        // A later call on a fresh store completing means the keyring's answers have all come in.
        QCOMPARE(read(key).value, std::optional<QString>(QStringLiteral("kept")));
        QVERIFY(!finished);
    }

private:
    std::unique_ptr<PrivateKeyring> m_keyring;
    QByteArray m_savedBus;
    QString m_other;
    std::unique_ptr<orvelquin::platform::SecretStore> m_backend;
    std::unique_ptr<KeychainStore> m_store;
};

QTEST_GUILESS_MAIN(TestKeychainStore)
#include "tst_keychainstore.moc"
