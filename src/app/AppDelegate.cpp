#include "app/AppDelegate.h"

#include "app/HeartbeatPolicy.h"
#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "platform/HostName.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QNetworkProxyFactory>
#include <QSettings>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <vector>

using namespace Qt::Literals::StringLiterals;

namespace orvelquin {
namespace {

QString errorMessage(const std::exception& error) {
    return QString::fromUtf8(error.what());
}

QString modeLabel(SellerRuntimeController::Mode mode) {
    switch (mode) {
    case SellerRuntimeController::Mode::Bundled:
        return u"bundled"_s;
    case SellerRuntimeController::Mode::CustomPath:
        return u"custom path"_s;
    case SellerRuntimeController::Mode::Unavailable:
        break;
    }
    return u"unavailable"_s;
}

} // namespace

AppServices AppServices::system() {
    AppServices services;
    services.secrets = platform::createSecretStore();
    services.alerts = platform::createAlertPresenter();
    services.loginItem = platform::createLoginItem();
    services.trayHost = platform::createTrayHost();
    services.lockDirectory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    services.agentName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    services.serviceBaseURL = AppInfo::serviceBaseURL();
    return services;
}

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_keychain(*m_services.secrets)
    , m_lock(m_services.lockDirectory, m_services.agentName)
    , m_api(QUrl(m_services.serviceBaseURL), m_network)
    , m_runtime(new SellerRuntimeController(this))
    , m_updateChecker(QUrl(m_services.serviceBaseURL), m_network)
    , m_heartbeatInterval(m_services.heartbeatNormalInterval) {
    // The desktop's proxy settings (or https_proxy and no_proxy) apply to the agent as to any
    // other network program; Qt leaves them unused unless asked.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    m_heartbeatTimer.setSingleShot(true);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, [this] {
        // Without a device token the loop ends here: nothing is sent and nothing re-armed.
        if (deviceToken()) {
            heartbeatNow();
        }
    });
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    // A tray agent has no window whose closing should end it.
    QApplication::setQuitOnLastWindowClosed(false);

    if (!m_lock.acquire()) {
        QCoreApplication::quit();
        return;
    }
    m_lockURL = m_lock.filePath();

    // The icon goes on the bus before the keychain is read: the keyring may take its time (an
    // unlock prompt waits for the user), and the menu says so until it has answered.
    showStatusIcon();
    m_keychainPending = true;
    loadCredentials();
    if (m_keychainPending) {
        rebuildMenu();
    }
    runLaunchUpdateCheck();
}

void AppDelegate::applicationWillTerminate() {
    m_runtime->stop();
    m_heartbeatTimer.stop();
    m_lock.release();
}

// --- credentials -------------------------------------------------------------------------------

QString AppDelegate::keyOf(Credential which) {
    switch (which) {
    case Credential::AccessToken:
        return KeychainStore::kAccessToken;
    case Credential::Email:
        return KeychainStore::kEmail;
    case Credential::DeviceId:
        return KeychainStore::kDeviceId;
    case Credential::DeviceToken:
        return KeychainStore::kDeviceToken;
    }
    Q_UNREACHABLE();
    return {};
}

std::optional<QString> AppDelegate::credential(Credential which) const {
    return m_credentials[static_cast<int>(which)];
}

QCoro::Task<platform::SecretWrite> AppDelegate::setCredential(Credential which, std::optional<QString> value) {
    m_credentials[static_cast<int>(which)] = value;
    return m_keychain.set(keyOf(which), value.value_or(QString()));
}

QCoro::Task<> AppDelegate::loadCredentials() {
    QPointer<AppDelegate> self(this);
    for (const Credential which :
         {Credential::AccessToken, Credential::Email, Credential::DeviceId, Credential::DeviceToken}) {
        const KeychainStore::Read read = co_await m_keychain.read(keyOf(which));
        if (!self) {
            co_return;
        }
        if (read.failed) {
            // The keyring could not answer (not started yet at login, locked, D-Bus trouble): run
            // without the credential, but leave the stored item for the next launch.
            m_credentials[static_cast<int>(which)] = std::nullopt;
            continue;
        }
        // Queued before the next read, so reads and write-backs reach the keyring interleaved.
        setCredential(which, read.value);
    }
    m_keychainPending = false;
    rebuildMenu();
    if (accessToken() && deviceToken()) {
        startHeartbeat();
    }
}

