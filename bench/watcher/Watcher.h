#pragma once

#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QObject>
#include <QStringList>

// The panel side of the StatusNotifierItem protocol, as far as a tray icon needs it to show
// itself. Each registration is written to stdout as one line:
//   registered <CLOCK_MONOTONIC ns> <pid of the sender> <registration>
// The clock is read first, so the line dates the moment the call reached us.
class Watcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit Watcher(QObject* parent = nullptr);

    // Takes the well-known name; false when the bus refuses it.
    bool start();

    QStringList registeredItems() const { return m_items; }
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString& service);
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString& service);

Q_SIGNALS:
    Q_SCRIPTABLE void StatusNotifierItemRegistered(const QString& service);
    Q_SCRIPTABLE void StatusNotifierItemUnregistered(const QString& service);
    Q_SCRIPTABLE void StatusNotifierHostRegistered();

private:
    void onOwnerGone(const QString& owner);

    QStringList m_items;
    QHash<QString, QString> m_senders; // registration -> unique bus name of its owner
    QDBusServiceWatcher m_owners;
};
