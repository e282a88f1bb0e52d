#pragma once

#include "platform/SecretStore.h"

#include <QHash>
#include <QSet>
#include <QStringList>

// An in-memory secret store that records every call, and can be told that the keyring cannot
// answer for some accounts, a state the real Secret Service cannot be driven into on demand.
class RecordingSecretStore final : public orvelquin::platform::SecretStore {
public:
    QHash<QString, QByteArray> items;
    QSet<QString> failingReads;
    QStringList calls; // "get:<account>" and "set:<account>=<value>"

    orvelquin::platform::SecretLookup lookup(const QString& account) override {
        calls << QStringLiteral("get:") + account;
        if (failingReads.contains(account)) {
            return {orvelquin::platform::SecretLookup::Status::Failed, {}, QStringLiteral("locked")};
        }
        if (!items.contains(account)) {
            return {};
        }
        return {orvelquin::platform::SecretLookup::Status::Found, items.value(account), {}};
    }

    bool store(const QString& account, const QByteArray& bytes, QString*) override {
        calls << QStringLiteral("set:%1=%2").arg(account, QString::fromUtf8(bytes));
        items.insert(account, bytes);
        return true;
    }
};
