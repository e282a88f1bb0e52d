#include "app/AppDelegate.h"

#include "app/HeartbeatPolicy.h"
#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"
#include "core/Settings.h"
#include "core/Text.h"
#include "platform/HostName.h"
#include "platform/ProcessCpuTime.h"
#include "platform/TrayItem.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
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
    , m_menu(LabelSyntax::Widgets)
    , m_popupMenu(LabelSyntax::Widgets)
    , m_heartbeatInterval(m_services.heartbeatNormalInterval) {
    // The desktop's proxy settings (or https_proxy and no_proxy) apply to the agent as to any
    // other network program; Qt leaves them unused unless asked.
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    connect(&m_menu, &StatusMenu::triggered, this, &AppDelegate::perform);
    connect(&m_popupMenu, &StatusMenu::triggered, this, &AppDelegate::perform);
    // An open menu shows the runtime's uptime and processor use as they are now, not as the
    // last heartbeat left them.
    connect(m_menu.menu(), &QMenu::aboutToShow, this, &AppDelegate::rebuildMenu);
    connect(m_popupMenu.menu(), &QMenu::aboutToShow, this, &AppDelegate::rebuildMenu);
    // A runtime that exits on its own changes what the menu and the icon must say.
    connect(m_runtime, &SellerRuntimeController::stateChanged, this, [this] {
        if (m_lockURL) {
            rebuildMenu();
        }
    });
    m_heartbeatTimer.setSingleShot(true);
    connect(&m_heartbeatTimer, &QTimer::timeout, this, [this] {
        // Without a device token the loop ends here: nothing is sent and nothing re-armed.
        if (deviceToken()) {
            heartbeatNow();
        }
    });
}

AppDelegate::~AppDelegate() {
    // Requests still in flight would leave their coroutines suspended for ever once the network
    // manager deletes their replies. Aborted now, each one resumes, finds the controller going
    // and ends, while everything it touches on the way out still exists.
    m_shuttingDown = true;
    for (QNetworkReply* reply : m_network.findChildren<QNetworkReply*>()) {
        reply->abort();
    }
}

bool AppDelegate::isAlive(const QPointer<AppDelegate>& self) {
    return self && !self->m_shuttingDown;
}

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
        if (!isAlive(self)) {
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
    m_menu.setSyntax(m_services.trayHost->exportsMenu() ? LabelSyntax::DBusMenu : LabelSyntax::Widgets);
    m_statusItem = new QSystemTrayIcon(this);
    connect(m_statusItem, &QSystemTrayIcon::activated, this, &AppDelegate::onStatusItemActivated);
    m_statusItem->setContextMenu(m_menu.menu());
    applyLook(menuState());
    m_statusItem->show();
    if (m_services.trayHost->exportsMenu()) {
        platform::declareStatusItemMenuOnly();
    }
}

void AppDelegate::applyLook(const MenuState& state) {
    const StatusLook look = orvelquin::statusLook(state);
    if (!m_statusItem || (look == m_look && !m_statusItem->icon().isNull())) {
        m_look = look;
        return;
    }
    if (look.icon != m_look.icon || m_statusItem->icon().isNull()) {
        // The installed symbolic icon is published by name, so that hosts recolour it for their
        // panel. Uninstalled, only the bundled pixmaps (a mid tone that reads on light and dark
        // panels) go out: a name that a host cannot find leaves some (LXQt) with no icon at all.
        const QString name = iconName(look.icon);
        m_statusItem->setIcon(QIcon::fromTheme(name, QIcon(u":/icons/"_s + name + u".svg"_s)));
    }
    if (look.toolTip != m_look.toolTip || m_statusItem->toolTip().isEmpty()) {
        m_statusItem->setToolTip(look.toolTip);
    }
    m_look = look;
}

