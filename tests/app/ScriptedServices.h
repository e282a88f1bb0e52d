#pragma once

// The controller's services with the keychain, the dialogs and the status area in the test's
// hands, for tests that run a real controller against a loopback server.
#include "app/AppDelegate.h"

#include <coroutine>

namespace scripted {

using namespace orvelquin::platform;

// An in-memory keyring that records every call ("get:<account>", "set:<account>=<value>"), fails
// the reads and writes it is told to, and with `holdCalls` keeps every call waiting (as an unlock
// prompt nobody answers does) until released.
class SecretStore final : public orvelquin::platform::SecretStore {
public:
    QHash<QString, QByteArray> items;
    QSet<QString> failingReads, failingWrites;
    bool holdCalls = false;
    QStringList calls;

    QCoro::Task<SecretLookup> lookup(QString account) override {
        calls << QStringLiteral("get:") + account;
        co_await Hold{this};
        if (failingReads.contains(account)) {
            co_return SecretLookup{SecretLookup::Status::Failed, {}, QStringLiteral("locked")};
        }
        co_return items.contains(account) ? SecretLookup{SecretLookup::Status::Found, items.value(account), {}}
                                          : SecretLookup{};
    }
    QCoro::Task<SecretWrite> store(QString account, QByteArray bytes) override {
        calls << QStringLiteral("set:%1=%2").arg(account, QString::fromUtf8(bytes));
        co_await Hold{this};
        if (failingWrites.contains(account)) {
            co_return SecretWrite{false, QStringLiteral("no keyring")};
        }
        items.insert(account, bytes);
        co_return SecretWrite{true, {}};
    }
    // Lets the held calls go on, in the order they were made.
    void release() {
        holdCalls = false;
        for (const std::coroutine_handle<> call : std::exchange(m_held, {})) {
            call.resume();
        }
    }
    qsizetype heldCalls() const { return static_cast<qsizetype>(m_held.size()); }

private:
    struct Hold {
        SecretStore* store;
        bool await_ready() const noexcept { return !store->holdCalls; }
        void await_suspend(std::coroutine_handle<> call) { store->m_held.push_back(call); }
        void await_resume() const noexcept {}
    };
    std::vector<std::coroutine_handle<>> m_held;
};

// Records every alert and answers it with `answer`; the sign-in prompt gets `entry`.
class Alerts final : public AlertPresenter {
public:
    QList<Alert> shown;
    int answer = 0;
    std::optional<SignInEntry> entry;
    QString offeredEmail;

    int run(const Alert& alert) override {
        shown << alert;
        return answer;
    }
    std::optional<SignInEntry> askSignIn(const QString&, const QString&, const QString& initialEmail) override {
        offeredEmail = initialEmail;
        return entry;
    }
    QStringList messages() const {
        QStringList out;
        std::transform(shown.cbegin(), shown.cend(), std::back_inserter(out), [](const Alert& a) { return a.message; });
        return out;
    }
};

// A status area the test switches on, as a panel starting after the agent would.
class TrayHost final : public orvelquin::platform::TrayHost {
public:
    bool available = true;
    bool isAvailable() const override { return available; }
    bool exportsMenu() const override { return false; }
    void start() {
        available = true;
        Q_EMIT appeared();
    }
};

// Records what would reach the desktop's notification daemon, so that none is reached (or
// started by D-Bus activation) from a test.
class Notifier final : public orvelquin::platform::Notifier {
public:
    QStringList summaries;
    void notify(const orvelquin::platform::Notification& n) override { summaries << n.summary; }
};

// The parts the test looks into; the services own them. `signedIn` stores the tokens "at" and "dt".
struct Parts {
    SecretStore* store = nullptr;
    Alerts* alerts = nullptr;
    TrayHost* tray = nullptr;
};

inline orvelquin::AppServices services(const QString& serviceURL, const QString& lockDirectory, Parts& parts,
                                       bool signedIn = false) {
    orvelquin::AppServices services = orvelquin::AppServices::system();
    auto store = std::make_unique<SecretStore>();
    if (signedIn) {
        store->items.insert(QStringLiteral("accessToken"), "at");
        store->items.insert(QStringLiteral("deviceToken"), "dt");
    }
    parts = {store.get(), new Alerts, new TrayHost};
    services.secrets = std::move(store);
    services.alerts.reset(parts.alerts);
    services.trayHost.reset(parts.tray);
    services.notifier = std::make_unique<Notifier>();
    services.lockDirectory = lockDirectory;
    services.serviceBaseURL = serviceURL;
    return services;
}

} // namespace scripted
