#pragma once

#include "core/KeychainStore.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <array>
#include <optional>

namespace orvelquin {

// The agent's four credentials. Every assignment writes through to the keychain (absent as "");
// the value changes at once, and the write queues behind the keychain calls made before it.
class Credentials : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Credentials)

public:
    enum class Key { AccessToken, Email, DeviceId, DeviceToken };
    // In the order launch reads them and sign-in and sign-out write them.
    static constexpr std::array kAll{Key::AccessToken, Key::Email, Key::DeviceId, Key::DeviceToken};
    static QString keyName(Key key);

    explicit Credentials(platform::SecretStore& store, QObject* parent = nullptr);
    ~Credentials() override;

    std::optional<QString> value(Key key) const { return m_values[static_cast<std::size_t>(key)]; }
    QCoro::Task<platform::SecretWrite> set(Key key, std::optional<QString> value);
    // Reads the four from the keychain and writes each straight back; a read that failed is
    // neither loaded nor written, so the stored item waits for the next launch.
    QCoro::Task<> load();
    // From launch until the keychain has answered all four reads.
    bool isLoading() const { return m_loading; }

Q_SIGNALS:
    void loaded();

private:
    KeychainStore m_keychain;
    std::array<std::optional<QString>, kAll.size()> m_values;
    bool m_loading = false;
};

} // namespace orvelquin
