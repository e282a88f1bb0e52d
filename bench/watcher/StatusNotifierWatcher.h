#pragma once

#include <QDBusContext>
#include <QObject>
#include <QStringList>

// The panel side of the StatusNotifierItem protocol, as far as a tray icon needs it to show
// itself: it owns org.kde.StatusNotifierWatcher on the session bus, so Qt exports an icon as a
// StatusNotifierItem, and it signals each item that registers. Used by the bench.
class StatusNotifierWatcher : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    explicit StatusNotifierWatcher(QObject* parent = nullptr);
    ~StatusNotifierWatcher() override;

    // Takes the well-known name; false when the bus refuses it.
    bool start();
    void stop();

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
    QStringList m_items;
    bool m_started = false;
};
