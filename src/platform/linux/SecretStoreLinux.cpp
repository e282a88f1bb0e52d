#include "platform/SecretStore.h"
#include "platform/linux/GAsyncCall.h"

#include <libsecret/secret.h>

#include <coroutine>
#include <functional>
#include <utility>

// libsecret's asynchronous calls complete on the thread-default GLib main context, which Qt's
// GLib event dispatcher (the default on Linux) runs; so the event loop stays free while the
// Secret Service, or a keyring's unlock prompt, takes its time.
namespace orvelquin::platform {
namespace {

using glib::Abandoned;
using glib::GAsyncCall;
using glib::GRef;
using glib::ItemList;
using glib::takeError;

constexpr const char* kServiceName = "com.orvelquin.desktop";

bool isLocked(gpointer object) {
    return SECRET_IS_ITEM(object) ? secret_item_get_locked(SECRET_ITEM(object))
                                  : secret_collection_get_locked(SECRET_COLLECTION(object));
}

bool anyLocked(GList* objects) {
    for (GList* l = objects; l; l = l->next) {
        if (isLocked(l->data)) {
            return true;
        }
    }
    return false;
}

GHashTable* attributesFor(const QByteArray& account) {
    GHashTable* attributes = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    g_hash_table_insert(attributes, g_strdup("service"), g_strdup(kServiceName));
    g_hash_table_insert(attributes, g_strdup("account"), g_strdup(account.constData()));
    return attributes;
}

class LibsecretStore final : public SecretStore {
public:
    ~LibsecretStore() override { *m_abandoned = true; }

    QCoro::Task<SecretLookup> lookup(QString account) override {
        const auto failed = [](QString text) {
            return SecretLookup{SecretLookup::Status::Failed, {}, std::move(text)};
        };
        QString error;
        GRef<SecretService> service = co_await connect(&error);
        if (!service) {
            co_return failed(error);
        }
        // An item that stays locked may hold the credential: that is no answer, not "absent".
        // After unlocking, searched afresh: the proxies found while locked may not show what
        // unlocking revealed.
        const QByteArray name = account.toUtf8();
        std::optional<ItemList> items;
        for (bool unlocked = false;; unlocked = true) {
            items = co_await search(service.get(), name, &error);
            if (!items) {
                co_return failed(error);
            }
            if (!items->list) {
                co_return SecretLookup{};
            }
            if (!anyLocked(items->list)) {
                break;
            }
            if (unlocked) {
                co_return failed(QStringLiteral("The keyring is locked"));
            }
            if (!co_await unlockAll(service.get(), items->list, &error)) {
                co_return failed(error);
            }
        }
        GRef<GAsyncResult> loaded = co_await GAsyncCall(
            m_abandoned, [&](auto cb, auto data) { secret_item_load_secrets(items->list, nullptr, cb, data); });
        GError* gerror = nullptr;
        if (!secret_item_load_secrets_finish(loaded.get(), &gerror)) {
            co_return failed(takeError(gerror, "The secrets could not be read"));
        }
        // Another program's earlier item can sit next to ours (in another collection, or with
        // other attributes); the latest write is the credential.
        SecretItem* newest = nullptr;
        for (GList* l = items->list; l; l = l->next) {
            auto* item = static_cast<SecretItem*>(l->data);
            if (!newest || secret_item_get_modified(item) > secret_item_get_modified(newest)) {
                newest = item;
            }
        }
        SecretValue* value = secret_item_get_secret(newest);
        if (!value) {
            co_return failed(QStringLiteral("The keyring did not hand out the secret"));
        }
        gsize length = 0;
        const gchar* data = secret_value_get(value, &length);
        SecretLookup result{SecretLookup::Status::Found, QByteArray(data, static_cast<qsizetype>(length)), {}};
        secret_value_unref(value);
        co_return result;
    }

