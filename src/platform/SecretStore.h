#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace orvelquin::platform {

// Outcome of reading one secret. "Not found" and "failed" are kept apart on purpose: a keyring
// that is locked or not running yet must never be mistaken for a missing credential.
struct SecretLookup {
    enum class Status { Found, NotFound, Failed };
    Status status = Status::NotFound;
    QByteArray bytes;
    QString error;
};

// The desktop's secret store, holding items of this application identified by an account name.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual SecretLookup lookup(const QString& account) = 0;
    // Replaces the item for the account in one step; returns false with the system's text on failure.
    virtual bool store(const QString& account, const QByteArray& bytes, QString* error = nullptr) = 0;
};

std::unique_ptr<SecretStore> createSecretStore();

} // namespace orvelquin::platform
