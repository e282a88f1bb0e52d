#pragma once

// The agent's four items in the session's real Secret Service, as tests of the whole binary
// see them.
#include <QStringList>

#include <libsecret/secret.h>

inline const QStringList kCredentialKeys = {QStringLiteral("accessToken"), QStringLiteral("email"),
                                            QStringLiteral("deviceId"), QStringLiteral("deviceToken")};

inline void clearCredentialItems() {
    for (const QString& account : kCredentialKeys) {
        const QByteArray accountUtf8 = account.toUtf8();
        GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
        g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>("com.orvelquin.desktop"));
        g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(accountUtf8.constData()));
        secret_password_clearv_sync(nullptr, attributes, nullptr, nullptr);
        g_hash_table_unref(attributes);
    }
}
