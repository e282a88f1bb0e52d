#include "app/SignInFlow.h"

#include "core/AppInfo.h"
#include "core/Text.h"
#include "platform/AlertPresenter.h"
#include "platform/HostName.h"
#include "service/APIClient.h"
#include "service/ServiceErrors.h"

#include <QPointer>

#include <vector>

namespace orvelquin {

using Key = Credentials::Key;

namespace {

// Touches nothing but the writes, so it may finish after the flow is gone.
QCoro::Task<std::optional<QString>> firstFailure(std::vector<QCoro::Task<platform::SecretWrite>> writes) {
    std::optional<QString> error;
    for (QCoro::Task<platform::SecretWrite>& write : writes) {
        const platform::SecretWrite written = co_await write;
        if (!written.stored && !error) {
            error = written.error;
        }
    }
    co_return error;
}

} // namespace

SignInFlow::SignInFlow(Context context, QObject* parent)
    : QObject(parent)
    , m_context(std::move(context)) {}

SignInFlow::~SignInFlow() = default;

void SignInFlow::prompt() {
    if (m_running) {
        return;
    }
    const std::optional<platform::SignInEntry> entry =
        m_context.alerts.askSignIn(QStringLiteral("Sign in to Orvelquin"),
                                   QStringLiteral("This registers this computer as an Orvelquin device."), m_lastEmail);
    if (!entry) {
        return;
    }
    run(trimHorizontalSpace(entry->email), entry->password);
}

void SignInFlow::setRunning(bool running) {
    m_running = running;
    Q_EMIT runningChanged();
}

QCoro::Task<> SignInFlow::run(QString email, QString password) {
    QPointer<SignInFlow> self(this);
    const auto gone = [&] { return !self || m_closed; };
    m_lastEmail = email;
    setRunning(true);
    Credentials& credentials = m_context.credentials;
    // The writes go on in the background; the sign-in looks at them once, at its end.
    std::vector<QCoro::Task<platform::SecretWrite>> writes;
    std::optional<QString> failure;
    try {
        const SignInResponse login = co_await m_context.api.signIn(email, password);
        if (gone()) {
            co_return;
        }
        const QString accessToken = login.accessToken;
        writes.push_back(credentials.set(Key::AccessToken, accessToken));
        writes.push_back(credentials.set(Key::Email, email));

        const QString name = platform::localizedHostName().value_or(QStringLiteral("Linux"));
        const RegisterDeviceResponse device =
            co_await m_context.api.registerDevice(name, m_context.systemInfo(), AppInfo::version(), accessToken);
        if (gone()) {
            co_return;
        }
        writes.push_back(credentials.set(Key::DeviceId, device.deviceId));

        const SessionResponse session = co_await m_context.api.startDeviceSession(device.deviceId, accessToken);
        if (gone()) {
            co_return;
        }
        writes.push_back(credentials.set(Key::DeviceToken, session.deviceToken));
    } catch (const ServiceError& error) {
        failure = error.message();
    }
    if (gone()) {
        co_return;
    }
    setRunning(false);
    if (failure) {
        m_context.alerts.run({QStringLiteral("Sign-in failed"), *failure, {}, platform::Alert::Severity::Warning});
    } else {
        co_await m_context.startSession();
        if (gone()) {
            co_return;
        }
    }
    const std::optional<QString> writeError = co_await firstFailure(std::move(writes));
    if (gone()) {
        co_return;
    }
    if (writeError) {
        // Once per sign-in, however many writes failed: the session goes on, but only for this run.
        m_context.alerts.run(
            {QStringLiteral("Credentials not saved"),
             QStringLiteral("The keyring could not store your sign-in details. You stay signed in "
                            "until Orvelquin Desktop quits; the sign-in will not survive a restart. (") +
                 *writeError + u')',
             {},
             platform::Alert::Severity::Warning});
    }
    Q_EMIT finished();
}

QCoro::Task<> SignInFlow::signOut() {
    QPointer<SignInFlow> self(this);
    std::vector<QCoro::Task<platform::SecretWrite>> writes;
    for (const Key key : Credentials::kAll) {
        writes.push_back(m_context.credentials.set(key, std::nullopt));
    }
    const std::optional<QString> error = co_await firstFailure(std::move(writes));
    if (!self || m_closed || !error) {
        co_return;
    }
    // What stays in the keyring signs this computer in again at the next launch: say so, rather
    // than show a sign-out that only lasts until then.
    m_context.alerts.run({QStringLiteral("Credentials not removed"),
                          QStringLiteral("The keyring could not remove your sign-in details, so Orvelquin Desktop "
                                         "will be signed in again when it next starts. Sign out again once the "
                                         "keyring is available. (") +
                              *error + u')',
                          {},
                          platform::Alert::Severity::Warning});
}

} // namespace orvelquin
