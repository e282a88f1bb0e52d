#include "core/KeychainStore.h"

#include "platform/SecretStore.h"

#include <QStringDecoder>

namespace orvelquin {

KeychainStore::KeychainStore(platform::SecretStore& backend)
    : m_backend(backend) {}

void KeychainStore::set(const QString& value, const QString& key) {
    // Failures are not reported: the field keeps its value for this run either way.
    m_backend.store(key, value.toUtf8());
}

std::optional<QString> KeychainStore::get(const QString& key) const {
    return read(key).value;
}

KeychainStore::Read KeychainStore::read(const QString& key) const {
    const platform::SecretLookup lookup = m_backend.lookup(key);
    if (lookup.status == platform::SecretLookup::Status::Failed) {
        return {std::nullopt, true};
    }
    if (lookup.status == platform::SecretLookup::Status::NotFound || lookup.bytes.isEmpty()) {
        return {};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(lookup.bytes);
    if (decoder.hasError()) {
        return {};
    }
    return {std::move(text), false};
}

} // namespace orvelquin
