#include "core/KeychainStore.h"

#include "core/Logging.h"
#include "platform/SecretStore.h"

#include <QStringDecoder>

namespace orvelquin {

KeychainStore::KeychainStore(platform::SecretStore& backend)
    : m_backend(backend) {}

void KeychainStore::set(const QString& value, const QString& key) {
    // Failures are not reported: the field keeps its value for this run either way.
    QString error;
    if (m_backend.store(key, value.toUtf8(), &error)) {
        qCDebug(lcKeychain).noquote() << (value.isEmpty() ? "cleared" : "stored") << key;
    } else {
        qCDebug(lcKeychain).noquote() << "storing" << key << "failed:" << error;
    }
}

std::optional<QString> KeychainStore::get(const QString& key) const {
    return read(key).value;
}

KeychainStore::Read KeychainStore::read(const QString& key) const {
    const platform::SecretLookup lookup = m_backend.lookup(key);
    if (lookup.status == platform::SecretLookup::Status::Failed) {
        qCDebug(lcKeychain).noquote() << "reading" << key << "failed:" << lookup.error;
        return {std::nullopt, true};
    }
    if (lookup.status == platform::SecretLookup::Status::NotFound || lookup.bytes.isEmpty()) {
        qCDebug(lcKeychain).noquote() << key << "is absent";
        return {};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(lookup.bytes);
    if (decoder.hasError()) {
        qCDebug(lcKeychain).noquote() << key << "is not UTF-8 and reads as absent";
        return {};
    }
    qCDebug(lcKeychain).noquote() << "read" << key;
    return {std::move(text), false};
}

} // namespace orvelquin
