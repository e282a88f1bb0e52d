#include "app/Credentials.h"

#include <QPointer>

namespace orvelquin {

QString Credentials::keyName(Key key) {
    switch (key) {
    case Key::AccessToken:
        return KeychainStore::kAccessToken;
    case Key::Email:
        return KeychainStore::kEmail;
    case Key::DeviceId:
        return KeychainStore::kDeviceId;
    case Key::DeviceToken:
        break;
    }
    return KeychainStore::kDeviceToken;
}

Credentials::Credentials(platform::SecretStore& store, QObject* parent)
    : QObject(parent)
    , m_keychain(store) {}

Credentials::~Credentials() = default;

QCoro::Task<platform::SecretWrite> Credentials::set(Key key, std::optional<QString> value) {
    m_values[static_cast<std::size_t>(key)] = value;
    return m_keychain.set(keyName(key), value.value_or(QString()));
}

QCoro::Task<> Credentials::load() {
    QPointer<Credentials> self(this);
    m_loading = true;
    for (const Key key : kAll) {
        const KeychainStore::Read read = co_await m_keychain.read(keyName(key));
        if (!self) {
            co_return;
        }
        if (read.failed) {
            // The keyring could not answer (not started yet at login, locked, D-Bus trouble): run
            // without the credential, but leave the stored item for the next launch.
            m_values[static_cast<std::size_t>(key)] = std::nullopt;
            continue;
        }
        // Queued before the next read, so reads and write-backs reach the keyring interleaved.
        set(key, read.value);
    }
    m_loading = false;
    Q_EMIT loaded();
}

} // namespace orvelquin
