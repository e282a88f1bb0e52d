#include "Watcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <cstdio>
#include <ctime>

using namespace Qt::Literals::StringLiterals;

namespace {

qint64 monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

Watcher::Watcher(QObject* parent)
    : QObject(parent)
    , m_owners(QString(), QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForUnregistration) {
    connect(&m_owners, &QDBusServiceWatcher::serviceUnregistered, this, &Watcher::onOwnerGone);
}

bool Watcher::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(u"/StatusNotifierWatcher"_s, this,
                            QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
                                QDBusConnection::ExportAllProperties)) {
        return false;
    }
    if (!bus.registerService(u"org.kde.StatusNotifierWatcher"_s)) {
        return false;
    }
    Q_EMIT StatusNotifierHostRegistered();
    std::printf("ready %lld\n", static_cast<long long>(monotonicNs()));
    std::fflush(stdout);
    return true;
}

void Watcher::RegisterStatusNotifierItem(const QString& service) {
    const qint64 at = monotonicNs();
    if (!calledFromDBus()) {
        return;
    }
    const QString sender = message().service();
    // Items register with their bus name (path implied) or with an object path alone.
    const QString registration = service.startsWith(u'/') ? sender + service : service;
    const uint pid = connection().interface()->servicePid(sender).value();
    std::printf("registered %lld %u %s\n", static_cast<long long>(at), pid, qPrintable(registration));
    std::fflush(stdout);
    if (!m_items.contains(registration)) {
        m_items << registration;
        m_senders.insert(registration, sender);
        m_owners.addWatchedService(sender);
        Q_EMIT StatusNotifierItemRegistered(registration);
    }
}

void Watcher::RegisterStatusNotifierHost(const QString&) {}

void Watcher::onOwnerGone(const QString& owner) {
    m_owners.removeWatchedService(owner);
    for (qsizetype i = m_items.size() - 1; i >= 0; --i) {
        if (m_senders.value(m_items.at(i)) == owner) {
            m_senders.remove(m_items.at(i));
            Q_EMIT StatusNotifierItemUnregistered(m_items.takeAt(i));
        }
    }
}
