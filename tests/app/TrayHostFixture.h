#pragma once

#include <QDBusContext>
#include <QDBusVariant>
#include <QObject>
#include <QStringList>

// A minimal desktop shell for tests: it owns org.kde.StatusNotifierWatcher on the session bus,
// so Qt exports the agent's icon as a StatusNotifierItem, and it reads and clicks the exported
// menu through com.canonical.dbusmenu, as a panel does.
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

struct TrayMenuEntry {
    int id = 0;
    QString label; // mnemonic markers removed
    QString type;  // "separator" or empty
    bool enabled = true;
    bool visible = true;
    int toggleState = -1; // 1 checked, 0 unchecked, -1 not checkable
    QString shortcut;     // e.g. "Control+R"
};

// One registered item as a panel sees it: "<bus name>" or "<bus name>/<object path>".
class TrayItemClient {
public:
    explicit TrayItemClient(const QString& registration);

    QString menuPath() const;
    QList<TrayMenuEntry> menu() const; // the top level, in order
    bool click(int id) const;
    bool clickLabel(const QString& label) const;
    QStringList labels() const; // separators as "---", hidden entries left out

private:
    QString m_service;
    QString m_path;
};
