#include "app/AppDelegate.h"

#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"
#include "core/Settings.h"
#include "platform/ProcessCpuTime.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QSettings>
#include <QStandardPaths>

namespace orvelquin {
AppServices AppServices::system() {
    AppServices services;
    services.secrets = platform::createSecretStore();
    services.alerts = platform::createAlertPresenter();
    services.loginItem = platform::createLoginItem();
    services.trayHost = platform::createTrayHost();
    services.notifier = platform::createNotifier();
    services.connectivity = platform::createConnectivityWatch();
    services.lockDirectory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    services.agentName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    services.serviceBaseURL = AppInfo::serviceBaseURL();
    return services;
}

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_lock(m_services.lockDirectory, m_services.agentName)
    , m_api(QUrl(m_services.serviceBaseURL), m_network)
    , m_updateChecker(QUrl(m_services.serviceBaseURL), m_network)
    , m_runtime(new SellerRuntimeController(this))
    , m_credentials(*m_services.secrets)
    , m_heartbeat(
          m_services.heartbeat, [this] { return deviceToken(); },
          [this](QString token) { return sendHeartbeat(std::move(token)); })
    , m_statusItem(*m_services.trayHost, *m_services.alerts)
    , m_signIn({m_api, m_credentials, *m_services.alerts, [this]() -> const SystemInfo& { return systemInfo(); },
                [this]() -> QCoro::Task<> {
                    startHeartbeat();
                    co_await heartbeatNow();
                }})
    , m_updatePrompt(m_updateChecker, *m_services.alerts, [this] { openDownloadPage(); })
    , m_notices(*m_services.notifier) {
    // The desktop's proxy settings (or https_proxy and no_proxy) apply to the agent as to any
    // other network program; Qt leaves them unused unless asked.
    QNetworkProxyFactory::setUseSystemConfiguration(true);

    connect(&m_statusItem, &StatusItem::triggered, this, &AppDelegate::perform);
    // An open menu shows the runtime's uptime and processor use as they are now, not as the
    // last heartbeat left them.
    connect(&m_statusItem, &StatusItem::aboutToShow, this, &AppDelegate::rebuildMenu);
    // A runtime that exits on its own changes what the menu and the icon must say.
    connect(m_runtime, &SellerRuntimeController::stateChanged, this, [this] {
        if (m_lockPath) {
            m_notices.runtimeState(m_runtime->state(), m_runtime->lastError().value_or(QString()));
            rebuildMenu();
        }
    });
    connect(&m_credentials, &Credentials::loaded, this, [this] {
        rebuildMenu();
        if (accessToken() && deviceToken()) {
            startHeartbeat();
        }
    });
    connect(&m_heartbeat, &HeartbeatLoop::outcomeApplied, this, [this] {
        m_notices.heartbeatOutcome(m_heartbeat.state(), DesktopNotices::Clock::now());
        rebuildMenu();
    });
    // Back online at once when the network returns or the computer wakes, not at the end of a
    // back-off of up to five minutes.
    connect(m_services.connectivity.get(), &platform::ConnectivityWatch::connectivityRestored, this,
            [this] { m_heartbeat.beatEarly(HeartbeatLoop::Wake::NetworkBack); });
    connect(m_services.connectivity.get(), &platform::ConnectivityWatch::resumed, this,
            [this] { m_heartbeat.beatEarly(HeartbeatLoop::Wake::Resumed); });
    connect(&m_heartbeat, &HeartbeatLoop::finished, this, &AppDelegate::heartbeatFinished);
    connect(&m_signIn, &SignInFlow::runningChanged, this, &AppDelegate::rebuildMenu);
    connect(&m_signIn, &SignInFlow::finished, this, [this] {
        rebuildMenu();
        Q_EMIT signInFinished();
    });
    connect(&m_updatePrompt, &UpdatePrompt::pendingVersionChanged, this, [this] {
        m_notices.updateFound(m_updatePrompt.pendingVersion().value_or(QString()));
        rebuildMenu();
    });
    connect(&m_updatePrompt, &UpdatePrompt::finished, this, &AppDelegate::updateCheckFinished);
}

AppDelegate::~AppDelegate() {
    // Requests still in flight would leave their coroutines suspended for ever once the network
    // manager deletes their replies. Aborted now, each one resumes and ends, while everything it
    // touches on the way out still exists; closed first, none of them shows or stores anything.
    m_heartbeat.close();
    m_signIn.close();
    m_updatePrompt.close();
    for (QNetworkReply* reply : m_network.findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

void AppDelegate::applicationDidFinishLaunching() {
    // A tray agent has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!m_lock.acquire()) {
        QCoreApplication::quit();
        return;
    }
    m_lockPath = m_lock.filePath();

    // The icon goes up before the keychain has answered: the keyring may take its time (an
    // unlock prompt waits for the user), and the menu says so until it has.
    m_credentials.load();
    rebuildMenu();
    m_statusItem.show();
    m_updatePrompt.checkAtLaunch();
}

void AppDelegate::applicationWillTerminate() {
    m_runtime->stop();
    m_heartbeat.stop();
    m_lock.release();
}

const SystemInfo& AppDelegate::systemInfo() {
    if (!m_systemInfo) {
        m_systemInfo = SystemInfo::collect();
    }
    return *m_systemInfo;
}

// --- menu ----------------------------------------------------------------------------------------

MenuState AppDelegate::menuState() {
    MenuState s;
    s.email = email();
    s.deviceId = deviceId();
    s.hasDeviceToken = deviceToken().has_value();
    s.signingIn = m_signIn.isRunning();
    s.keychainPending = m_credentials.isLoading();
    s.connectionState = m_heartbeat.state();
    s.lastHeartbeat = m_heartbeat.lastHeartbeat();
    s.runtimeModeLabel = SellerRuntimeController::modeLabel(m_runtime->mode());
    s.runtimeStateLabel = SellerRuntimeController::stateLabel(m_runtime->state());
    s.runtimeRunning = m_runtime->state() == SellerRuntimeController::RuntimeState::Running;
    s.runtimeCrashed = m_runtime->state() == SellerRuntimeController::RuntimeState::Crashed;
    if (s.runtimeRunning) {
        s.runtimeUptimeSeconds = m_runtime->uptimeSeconds();
        if (const std::optional<qint64> pid = m_runtime->pid()) {
            s.runtimeCpuPercent = m_menuCpu.sample(*pid, CpuWindow::Clock::now(), platform::processCpuTimeNs(*pid));
        }
    }
    const SystemInfo& host = systemInfo();
    s.cpuModel = host.cpuModel;
    s.ramBytes = host.ramBytes;
    s.gpu = host.gpu;
    s.version = AppInfo::version();
    s.pendingUpdateVersion = m_updatePrompt.pendingVersion();
    s.launchAtLogin = m_launchAtLogin;
    return s;
}

void AppDelegate::rebuildMenu() {
    // Composed whole from the state on every change, then brought into the one live menu in
    // place: the layout depends on several fields at once, and composing afresh can never show
    // a stale combination.
    m_statusItem.update(menuState());
    Q_EMIT menuRebuilt();
}

void AppDelegate::perform(MenuAction action) {
    switch (action) {
    case MenuAction::None:
        return;
    case MenuAction::ToggleRuntime:
        return toggleRuntime();
    case MenuAction::OpenConsole:
        return openConsole();
    case MenuAction::OpenDevices:
        return openDevices();
    case MenuAction::SignOut:
        return signOut();
    case MenuAction::PromptSignIn:
        return promptSignIn();
    case MenuAction::CheckForUpdates:
        return checkForUpdates();
    case MenuAction::OpenDownloadPage:
        return openDownloadPage();
    case MenuAction::ToggleLaunchAtLogin:
        return toggleLaunchAtLogin();
    case MenuAction::Quit:
        return quit();
    }
}

// --- menu actions --------------------------------------------------------------------------------

void AppDelegate::promptSignIn() {
    m_signIn.prompt();
}

QCoro::Task<> AppDelegate::performSignIn(QString email, QString password) {
    return m_signIn.run(std::move(email), std::move(password));
}

void AppDelegate::toggleRuntime() {
    const std::optional<QString> token = deviceToken();
    if (!token) {
        return;
    }
    if (m_runtime->state() == SellerRuntimeController::RuntimeState::Running) {
        m_runtime->stop();
    } else if (!m_runtime->start(m_services.serviceBaseURL, *token, 1)) {
        m_services.alerts->run(
            {QStringLiteral("Seller runtime unavailable"),
             QStringLiteral("Configure the seller runtime path (scripts/seller_runtime) in the app preferences."),
             {},
             platform::Alert::Severity::Warning});
    }
    rebuildMenu();
}

void AppDelegate::openServicePage(const QString& path) {
    const QUrl url(m_services.serviceBaseURL + path, QUrl::StrictMode);
    if (url.isValid()) {
        QDesktopServices::openUrl(url);
    }
}

void AppDelegate::openConsole() {
    openServicePage(QStringLiteral("/console"));
}

void AppDelegate::openDevices() {
    openServicePage(QStringLiteral("/console/devices"));
}

void AppDelegate::openDownloadPage() {
    openServicePage(QStringLiteral("/download"));
}

void AppDelegate::checkForUpdates() {
    m_updatePrompt.checkByHand();
}

void AppDelegate::toggleLaunchAtLogin() {
    QString error;
    const bool ok =
        m_launchAtLogin ? m_services.loginItem->unregisterItem(&error) : m_services.loginItem->registerItem(&error);
    if (ok) {
        m_launchAtLogin = !m_launchAtLogin;
        QSettings settings = userSettings();
        settings.setValue(SettingsKeys::launchAtLogin, m_launchAtLogin);
        settings.sync();
    } else {
        m_services.alerts->run(
            {QStringLiteral("Launch at login unavailable"),
             QStringLiteral("Orvelquin Desktop could not change its autostart entry. (") + error + u')',
             {},
             platform::Alert::Severity::Warning});
    }
    rebuildMenu();
}

void AppDelegate::signOut() {
    m_runtime->stop();
    m_heartbeat.stop();
    m_signIn.signOut();
    rebuildMenu();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

// --- heartbeat -----------------------------------------------------------------------------------

void AppDelegate::startHeartbeat() {
    m_heartbeat.start();
}

QCoro::Task<> AppDelegate::heartbeatNow() {
    return m_heartbeat.beatNow();
}

QCoro::Task<> AppDelegate::sendHeartbeat(QString deviceToken) {
    // The report is built now, before the request: it measures the runtime up to this moment.
    const QJsonObject telemetry = runtimeTelemetry(*m_runtime, systemInfo());
    co_await m_api.heartbeat(deviceToken, true, 1, QStringLiteral("online"), systemInfo(), telemetry);
}

} // namespace orvelquin
