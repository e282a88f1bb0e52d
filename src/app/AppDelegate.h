#pragma once

#include "app/CpuWindow.h"
#include "app/Credentials.h"
#include "app/DesktopNotices.h"
#include "app/HeartbeatLoop.h"
#include "app/MenuModel.h"
#include "app/SignInFlow.h"
#include "app/SingleInstanceLock.h"
#include "app/StatusItem.h"
#include "app/UpdatePrompt.h"
#include "core/Settings.h"
#include "host/SystemInfo.h"
#include "platform/AlertPresenter.h"
#include "platform/ConnectivityWatch.h"
#include "platform/LoginItem.h"
#include "platform/Notifications.h"
#include "platform/SecretStore.h"
#include "platform/TrayHost.h"
#include "runtime/SellerRuntimeController.h"
#include "service/APIClient.h"
#include "service/UpdateChecker.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

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
    std::unique_ptr<platform::Notifier> notifier;
    std::unique_ptr<platform::ConnectivityWatch> connectivity;
    QString lockDirectory;
    QString agentName;
    QString serviceBaseURL;
    HeartbeatLoop::Intervals heartbeat;

    // The desktop's real services and the product's constants.
    static AppServices system();
};

// The application controller: owns every part of the agent, runs launch and shutdown, wires the
// parts together and carries out what the menu asks for, all on the main thread.
class AppDelegate : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    using Credential = Credentials::Key;

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

    std::optional<QString> credential(Credential which) const { return m_credentials.value(which); }
    std::optional<QString> accessToken() const { return credential(Credential::AccessToken); }
    std::optional<QString> email() const { return credential(Credential::Email); }
    std::optional<QString> deviceId() const { return credential(Credential::DeviceId); }
    std::optional<QString> deviceToken() const { return credential(Credential::DeviceToken); }

    ConnectionState connectionState() const { return m_heartbeat.state(); }
    QString lastHeartbeat() const { return m_heartbeat.lastHeartbeat(); }
    double heartbeatInterval() const { return m_heartbeat.interval(); }
    bool isHeartbeatArmed() const { return m_heartbeat.isArmed(); }
    bool isSigningIn() const { return m_signIn.isRunning(); }
    std::optional<QString> pendingUpdateVersion() const { return m_updatePrompt.pendingVersion(); }
    // True from launch until the keychain has answered all four reads.
    bool isKeychainPending() const { return m_credentials.isLoading(); }
    std::optional<QString> lockPath() const { return m_lockPath; }
    const StatusItem& statusItem() const { return m_statusItem; }
    MenuState menuState();

Q_SIGNALS:
    // For tests and tools: emitted after each rebuild and each heartbeat's end (its outcome
    // applied, or dropped because the session it was sent for has ended).
    void menuRebuilt();
    void heartbeatFinished();
    void signInFinished();
    void updateCheckFinished();

private:
    void perform(MenuAction action);
    void openServicePage(const QString& path);
    QCoro::Task<> sendHeartbeat(QString deviceToken);
    // Collected on first use: lspci takes tens of milliseconds, which launch should not spend
    // before the icon is on the bus.
    const SystemInfo& systemInfo();

    // Declaration order is construction order: each part is built after those it uses.
    AppServices m_services;
    SingleInstanceLock m_lock;
    QNetworkAccessManager m_network;
    APIClient m_api;
    UpdateChecker m_updateChecker;
    SellerRuntimeController* m_runtime;
    Credentials m_credentials;
    HeartbeatLoop m_heartbeat;
    StatusItem m_statusItem;
    SignInFlow m_signIn;
    UpdatePrompt m_updatePrompt;
    DesktopNotices m_notices;
    CpuWindow m_menuCpu;
    std::optional<SystemInfo> m_systemInfo;
    std::optional<QString> m_lockPath;
    // Read once: only the menu item changes it, and every menu rebuild shows it.
    bool m_launchAtLogin = userSettings().value(SettingsKeys::launchAtLogin, false).toBool();
};

} // namespace orvelquin
