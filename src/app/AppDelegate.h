#pragma once

#include "app/SingleInstanceLock.h"
#include "core/KeychainStore.h"
#include "platform/SecretStore.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>

class QSystemTrayIcon;

namespace orvelquin {

// Operating-system services the controller uses, gathered so tests can hand in their own.
struct AppServices {
    std::unique_ptr<platform::SecretStore> secrets;
    QString lockDirectory;
    QString agentName;

    // The desktop's real services: Secret Service, $XDG_RUNTIME_DIR, this executable's name.
    static AppServices system();
};

// The application controller: owns every component of the agent and all of its state, and runs
// launch, the menu's actions and shutdown on the main thread.
class AppDelegate : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    enum class Credential { AccessToken, Email, DeviceId, DeviceToken };

    explicit AppDelegate(AppServices services = AppServices::system(), QObject* parent = nullptr);
    ~AppDelegate() override;

    // Called once the event loop runs. A second instance asks the application to quit here.
    void applicationDidFinishLaunching();
    // Called once on the way out (QCoreApplication::aboutToQuit).
    void applicationWillTerminate();

    // The menu's "Quit" and the shutdown signals: leave the event loop the orderly way.
    void quit();

    std::optional<QString> credential(Credential which) const;
    std::optional<QString> accessToken() const { return credential(Credential::AccessToken); }
    std::optional<QString> email() const { return credential(Credential::Email); }
    std::optional<QString> deviceId() const { return credential(Credential::DeviceId); }
    std::optional<QString> deviceToken() const { return credential(Credential::DeviceToken); }

    QString connectionState() const { return m_connectionState; }
    QString lastHeartbeat() const { return m_lastHeartbeat; }
    double heartbeatInterval() const { return m_heartbeatInterval; }
    std::optional<QString> pendingUpdateVersion() const { return m_pendingUpdateVersion; }
    std::optional<QString> lockURL() const { return m_lockURL; }
    const QSystemTrayIcon* statusItem() const { return m_statusItem; }

private:
    static QString keyOf(Credential which);
    // Every assignment of a credential writes it through to the keychain (absent as "").
    void setCredential(Credential which, std::optional<QString> value);
    void loadCredentials();
    void showStatusIcon();

    AppServices m_services;
    KeychainStore m_keychain;
    SingleInstanceLock m_lock;

    QSystemTrayIcon* m_statusItem;
    QTimer m_heartbeatTimer;
    double m_heartbeatInterval = 30.0;
    QString m_connectionState = QStringLiteral("Disconnected");
    std::optional<QString> m_pendingUpdateVersion;
    std::optional<QString> m_lockURL;
    std::optional<QString> m_credentials[4];
    QString m_lastHeartbeat = QStringLiteral("\u2014");
};

} // namespace orvelquin