    QCoro::Task<SecretWrite> store(QString account, QByteArray bytes) override {
        const auto failed = [](QString text) { return SecretWrite{false, std::move(text)}; };
        const QByteArray accountUtf8 = account.toUtf8();
        QString error;
        GRef<SecretService> service = co_await connect(&error);
        if (!service) {
            co_return failed(error);
        }
        GRef<SecretCollection> collection = co_await defaultCollection(service.get(), &error);
        if (!collection) {
            co_return failed(error);
        }
        GList one = {collection.get(), nullptr, nullptr};
        if (!co_await unlockAll(service.get(), &one, &error)) {
            co_return failed(error);
        }

        // No schema: the item carries exactly the two attributes, as `secret-tool store` writes them.
        GHashTable* attributes = attributesFor(accountUtf8);
        const QByteArray label = QStringLiteral("Orvelquin Desktop (%1)").arg(account).toUtf8();
        SecretValue* value = secret_value_new(bytes.constData(), bytes.size(), "text/plain");
        GRef<GAsyncResult> created = co_await GAsyncCall(m_abandoned, [&](auto cb, auto data) {
            secret_item_create(collection.get(), nullptr, attributes, label.constData(), value,
                               SECRET_ITEM_CREATE_REPLACE, nullptr, cb, data);
        });
        secret_value_unref(value);
        g_hash_table_unref(attributes);
        GError* gerror = nullptr;
        GRef<SecretItem> item(secret_item_create_finish(created.get(), &gerror));
        if (!item) {
            co_return failed(takeError(gerror, "The keyring did not store the item"));
        }

        // Only now that the new value is stored, every other item for the account goes.
        std::optional<ItemList> all = co_await search(service.get(), accountUtf8, &error);
        if (!all) {
            co_return failed(error);
        }
        const char* kept = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item.get()));
        GList* others = nullptr;
        for (GList* l = all->list; l; l = l->next) {
            if (g_strcmp0(g_dbus_proxy_get_object_path(G_DBUS_PROXY(l->data)), kept) != 0) {
                others = g_list_prepend(others, l->data);
            }
        }
        const std::unique_ptr<GList, decltype(&g_list_free)> othersOwner(others, &g_list_free);
        if (!co_await unlockAll(service.get(), others, &error)) {
            co_return failed(QStringLiteral("An older item could not be removed: ") + error);
        }
        for (GList* l = others; l; l = l->next) {
            auto* other = static_cast<SecretItem*>(l->data);
            GRef<GAsyncResult> deleted = co_await GAsyncCall(
                m_abandoned, [&](auto cb, auto data) { secret_item_delete(other, nullptr, cb, data); });
            if (!secret_item_delete_finish(other, deleted.get(), &gerror)) {
                co_return failed(QStringLiteral("An older item could not be removed: ") +
                                 takeError(gerror, "unknown error"));
            }
        }
        co_return SecretWrite{true, {}};
    }

private:
    QCoro::Task<GRef<SecretService>> connect(QString* error) {
        GRef<GAsyncResult> result = co_await GAsyncCall(m_abandoned, [](auto cb, auto data) {
            secret_service_get(SECRET_SERVICE_OPEN_SESSION, nullptr, cb, data);
        });
        GError* gerror = nullptr;
        GRef<SecretService> service(secret_service_get_finish(result.get(), &gerror));
        if (!service) {
            *error = takeError(gerror, "No Secret Service");
        }
        co_return service;
    }

    // Every item for the account, in any collection, locked or not, whatever else its attributes say.
    QCoro::Task<std::optional<ItemList>> search(SecretService* service, QByteArray account, QString* error) {
        GHashTable* attributes = attributesFor(account);
        GRef<GAsyncResult> result = co_await GAsyncCall(m_abandoned, [&](auto cb, auto data) {
            secret_service_search(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, cb, data);
        });
        g_hash_table_unref(attributes);
        GError* gerror = nullptr;
        GList* items = secret_service_search_finish(service, result.get(), &gerror);
        if (gerror) {
            g_list_free_full(items, g_object_unref);
            *error = takeError(gerror, "The search failed");
            co_return std::nullopt;
        }
        co_return ItemList(items);
    }

    // Unlocks the locked ones among `objects` (items or collections); true only if all of them
    // are unlocked now. A refused or failed prompt reports no error, only fewer unlocked objects.
    QCoro::Task<bool> unlockAll(SecretService* service, GList* objects, QString* error) {
        GList* locked = nullptr;
        for (GList* l = objects; l; l = l->next) {
            if (isLocked(l->data)) {
                locked = g_list_prepend(locked, l->data);
            }
        }
        if (!locked) {
            co_return true;
        }
        GRef<GAsyncResult> result = co_await GAsyncCall(
            m_abandoned, [&](auto cb, auto data) { secret_service_unlock(service, locked, nullptr, cb, data); });
        GError* gerror = nullptr;
        const gint count = secret_service_unlock_finish(service, result.get(), nullptr, &gerror);
        const guint wanted = g_list_length(locked);
        g_list_free(locked);
        if (gerror) {
            *error = takeError(gerror, "The keyring could not be unlocked");
            co_return false;
        }
        if (count < 0 || static_cast<guint>(count) < wanted) {
            *error = QStringLiteral("The keyring is locked");
            co_return false;
        }
        co_return true;
    }

    // The collection the desktop stores new secrets in, made (with its password prompt) if the
    // session has none yet.
    QCoro::Task<GRef<SecretCollection>> defaultCollection(SecretService* service, QString* error) {
        GRef<GAsyncResult> result = co_await GAsyncCall(m_abandoned, [&](auto cb, auto data) {
            secret_collection_for_alias(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, cb, data);
        });
        GError* gerror = nullptr;
        GRef<SecretCollection> collection(secret_collection_for_alias_finish(result.get(), &gerror));
        if (gerror) {
            *error = takeError(gerror, "The default keyring could not be found");
            co_return GRef<SecretCollection>();
        }
        if (collection) {
            co_return collection;
        }
        result = co_await GAsyncCall(m_abandoned, [&](auto cb, auto data) {
            secret_collection_create(service, "Default keyring", SECRET_COLLECTION_DEFAULT,
                                     SECRET_COLLECTION_CREATE_NONE, nullptr, cb, data);
        });
        collection.reset(secret_collection_create_finish(result.get(), &gerror));
        if (!collection) {
            *error = takeError(gerror, "No keyring was created");
        }
        co_return collection;
    }

    std::shared_ptr<bool> m_abandoned = std::make_shared<bool>(false);
};

} // namespace

std::unique_ptr<SecretStore> createSecretStore() {
    return std::make_unique<LibsecretStore>();
}

} // namespace orvelquin::platform
