// Runs against the session's real Secret Service (scripts/test-session starts GNOME Keyring).
#include "../LogCapture.h"
#include "core/KeychainStore.h"
#include "platform/SecretStore.h"

#include <QProcess>
#include <QTest>

#include <libsecret/secret.h>

using orvelquin::KeychainStore;

namespace {

const SecretSchema* foreignSchema() {
    // Another program writing under our attributes, with a schema name of its own.
    static const SecretSchema s = {
        "org.example.OtherTool",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &s;
}

int itemCount(const QString& account) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    const QByteArray accountUtf8 = account.toUtf8();
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>("com.orvelquin.desktop"));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(accountUtf8.constData()));
    GError* error = nullptr;
    GList* items = secret_password_searchv_sync(nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error);
    g_hash_table_unref(attributes);
    if (error) {
        g_error_free(error);
        return -1;
    }
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

} // namespace

class TestKeychainStore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        m_backend = orvelquin::platform::createSecretStore();
        QString error;
        QVERIFY2(m_backend->store(QStringLiteral("probe"), "x", &error), qPrintable(error));
    }

    void neverWrittenReadsAbsent() {
        KeychainStore store(*m_backend);
        const KeychainStore::Read read = store.read(QStringLiteral("neverWritten"));
        QVERIFY(!read.value);
        QVERIFY(!read.failed);
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("ascii") << QStringLiteral("tok_abc123");
        QTest::newRow("accented e-mail") << QStringLiteral("zoë.müller@exämple.test");
        QTest::newRow("emoji and CJK") << QStringLiteral("\U0001F600 設備");
        QTest::newRow("spaces kept") << QStringLiteral("  padded\tvalue \n");
    }

    void roundTrip() {
        QFETCH(QString, value);
        KeychainStore store(*m_backend);
        store.set(value, KeychainStore::kEmail);
        QCOMPARE(store.get(KeychainStore::kEmail), std::optional<QString>(value));
        // The bytes stored are exactly the UTF-8 encoding, as other programs will read them.
        const orvelquin::platform::SecretLookup raw = m_backend->lookup(KeychainStore::kEmail);
        QCOMPARE(raw.bytes, value.toUtf8());
    }

    void emptyReadsBackAbsentButItemExists() {
        KeychainStore store(*m_backend);
        store.set(QStringLiteral("something"), KeychainStore::kDeviceId);
        store.set(QString(), KeychainStore::kDeviceId);
        QVERIFY(!store.get(KeychainStore::kDeviceId));
        QCOMPARE(m_backend->lookup(KeychainStore::kDeviceId).status, orvelquin::platform::SecretLookup::Status::Found);
    }

    void secondSetReplacesTheOnlyItem() {
        KeychainStore store(*m_backend);
        store.set(QStringLiteral("first"), KeychainStore::kDeviceToken);
        store.set(QStringLiteral("second"), KeychainStore::kDeviceToken);
        QCOMPARE(store.get(KeychainStore::kDeviceToken), std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(itemCount(KeychainStore::kDeviceToken), 1);
    }

    void invalidUtf8FromAnotherProgramReadsAbsent() {
        const QByteArray bytes("\xff\xfe broken \xc3", 11);
        SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "application/octet-stream");
        GError* error = nullptr;
        secret_password_store_binary_sync(foreignSchema(), SECRET_COLLECTION_DEFAULT, "foreign", value, nullptr, &error,
                                          "service", "com.orvelquin.desktop", "account", "foreignKey", nullptr);
        secret_value_unref(value);
        QVERIFY2(!error, error ? error->message : "");

        KeychainStore store(*m_backend);
        const KeychainStore::Read read = store.read(QStringLiteral("foreignKey"));
        QVERIFY(!read.value);
        QVERIFY(!read.failed);
    }

    void logNamesKeysButNeverValues() {
        LogCapture log;
        KeychainStore store(*m_backend);
        store.set(QStringLiteral("dt-SECRET"), KeychainStore::kDeviceToken);
        QCOMPARE(store.get(KeychainStore::kDeviceToken), std::optional<QString>(QStringLiteral("dt-SECRET")));
        QVERIFY(!store.get(QStringLiteral("neverWritten")));
        QCOMPARE(log.text(),
                 QStringLiteral("orvelquin.keychain stored deviceToken\norvelquin.keychain read deviceToken\n"
                                "orvelquin.keychain neverWritten is absent"));
    }

    void secretToolReadsWhatWasStored() {
        KeychainStore store(*m_backend);
        store.set(QStringLiteral("ana@exämple.test"), KeychainStore::kEmail);
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"),
                   {QStringLiteral("lookup"), QStringLiteral("service"), QStringLiteral("com.orvelquin.desktop"),
                    QStringLiteral("account"), QStringLiteral("email")});
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()), QStringLiteral("ana@exämple.test"));
    }

private:
    std::unique_ptr<orvelquin::platform::SecretStore> m_backend;
};

QTEST_GUILESS_MAIN(TestKeychainStore)
#include "tst_keychainstore.moc"
