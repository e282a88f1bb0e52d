#include "StatusNotifierWatcher.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(QObject* parent)
    : QObject(parent) {}

StatusNotifierWatcher::~StatusNotifierWatcher() {
    stop();
}

bool StatusNotifierWatcher::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(kWatcherPath, this,
                            QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
                                QDBusConnection::ExportAllProperties)) {
        return false;
    }
    if (!bus.registerService(kWatcherService)) {
        bus.unregisterObject(kWatcherPath);
        return false;
    }
    m_started = true;
    Q_EMIT StatusNotifierHostRegistered();
    return true;
}

void StatusNotifierWatcher::stop() {
    if (!m_started) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(kWatcherService);
    bus.unregisterObject(kWatcherPath);
    m_items.clear();
    m_started = false;
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString& service) {
    // Items may register with a bus name (path implied) or with an object path; keep the sender.
    QString registration = service;
    if (service.startsWith(u'/') && calledFromDBus()) {
        registration = message().service() + service;
    }
    if (!m_items.contains(registration)) {
        m_items << registration;
        Q_EMIT StatusNotifierItemRegistered(registration);
    }
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString&) {}
