#pragma once

// The product's services with the keychain and the dialogs in the test's hands, for tests that
// run a real controller against a loopback server.
#include "RecordingSecretStore.h"
#include "app/AppDelegate.h"

#include <QList>

// Records every alert and answers it with `answer`; the sign-in prompt gets `entry`.
class ScriptedAlerts final : public orvelquin::platform::AlertPresenter {
public:
    QList<orvelquin::platform::Alert> shown;
    int answer = 0;
    std::optional<orvelquin::platform::SignInEntry> entry;
    QString offeredEmail;

    int run(const orvelquin::platform::Alert& alert) override {
        shown << alert;
        return answer;
    }
    std::optional<orvelquin::platform::SignInEntry> askSignIn(const QString&, const QString&,
                                                              const QString& initialEmail) override {
        offeredEmail = initialEmail;
        return entry;
    }
};

// `store` and `alerts` point into the returned services, which own them; `signedIn` stores the
// access and device tokens "at" and "dt".
inline orvelquin::AppServices scriptedServices(const QString& serviceURL, const QString& lockDirectory, bool signedIn,
                                               RecordingSecretStore*& store, ScriptedAlerts*& alerts) {
    auto ownedStore = std::make_unique<RecordingSecretStore>();
    if (signedIn) {
        ownedStore->items.insert(QStringLiteral("accessToken"), "at");
        ownedStore->items.insert(QStringLiteral("deviceToken"), "dt");
    }
    store = ownedStore.get();
    auto ownedAlerts = std::make_unique<ScriptedAlerts>();
    alerts = ownedAlerts.get();
    orvelquin::AppServices services = orvelquin::AppServices::system();
    services.secrets = std::move(ownedStore);
    services.alerts = std::move(ownedAlerts);
    services.lockDirectory = lockDirectory;
    services.serviceBaseURL = serviceURL;
    return services;
}
