#pragma once

#include "platform/SecretStore.h"

#include <QCoroTask>
#include <QString>

#include <coroutine>
#include <deque>
#include <memory>
#include <optional>

namespace orvelquin {

// The agent's four credentials in the desktop's secret store, one item per key. Absent and empty
// are one state: absent is written as "", and an empty or undecodable item reads as absent.
// Calls run one at a time in the order they were made, however long the keyring takes with each:
// a later write of a key can never be overtaken by an earlier one.
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
    ~KeychainStore();
    Q_DISABLE_COPY_MOVE(KeychainStore)

    QCoro::Task<platform::SecretWrite> set(QString key, QString value);
    QCoro::Task<Read> read(QString key);

private:
    // Shared with the calls in flight, which may outlive the store.
    struct Queue {
        bool open = true;
        bool busy = false;
        std::deque<std::coroutine_handle<>> waiting;
    };
    class Turn;

    platform::SecretStore& m_backend;
    std::shared_ptr<Queue> m_queue = std::make_shared<Queue>();
};

} // namespace orvelquin
