#include "app/AppDelegate.h"

#include "platform/SecretStore.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QStandardPaths>
#include <QSystemTrayIcon>

namespace orvelquin {

AppServices AppServices::system() {
    AppServices services;
    services.secrets = platform::createSecretStore();
    services.lockDirectory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    services.agentName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    return services;
}

AppDelegate::AppDelegate(AppServices services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_keychain(*m_services.secrets)
    , m_lock(m_services.lockDirectory, m_services.agentName)
    // Exists from the start but stays hidden until launch, so a refused instance shows nothing.
    , m_statusItem(new QSystemTrayIcon(this)) {
    m_heartbeatTimer.setSingleShot(true);
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

    loadCredentials();
    showStatusIcon();
}

void AppDelegate::applicationWillTerminate() {
    m_heartbeatTimer.stop();
    m_lock.release();
}

void AppDelegate::quit() {
    QCoreApplication::quit();
}

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

void AppDelegate::setCredential(Credential which, std::optional<QString> value) {
    m_keychain.set(value.value_or(QString()), keyOf(which));
    m_credentials[static_cast<int>(which)] = std::move(value);
}

void AppDelegate::loadCredentials() {
    for (const Credential which :
         {Credential::AccessToken, Credential::Email, Credential::DeviceId, Credential::DeviceToken}) {
        const KeychainStore::Read read = m_keychain.read(keyOf(which));
        if (read.failed) {
            // The keyring could not answer (not started yet at login, locked, D-Bus trouble): run
            // without the credential, but leave the stored item for the next launch.
            m_credentials[static_cast<int>(which)] = std::nullopt;
            continue;
        }
        setCredential(which, read.value);
    }
}

void AppDelegate::showStatusIcon() {
    // Monochrome mask icon, so panels tint it for light and dark themes; themes may replace it.
    QIcon icon = QIcon::fromTheme(QStringLiteral("orvelquin-desktop-symbolic"),
                                  QIcon(QStringLiteral(":/icons/orvelquin-desktop-symbolic.svg")));
    icon.setIsMask(true);
    m_statusItem->setIcon(icon);
    m_statusItem->setToolTip(QStringLiteral("Orvelquin"));
    m_statusItem->show();
}

} // namespace orvelquin
