#include "platform/SecretStore.h"

#include <libsecret/secret.h>

namespace orvelquin::platform {
namespace {

constexpr const char* kServiceName = "com.orvelquin.desktop";

// Items are matched on their two attributes only, so an item written by another program (for
// example `secret-tool store service com.orvelquin.desktop account email`) is the same item.
const SecretSchema* schema() {
    static const SecretSchema s = {
        kServiceName,
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
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

QString takeError(GError* error) {
    QString text = error && error->message ? QString::fromUtf8(error->message) : QStringLiteral("Unknown error");
    g_clear_error(&error);
    return text;
}

class LibsecretStore final : public SecretStore {
public:
    SecretLookup lookup(const QString& account) override {
        const QByteArray accountUtf8 = account.toUtf8();
        GError* error = nullptr;
        SecretValue* value = secret_password_lookup_binary_sync(schema(), nullptr, &error, "service", kServiceName,
                                                                "account", accountUtf8.constData(), nullptr);
        SecretLookup result;
        if (error) {
            result.status = SecretLookup::Status::Failed;
            result.error = takeError(error);
            return result;
        }
        if (!value) {
            result.status = SecretLookup::Status::NotFound;
            return result;
        }
        gsize length = 0;
        const gchar* data = secret_value_get(value, &length);
        result.status = SecretLookup::Status::Found;
        result.bytes = QByteArray(data, static_cast<qsizetype>(length));
        secret_value_unref(value);
        return result;
    }

    bool store(const QString& account, const QByteArray& bytes, QString* errorText) override {
        const QByteArray accountUtf8 = account.toUtf8();
        const QByteArray label = QStringLiteral("Orvelquin Desktop (%1)").arg(account).toUtf8();
        SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "text/plain");
        GError* error = nullptr;
        // One CreateItem call with "replace": the old item stays until the new one is in place.
        const gboolean ok = secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                                              value, nullptr, &error, "service", kServiceName,
                                                              "account", accountUtf8.constData(), nullptr);
        secret_value_unref(value);
        if (!ok || error) {
            const QString text = takeError(error);
            if (errorText) {
                *errorText = text;
            }
            return false;
        }
        return true;
    }
};

} // namespace

std::unique_ptr<SecretStore> createSecretStore() {
    return std::make_unique<LibsecretStore>();
}

} // namespace orvelquin::platform
