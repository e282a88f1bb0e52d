#pragma once

#include <QDBusConnection>
#include <QObject>

#include <memory>

namespace orvelquin::platform {

// Moments after which the service is likely reachable again although nothing was retried yet:
// the network came back, or the computer woke up. Event driven; it never polls.
class ConnectivityWatch : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    // The computer went from not online to online; once per such change, never for repeats.
    void connectivityRestored();
    // The computer is about to suspend or hibernate.
    void aboutToSleep();
    // The computer woke up after an aboutToSleep().
    void resumed();
};

// Listens to NetworkManager and logind on `systemBus`. Without either service, the
// corresponding signals never come.
std::unique_ptr<ConnectivityWatch>
createConnectivityWatch(const QDBusConnection& systemBus = QDBusConnection::systemBus());

} // namespace orvelquin::platform