void AppDelegate::onStatusItemActivated(QSystemTrayIcon::ActivationReason reason) {
    // A primary click opens the menu, as on the home platform. StatusNotifier hosts open it
    // themselves, since the item declares itself menu-only; XEmbed trays, and hosts that send
    // Activate all the same, come here, and the menu pops up at the pointer, which X11 reports
    // wherever it is. A Wayland client can neither read the pointer outside its own surfaces nor
    // place a popup without a parent surface, so there nothing half-placed is shown.
    if (reason != QSystemTrayIcon::Trigger || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return;
    }
    StatusMenu& menu = m_services.trayHost->exportsMenu() ? m_popupMenu : m_menu;
    menu.menu()->popup(QCursor::pos());
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
    s.signingIn = m_signingIn;
    s.keychainPending = m_keychainPending;
    s.connectionState = m_connectionState;
    s.lastHeartbeat = m_lastHeartbeat;
    s.runtimeModeLabel = modeLabel(m_runtime->mode());
    s.runtimeStateLabel = SellerRuntimeController::stateLabel(m_runtime->state());
    s.runtimeRunning = m_runtime->state() == SellerRuntimeController::RuntimeState::Running;
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
    s.pendingUpdateVersion = m_pendingUpdateVersion;
    s.launchAtLogin = userSettings().value(SettingsKeys::launchAtLogin, false).toBool();
    return s;
}

void AppDelegate::rebuildMenu() {
    // Composed whole from the state on every change, then brought into the one live menu in
    // place: the layout depends on several fields at once, and composing afresh can never show
    // a stale combination.
    const MenuState state = menuState();
    const QList<MenuItem> items = composeMenu(state);
    m_menu.apply(items);
    m_popupMenu.apply(items);
    applyLook(state);
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
    QSettings settings = userSettings();
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
    // A second sign-in would register a second device and interleave the keychain writes.
    if (m_signingIn) {
        return;
    }
    const std::optional<platform::SignInEntry> entry = m_services.alerts->askSignIn(
        u"Sign in to Orvelquin"_s, u"This registers this computer as an Orvelquin device."_s);
    if (!entry) {
        return;
    }
    performSignIn(trimHorizontalSpace(entry->email), entry->password);
}

void AppDelegate::setSigningIn(bool signingIn) {
    m_signingIn = signingIn;
    rebuildMenu();
}

QCoro::Task<> AppDelegate::performSignIn(QString email, QString password) {
    QPointer<AppDelegate> self(this);
    setSigningIn(true);
    // The writes go on in the background; the sign-in looks at them once, at its end.
    std::vector<QCoro::Task<platform::SecretWrite>> writes;
    std::optional<QString> failure;
    try {
        const SignInResponse login = co_await m_api.signIn(email, password);
        if (!isAlive(self)) {
            co_return;
        }
        const QString accessToken = login.accessToken;
        writes.push_back(setCredential(Credential::AccessToken, accessToken));
        writes.push_back(setCredential(Credential::Email, email));

        const QString name = platform::localizedHostName().value_or(u"Linux"_s);
        const RegisterDeviceResponse device =
            co_await m_api.registerDevice(name, systemInfo(), AppInfo::version(), accessToken);
        if (!isAlive(self)) {
            co_return;
        }
        writes.push_back(setCredential(Credential::DeviceId, device.deviceId));

        const SessionResponse session = co_await m_api.startDeviceSession(device.deviceId, accessToken);
        if (!isAlive(self)) {
            co_return;
        }
        writes.push_back(setCredential(Credential::DeviceToken, session.deviceToken));
        m_signingIn = false;
    } catch (const std::exception& error) {
        failure = errorMessage(error);
    }
    if (!isAlive(self)) {
        co_return;
    }
    if (failure) {
        m_signingIn = false;
        m_services.alerts->run({u"Sign-in failed"_s, *failure, {}});
        rebuildMenu();
    } else {
        startHeartbeat();
        co_await heartbeatNow();
        if (!isAlive(self)) {
            co_return;
        }
        rebuildMenu();
    }
    std::optional<QString> writeError;
    for (QCoro::Task<platform::SecretWrite>& write : writes) {
        const platform::SecretWrite written = co_await write;
        if (!isAlive(self)) {
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
    // Only the session it was sent for may take the outcome: after a sign-out, or a sign-in
    // with a new device token, an old heartbeat's answer says nothing about the current one.
    if (!isAlive(self)) {
        co_return;
    }
    if (deviceToken() != token) {
        Q_EMIT heartbeatFinished();
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
    if (!isAlive(self)) {
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
    if (!isAlive(self)) {
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