const SystemInfo& AppDelegate::systemInfo() {
    if (!m_systemInfo) {
        m_systemInfo = SystemInfo::collect();
    }
    return *m_systemInfo;
}

// --- status icon and menu ----------------------------------------------------------------------

void AppDelegate::showStatusIcon() {
    connect(m_services.trayHost.get(), &platform::TrayHost::appeared, this, &AppDelegate::onTrayHostAppeared);
    if (m_services.trayHost->isAvailable()) {
        createStatusItem();
        return;
    }
    // Without a status area the icon would silently be nowhere (stock GNOME, or a panel that
    // starts after us at login). Keep running, say so once (launch runs once), and show up when
    // one appears.
    QTimer::singleShot(0, this, [this] {
        if (!m_statusItem) {
            m_services.alerts->run(
                {u"No status area"_s,
                 QStringLiteral("Orvelquin Desktop lives in the desktop's status area (system tray), which this "
                                "desktop does not show right now. On GNOME, enable the AppIndicator extension. "
                                "The icon appears as soon as a status area is available."),
                 {}});
        }
    });
}

void AppDelegate::createStatusItem() {
    // Qt settles on the StatusNotifierItem or the XEmbed backend for the whole process the first
    // time a tray icon is made, so the icon is made only once a status area exists: made any
    // earlier, it would never reach a panel that starts after us.
    m_statusItem = new QSystemTrayIcon(this);
    // Monochrome mask icon, so panels tint it for light and dark themes; themes may replace it.
    QIcon icon = QIcon::fromTheme(u"orvelquin-desktop-symbolic"_s, QIcon(u":/icons/orvelquin-desktop-symbolic.svg"_s));
    icon.setIsMask(true);
    m_statusItem->setIcon(icon);
    m_statusItem->setToolTip(u"Orvelquin"_s);
    m_statusItem->setContextMenu(m_menu.get());
    m_statusItem->show();
}

void AppDelegate::onTrayHostAppeared() {
    // A panel that restarts is picked up by the existing icon itself.
    if (m_lockURL && !m_statusItem) {
        createStatusItem();
    }
}

MenuState AppDelegate::menuState() {
    MenuState s;
    s.email = email();
    s.deviceId = deviceId();
    s.hasDeviceToken = deviceToken().has_value();
    s.keychainPending = m_keychainPending;
    s.connectionState = m_connectionState;
    s.lastHeartbeat = m_lastHeartbeat;
    s.runtimeModeLabel = modeLabel(m_runtime->mode());
    s.runtimeStateLabel = SellerRuntimeController::stateLabel(m_runtime->state());
    s.runtimeRunning = m_runtime->state() == SellerRuntimeController::RuntimeState::Running;
    if (s.runtimeRunning) {
        s.runtimeUptimeSeconds = m_runtime->uptimeSeconds();
        s.runtimeCpuPercent = m_runtime->cpuUsagePercent();
    }
    const SystemInfo& host = systemInfo();
    s.cpuModel = host.cpuModel;
    s.ramBytes = host.ramBytes;
    s.gpu = host.gpu;
    s.version = AppInfo::version();
    s.pendingUpdateVersion = m_pendingUpdateVersion;
    s.launchAtLogin = QSettings().value(SettingsKeys::launchAtLogin, false).toBool();
    return s;
}

void AppDelegate::rebuildMenu() {
    // Rebuilt whole from the state on every change rather than patched item by item: the layout
    // depends on several fields at once, and a fresh menu can never show a stale combination.
    auto menu = std::make_unique<QMenu>();
    for (const MenuItem& item : composeMenu(menuState())) {
        if (item.separator) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(item.title);
        action->setEnabled(item.enabled);
        action->setShortcut(item.shortcut);
        action->setCheckable(item.checkable);
        action->setChecked(item.checked);
        if (item.action != MenuAction::None) {
            // Queued, so that a modal dialog opened by the action does not run inside the
            // menu's own event handling (or inside the D-Bus call of a panel's click).
            const MenuAction what = item.action;
            connect(
                action, &QAction::triggered, this, [this, what] { perform(what); }, Qt::QueuedConnection);
        }
    }
    // The new menu goes in before the old one is deleted: some indicator hosts crash when the
    // exported menu disappears first.
    if (m_statusItem) {
        m_statusItem->setContextMenu(menu.get());
    }
    if (m_menu) {
        m_menu.release()->deleteLater();
    }
    m_menu = std::move(menu);
    Q_EMIT menuRebuilt();
}

