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
    struct Hold {
        SecretStore* store;
        bool await_ready() const noexcept { return !store->holdCalls; }
        void await_suspend(std::coroutine_handle<> call) { store->held.push_back(call); }
        void await_resume() const noexcept {}
    };

public:
    QHash<QString, QByteArray> items;
    QSet<QString> failingReads, failingWrites;
    bool holdCalls = false;
    QStringList calls;
    std::vector<std::coroutine_handle<>> held;

    QCoro::Task<SecretLookup> lookup(QString account) override {
        calls << QStringLiteral("get:") + account;
        co_await Hold{this};
        using enum SecretLookup::Status;
        co_return failingReads.contains(account) ? SecretLookup{Failed, {}, QStringLiteral("locked")}
        : items.contains(account)                ? SecretLookup{Found, items.value(account), {}}
                                                 : SecretLookup{};
    }
    QCoro::Task<SecretWrite> store(QString account, QByteArray bytes) override {
        calls << QStringLiteral("set:%1=%2").arg(account, QString::fromUtf8(bytes));
        co_await Hold{this};
        co_return failingWrites.contains(account) ? SecretWrite{false, QStringLiteral("no keyring")}
                                                  : (items.insert(account, bytes), SecretWrite{true, {}});
    }
    // Lets the held calls go on, in the order they were made.
    void release() {
        holdCalls = false;
        for (const std::coroutine_handle<> call : std::exchange(held, {})) {
            call.resume();
        }
    }
};

// Records every alert as "message: informative" with its number of buttons, and answers it with
// `answer`; the sign-in prompt gets `entry`.
class Alerts final : public AlertPresenter {
public:
    QStringList said;
    qsizetype buttons = 0;
    int answer = 0;
    std::optional<SignInEntry> entry;
    QString offeredEmail;

    int run(const Alert& alert) override {
        said << alert.message + QStringLiteral(": ") + alert.informative;
        buttons = alert.buttons.size();
        return answer;
    }
    std::optional<SignInEntry> askSignIn(const QString&, const QString&, const QString& initialEmail) override {
        offeredEmail = initialEmail;
        return entry;
    }
};

// A status area that is there (the platform's, offscreen, never is).
class TrayHost final : public orvelquin::platform::TrayHost {
    bool isAvailable() const override { return true; }
    bool exportsMenu() const override { return false; }
};

// Records what would reach the desktop's notification daemon, so that none is reached (or
// started by D-Bus activation) from a test.
class Notifier final : public orvelquin::platform::Notifier {
public:
    QStringList summaries;
    void notify(const orvelquin::platform::Notification& n) override { summaries << n.summary; }
};

// The parts the test looks into; the services own them.
struct Parts {
    SecretStore* store = nullptr;
    Alerts* alerts = nullptr;
};

// `signedIn` stores the tokens "at" and "dt"; heartbeats back off from `normal` seconds to ten
// times that.
inline orvelquin::AppServices services(const QString& serviceURL, const QString& lockDirectory, Parts& parts,
                                       bool signedIn, double normal) {
    orvelquin::AppServices services = orvelquin::AppServices::system();
    parts = {new SecretStore, new Alerts};
    if (signedIn) {
        parts.store->items = {{QStringLiteral("accessToken"), "at"}, {QStringLiteral("deviceToken"), "dt"}};
    }
    services.secrets.reset(parts.store), services.alerts.reset(parts.alerts);
    services.trayHost = std::make_unique<TrayHost>(), services.notifier = std::make_unique<Notifier>();
    services.lockDirectory = lockDirectory, services.serviceBaseURL = serviceURL;
    services.heartbeat.normal = normal, services.heartbeat.maximum = 10 * normal;
    return services;
}

} // namespace scripted
