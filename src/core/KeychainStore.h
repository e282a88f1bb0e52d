#pragma once

#include <QString>

#include <optional>

namespace orvelquin {

namespace platform {
class SecretStore;
}

// The agent's four credentials in the desktop's secret store, one item per key. Absent and empty
// are one state: absent is written as "", and an empty or undecodable item reads as absent.
class KeychainStore {
public:
    static constexpr auto kAccessToken = QLatin1StringView("accessToken");
    static constexpr auto kEmail = QLatin1StringView("email");
    static constexpr auto kDeviceId = QLatin1StringView("deviceId");
    static constexpr auto kDeviceToken = QLatin1StringView("deviceToken");

    struct Read {
        std::optional<QString> value;
        // The store could not answer (not running, locked, D-Bus error): the item may still hold
        // a credential, so callers must not overwrite it on the strength of this read.
        bool failed = false;
    };

    explicit KeychainStore(platform::SecretStore& backend);

    void set(const QString& value, const QString& key);
    std::optional<QString> get(const QString& key) const;
    Read read(const QString& key) const;

private:
    platform::SecretStore& m_backend;
};

} // namespace orvelquin
