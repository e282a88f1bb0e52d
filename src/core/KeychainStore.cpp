#include "core/KeychainStore.h"

#include "core/Logging.h"
#include <QStringDecoder>

namespace orvelquin {

// Waits until the calls made before this one are done; hands the turn on when destroyed.
class KeychainStore::Turn {
public:
    explicit Turn(std::shared_ptr<Queue> queue)
        : m_queue(std::move(queue)) {}
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() {
        if (!m_held) {
            return;
        }
        if (m_queue->waiting.empty()) {
            m_queue->busy = false;
            return;
        }
        const std::coroutine_handle<> next = m_queue->waiting.front();
        m_queue->waiting.pop_front();
        next.resume();
    }
    auto operator co_await() {
        struct Awaiter {
            Turn& turn;
            bool await_ready() noexcept {
                if (turn.m_queue->busy) {
                    return false;
                }
                turn.m_queue->busy = turn.m_held = true;
                return true;
            }
            void await_suspend(std::coroutine_handle<> handle) { turn.m_queue->waiting.push_back(handle); }
            void await_resume() noexcept { turn.m_held = true; }
        };
        return Awaiter{*this};
    }
    // False once the store is gone: the call must not reach its backend any more.
    bool isOpen() const { return m_queue->open; }

private:
    std::shared_ptr<Queue> m_queue;
    bool m_held = false;
};

KeychainStore::KeychainStore(platform::SecretStore& backend)
    : m_backend(backend) {}

KeychainStore::~KeychainStore() {
    m_queue->open = false;
}

QCoro::Task<platform::SecretWrite> KeychainStore::set(QString key, QString value) {
    Turn turn(m_queue);
    co_await turn;
    if (!turn.isOpen()) {
        co_return platform::SecretWrite{false, QStringLiteral("The agent is shutting down")};
    }
    const platform::SecretWrite written = co_await m_backend.store(key, value.toUtf8());
    if (written.stored) {
        qCDebug(lcKeychain).noquote() << (value.isEmpty() ? "cleared" : "stored") << key;
    } else {
        qCDebug(lcKeychain).noquote() << "storing" << key << "failed:" << written.error;
    }
    co_return written;
}

QCoro::Task<KeychainStore::Read> KeychainStore::read(QString key) {
    Turn turn(m_queue);
    co_await turn;
    if (!turn.isOpen()) {
        co_return Read{std::nullopt, true};
    }
    const platform::SecretLookup lookup = co_await m_backend.lookup(key);
    if (lookup.status == platform::SecretLookup::Status::Failed) {
        qCDebug(lcKeychain).noquote() << "reading" << key << "failed:" << lookup.error;
        co_return Read{std::nullopt, true};
    }
    if (lookup.status == platform::SecretLookup::Status::NotFound || lookup.bytes.isEmpty()) {
        qCDebug(lcKeychain).noquote() << key << "is absent";
        co_return Read{};
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(lookup.bytes);
    if (decoder.hasError()) {
        qCDebug(lcKeychain).noquote() << key << "is not UTF-8 and reads as absent";
        co_return Read{};
    }
    qCDebug(lcKeychain).noquote() << "read" << key;
    co_return Read{std::move(text), false};
}

} // namespace orvelquin