void AppDelegate::perform(MenuAction action) {
    switch (action) {
    case MenuAction::None:
        break;
    case MenuAction::ToggleRuntime:
        toggleRuntime();
        break;
    case MenuAction::OpenConsole:
        openConsole();
        break;
    case MenuAction::OpenDevices:
        openDevices();
        break;
    case MenuAction::SignOut:
        signOut();
        break;
    case MenuAction::PromptSignIn:
        promptSignIn();
        break;
    case MenuAction::CheckForUpdates:
        checkForUpdates();
        break;
    case MenuAction::OpenDownloadPage:
        openDownloadPage();
        break;
    case MenuAction::ToggleLaunchAtLogin:
        toggleLaunchAtLogin();
        break;
    case MenuAction::Quit:
        quit();
        break;
    }
}

// --- menu actions ------------------------------------------------------------------------------

void AppDelegate::toggleRuntime() {
    const std::optional<QString> token = deviceToken();
    if (!token) {
        return;
    }
    if (m_runtime->state() == SellerRuntimeController::RuntimeState::Running) {
        m_runtime->stop();
    } else if (!m_runtime->start(m_services.serviceBaseURL, *token, 1)) {
        m_services.alerts->run({u"Seller runtime unavailable"_s,
                                u"Configure the seller runtime path (scripts/seller_runtime) in the app preferences."_s,
                                {}});
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
    openServicePage(u"/console"_s);
}

void AppDelegate::openDevices() {
    openServicePage(u"/console/devices"_s);
}

void AppDelegate::openDownloadPage() {
    openServicePage(u"/download"_s);
}

void AppDelegate::toggleLaunchAtLogin() {
    QSettings settings;
    const bool enabled = settings.value(SettingsKeys::launchAtLogin, false).toBool();
    QString error;
    const bool ok = enabled ? m_services.loginItem->unregisterItem(&error) : m_services.loginItem->registerItem(&error);
    if (ok) {
        settings.setValue(SettingsKeys::launchAtLogin, !enabled);
        settings.sync();
    } else {
        m_services.alerts->run({u"Launch at login unavailable"_s,
                                u"Orvelquin Desktop could not change its autostart entry. ("_s + error + u')',
                                {}});
    }
    rebuildMenu();
}

void AppDelegate::signOut() {
    m_runtime->stop();
    m_heartbeatTimer.stop();
    setCredential(Credential::AccessToken, std::nullopt);
    setCredential(Credential::Email, std::nullopt);
    setCredential(Credential::DeviceId, std::nullopt);
    setCredential(Credential::DeviceToken, std::nullopt);
    rebuildMenu();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

// --- sign-in -----------------------------------------------------------------------------------

void AppDelegate::promptSignIn() {
    const std::optional<platform::SignInEntry> entry = m_services.alerts->askSignIn(
        u"Sign in to Orvelquin"_s, u"This registers this computer as an Orvelquin device."_s);
    if (!entry) {
        return;
    }
    performSignIn(trimHorizontalSpace(entry->email), entry->password);
}

QCoro::Task<> AppDelegate::performSignIn(QString email, QString password) {
    QPointer<AppDelegate> self(this);
    // The writes go on in the background; the sign-in looks at them once, at its end.
    std::vector<QCoro::Task<platform::SecretWrite>> writes;
    std::optional<QString> failure;
    try {
        const SignInResponse login = co_await m_api.signIn(email, password);
        if (!self) {
            co_return;
        }
        const QString accessToken = login.accessToken;
        writes.push_back(setCredential(Credential::AccessToken, accessToken));
        writes.push_back(setCredential(Credential::Email, email));

        const QString name = platform::localizedHostName().value_or(u"Linux"_s);
        const RegisterDeviceResponse device =
            co_await m_api.registerDevice(name, systemInfo(), AppInfo::version(), accessToken);
        if (!self) {
            co_return;
        }
        writes.push_back(setCredential(Credential::DeviceId, device.deviceId));

        const SessionResponse session = co_await m_api.startDeviceSession(device.deviceId, accessToken);
        if (!self) {
            co_return;
        }
        writes.push_back(setCredential(Credential::DeviceToken, session.deviceToken));
    } catch (const std::exception& error) {
        failure = errorMessage(error);
    }
    if (!self) {
        co_return;
    }
    if (failure) {
        m_services.alerts->run({u"Sign-in failed"_s, *failure, {}});
        rebuildMenu();
    } else {
        startHeartbeat();
        co_await heartbeatNow();
        if (!self) {
            co_return;
        }
        rebuildMenu();
    }
    std::optional<QString> writeError;
    for (QCoro::Task<platform::SecretWrite>& write : writes) {
        const platform::SecretWrite written = co_await write;
        if (!self) {
            co_return;
        }
        if (!written.stored && !writeError) {
            writeError = written.error;
        }
    }
    if (writeError) {
        // Once per sign-in, however many writes failed: the session goes on, but only for this run.
        m_services.alerts->run({u"Credentials not saved"_s,
                                QStringLiteral("The keyring could not store your sign-in details. You stay signed in "
                                               "until Orvelquin Desktop quits; the sign-in will not survive a "
                                               "restart. (") +
                                    *writeError + u')',
                                {}});
    }
    Q_EMIT signInFinished();
}

// --- heartbeat ---------------------------------------------------------------------------------

void AppDelegate::startHeartbeat() {
    m_heartbeatTimer.start(std::chrono::milliseconds(static_cast<qint64>(m_heartbeatInterval * 1000.0)));
}

QCoro::Task<> AppDelegate::heartbeatNow() {
    const std::optional<QString> token = deviceToken();
    if (!token) {
        co_return;
    }
    QPointer<AppDelegate> self(this);
    const QJsonObject telemetry = runtimeTelemetry(*m_runtime, systemInfo());
    std::optional<QString> failure;
    try {
        co_await m_api.heartbeat(*token, true, 1, u"online"_s, systemInfo(), telemetry);
    } catch (const std::exception& error) {
        failure = errorMessage(error);
    }
    if (!self) {
        co_return;
    }
    if (!failure) {
        m_lastHeartbeat = QDateTime::currentDateTime().toString(u"HH:mm:ss"_s);
        m_connectionState = u"Connected"_s;
        m_heartbeatInterval = m_services.heartbeatNormalInterval;
    } else {
        m_connectionState = HeartbeatPolicy::classifyFailure(*failure);
        m_lastHeartbeat = u"\u2014"_s;
        m_heartbeatInterval = HeartbeatPolicy::backedOff(m_heartbeatInterval, m_services.heartbeatMaximumInterval);
    }
    rebuildMenu();
    startHeartbeat();
    Q_EMIT heartbeatFinished();
}

// --- updates -----------------------------------------------------------------------------------

void AppDelegate::checkForUpdates() {
    runManualUpdateCheck();
}

QCoro::Task<> AppDelegate::runLaunchUpdateCheck() {
    QPointer<AppDelegate> self(this);
    const UpdateChecker::Status status = co_await m_updateChecker.check();
    if (!self) {
        co_return;
    }
    if (status.kind == UpdateChecker::Status::Kind::Available) {
        m_pendingUpdateVersion = status.latestVersion;
        rebuildMenu();
    }
    Q_EMIT updateCheckFinished();
}

QCoro::Task<> AppDelegate::runManualUpdateCheck() {
    QPointer<AppDelegate> self(this);
    const UpdateChecker::Status status = co_await m_updateChecker.check();
    if (!self) {
        co_return;
    }
    switch (status.kind) {
    case UpdateChecker::Status::Kind::UpToDate:
        m_services.alerts->run(
            {u"Up to date"_s, u"Orvelquin Desktop "_s + AppInfo::version() + u" is the latest version."_s, {}});
        break;
    case UpdateChecker::Status::Kind::Unreachable:
        m_services.alerts->run(
            {u"Unable to check"_s, u"The update service is unreachable. Check your connection and try again."_s, {}});
        break;
    case UpdateChecker::Status::Kind::Available:
        if (m_services.alerts->run({u"Update available"_s,
                                    u"Version "_s + status.latestVersion +
                                        QStringLiteral(" is available. Download the latest developer preview from "
                                                       "the Orvelquin download page."),
                                    {u"Open download page"_s, u"Later"_s}}) == 0) {
            openDownloadPage();
        }
        break;
    }
    Q_EMIT updateCheckFinished();
}

} // namespace orvelquin
