#pragma once

#include "app/CpuWindow.h"
#include "app/MenuModel.h"
#include "app/SingleInstanceLock.h"
#include "app/StatusLook.h"
#include "app/StatusMenu.h"
#include "core/KeychainStore.h"
#include "host/SystemInfo.h"
#include "platform/AlertPresenter.h"
#include "platform/LoginItem.h"
#include "platform/SecretStore.h"
#include "platform/TrayHost.h"
#include "runtime/SellerRuntimeController.h"
#include "service/APIClient.h"
#include "service/UpdateChecker.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace orvelquin {

// Operating-system services and tunables the controller uses, gathered so tests can hand in
// their own: a scripted alert presenter, a loopback service, shorter heartbeat intervals.
struct AppServices {
    std::unique_ptr<platform::SecretStore> secrets;
    std::unique_ptr<platform::AlertPresenter> alerts;
    std::unique_ptr<platform::LoginItem> loginItem;
    std::unique_ptr<platform::TrayHost> trayHost;
    QString lockDirectory;
    QString agentName;
    QString serviceBaseURL;
    double heartbeatNormalInterval = 30.0;
    double heartbeatMaximumInterval = 300.0;

    // The desktop's real services and the product's constants.
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

    // Menu actions.
    void promptSignIn();
    void toggleRuntime();
    void openConsole();
    void openDevices();
    void openDownloadPage();
    void checkForUpdates();
    void toggleLaunchAtLogin();
    void signOut();
    void quit();

    QCoro::Task<> performSignIn(QString email, QString password);
    QCoro::Task<> heartbeatNow();
    void startHeartbeat();
    void rebuildMenu();

    std::optional<QString> credential(Credential which) const;
    std::optional<QString> accessToken() const { return credential(Credential::AccessToken); }
    std::optional<QString> email() const { return credential(Credential::Email); }
    std::optional<QString> deviceId() const { return credential(Credential::DeviceId); }
    std::optional<QString> deviceToken() const { return credential(Credential::DeviceToken); }

    QString connectionState() const { return m_connectionState; }
    QString lastHeartbeat() const { return m_lastHeartbeat; }
    double heartbeatInterval() const { return m_heartbeatInterval; }
    bool isHeartbeatArmed() const { return m_heartbeatTimer.isActive(); }
    bool isSigningIn() const { return m_signingIn; }
    std::optional<QString> pendingUpdateVersion() const { return m_pendingUpdateVersion; }
    // True from launch until the keychain has answered all four reads.
    bool isKeychainPending() const { return m_keychainPending; }
    std::optional<QString> lockURL() const { return m_lockURL; }
    // Null until launch has found a status area to show it in.
    const QSystemTrayIcon* statusItem() const { return m_statusItem; }
    // The one menu the status item carries for the life of the process.
    const StatusMenu& statusMenu() const { return m_menu; }
    StatusLook statusLook() const { return m_look; }
    MenuState menuState();

Q_SIGNALS:
    // For tests and tools: emitted after each rebuild and each heartbeat's end (its outcome
    // applied, or dropped because the session it was sent for has ended).
    void menuRebuilt();
    void heartbeatFinished();
    void signInFinished();
    void updateCheckFinished();

private:
    static QString keyOf(Credential which);
    // Every assignment of a credential writes it through to the keychain (absent as ""). The
    // field changes at once; the write is queued behind the keychain calls made before it.
    QCoro::Task<platform::SecretWrite> setCredential(Credential which, std::optional<QString> value);
    QCoro::Task<> loadCredentials();
    void setSigningIn(bool signingIn);
    // The guard of every coroutine after an await: the controller exists and is not being torn
    // down (its destructor resumes the coroutines of aborted requests).
    static bool isAlive(const QPointer<AppDelegate>& self);
    void showStatusIcon();
    void createStatusItem();
    void onTrayHostAppeared();
    void onStatusItemActivated(QSystemTrayIcon::ActivationReason reason);
    void applyLook(const MenuState& state);
    void perform(MenuAction action);
    void openServicePage(const QString& path);
    QCoro::Task<> runLaunchUpdateCheck();
    QCoro::Task<> runManualUpdateCheck();
    // Collected on first use: lspci takes tens of milliseconds, which launch should not spend
    // before the icon is on the bus.
    const SystemInfo& systemInfo();

    AppServices m_services;
    KeychainStore m_keychain;
    SingleInstanceLock m_lock;
    QNetworkAccessManager m_network;

    // Built after m_network and m_services above, which they use.
    QSystemTrayIcon* m_statusItem = nullptr;
    APIClient m_api;
    SellerRuntimeController* m_runtime;
    UpdateChecker m_updateChecker;
    StatusMenu m_menu;
    // Drawn by the agent itself for a primary click where the host draws m_menu from D-Bus;
    // the two read '&' and '_' differently, so each carries its own escaping.
    StatusMenu m_popupMenu;
    StatusLook m_look;
    CpuWindow m_menuCpu;
    QTimer m_heartbeatTimer;
    double m_heartbeatInterval;
    QString m_connectionState = QStringLiteral("Disconnected");
    std::optional<QString> m_pendingUpdateVersion;
    std::optional<QString> m_lockURL;
    std::optional<QString> m_credentials[4];
    bool m_keychainPending = false;
    QString m_lastHeartbeat = QStringLiteral("\u2014");
    std::optional<SystemInfo> m_systemInfo;
    bool m_signingIn = false;
    bool m_shuttingDown = false;
};

} // namespace orvelquin
