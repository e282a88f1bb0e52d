#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <memory>

namespace orvelquin::platform {

// Outcome of reading one secret. "Not found" and "failed" are kept apart on purpose: a keyring
// that is locked or not running yet must never be mistaken for a missing credential, so NotFound
// is reported only when the store positively knows that no item exists.
struct SecretLookup {
    enum class Status { Found, NotFound, Failed };
    Status status = Status::NotFound;
    QByteArray bytes;
    QString error;
};

struct SecretWrite {
    bool stored = false;
    QString error;
};

// The desktop's secret store, holding items of this application identified by an account name.
// Calls never block: they may wait on a keyring's unlock prompt for as long as the user takes.
// Destroying the store abandons the calls still pending: they never complete, so nothing that
// awaits them runs on after its owner is gone.
class SecretStore {
public:
    virtual ~SecretStore() = default;
    virtual QCoro::Task<SecretLookup> lookup(QString account) = 0;
    // Leaves exactly one item for the account, holding `bytes`: the new value is stored before
    // any other item for the account (written by anyone, in any collection) is removed.
    virtual QCoro::Task<SecretWrite> store(QString account, QByteArray bytes) = 0;
};

std::unique_ptr<SecretStore> createSecretStore();

} // namespace orvelquin::platform
