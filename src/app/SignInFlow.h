#pragma once

#include "app/Credentials.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

#include <functional>

namespace orvelquin {

class APIClient;
struct SystemInfo;

namespace platform {
class AlertPresenter;
}

// Turns an e-mail address and a password into a registered device with a device token: logs the
// account in, registers this computer, opens a device session, and stores each credential as it
// arrives. One runs at a time; a second would register a second device.
class SignInFlow : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignInFlow)

public:
    struct Context {
        APIClient& api;
        Credentials& credentials;
        platform::AlertPresenter& alerts;
        std::function<const SystemInfo&()> systemInfo;
        // Runs once the device token is stored: the heartbeat loop's start and first beat.
        std::function<QCoro::Task<>()> startSession;
    };

    explicit SignInFlow(Context context, QObject* parent = nullptr);
    ~SignInFlow() override;

    // Asks for the e-mail address and password, offering the address typed last, and runs the
    // sign-in unless the user cancels or one already runs.
    void prompt();
    QCoro::Task<> run(QString email, QString password);
    // Forgets the four credentials, and says so if the keyring keeps them.
    QCoro::Task<> signOut();
    bool isRunning() const { return m_running; }
    // From now on nothing is shown or stored: the owner is being torn down.
    void close() { m_closed = true; }

Q_SIGNALS:
    // Started or ended: the menu and the tooltip say that a sign-in is under way.
    void runningChanged();
    void finished();

private:
    void setRunning(bool running);

    Context m_context;
    QString m_lastEmail;
    bool m_running = false;
    bool m_closed = false;
};

} // namespace orvelquin
