#pragma once

#include "platform/SecretStore.h"

#include <QHash>
#include <QSet>
#include <QStringList>

#include <coroutine>
#include <vector>

// An in-memory secret store that records every call, and can be told that the keyring cannot
// answer or store for some accounts, or that it keeps every call waiting (as an unlock prompt
// nobody answers does) until the test releases them.
class RecordingSecretStore final : public orvelquin::platform::SecretStore {
public:
    QHash<QString, QByteArray> items;
    QSet<QString> failingReads;
    QSet<QString> failingWrites;
    bool holdCalls = false;
    QStringList calls; // "get:<account>" and "set:<account>=<value>"

    orvelquin::platform::SecretLookup lookupNow(const QString& account) const {
        if (failingReads.contains(account)) {
            return {orvelquin::platform::SecretLookup::Status::Failed, {}, QStringLiteral("locked")};
        }
        if (!items.contains(account)) {
            return {};
        }
        return {orvelquin::platform::SecretLookup::Status::Found, items.value(account), {}};
    }

    QCoro::Task<orvelquin::platform::SecretLookup> lookup(QString account) override {
        calls << QStringLiteral("get:") + account;
        co_await Hold{this};
        co_return lookupNow(account);
    }

    QCoro::Task<orvelquin::platform::SecretWrite> store(QString account, QByteArray bytes) override {
        calls << QStringLiteral("set:%1=%2").arg(account, QString::fromUtf8(bytes));
        co_await Hold{this};
        if (failingWrites.contains(account)) {
            co_return orvelquin::platform::SecretWrite{false, QStringLiteral("no keyring")};
        }
        items.insert(account, bytes);
        co_return orvelquin::platform::SecretWrite{true, {}};
    }

    // Lets the held calls go on, in the order they were made.
    void release() {
        holdCalls = false;
        const std::vector<std::coroutine_handle<>> waiting = std::exchange(m_held, {});
        for (const std::coroutine_handle<> call : waiting) {
            call.resume();
        }
    }
    qsizetype heldCalls() const { return static_cast<qsizetype>(m_held.size()); }

private:
    struct Hold {
        RecordingSecretStore* store;
        bool await_ready() const noexcept { return !store->holdCalls; }
        void await_suspend(std::coroutine_handle<> call) { store->m_held.push_back(call); }
        void await_resume() const noexcept {}
    };
    std::vector<std::coroutine_handle<>> m_held;
};
