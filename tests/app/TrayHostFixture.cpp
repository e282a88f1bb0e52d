#include "TrayHostFixture.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDateTime>

namespace {

QVariant demarshal(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusVariant>()) {
        return demarshal(value.value<QDBusVariant>().variant());
    }
    return value;
}

QString shortcutText(const QVariant& raw) {
    // "shortcut" is aas: a list of key combinations, each a list of modifier and key names.
    QStringList combos;
    const QVariant value = demarshal(raw);
    if (value.userType() != qMetaTypeId<QDBusArgument>()) {
        return {};
    }
    const QDBusArgument arg = value.value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QStringList keys;
        arg >> keys;
        combos << keys.join(u'+');
    }
    arg.endArray();
    return combos.join(u',');
}

TrayMenuEntry readEntry(const QDBusArgument& arg) {
    TrayMenuEntry entry;
    arg.beginStructure();
    arg >> entry.id;
    QVariantMap props;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString key;
        QDBusVariant value;
        arg.beginMapEntry();
        arg >> key >> value;
        arg.endMapEntry();
        props.insert(key, value.variant());
    }
    arg.endMap();
    // Children are read by the caller; skip them here.
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
    }
    arg.endArray();
    arg.endStructure();

    entry.label = demarshal(props.value(QStringLiteral("label"))).toString().remove(u'&');
    entry.type = demarshal(props.value(QStringLiteral("type"))).toString();
    entry.enabled = demarshal(props.value(QStringLiteral("enabled"), true)).toBool();
    entry.visible = demarshal(props.value(QStringLiteral("visible"), true)).toBool();
    if (props.contains(QStringLiteral("toggle-type"))) {
        entry.toggleState = demarshal(props.value(QStringLiteral("toggle-state"), 0)).toInt();
    }
    entry.shortcut = shortcutText(props.value(QStringLiteral("shortcut")));
    return entry;
}

} // namespace

TrayItemClient::TrayItemClient(const QString& registration) {
    const qsizetype slash = registration.indexOf(u'/');
    m_service = slash < 0 ? registration : registration.left(slash);
    m_path = slash < 0 ? QStringLiteral("/StatusNotifierItem") : registration.mid(slash);
}

QString TrayItemClient::menuPath() const {
    QDBusInterface item(m_service, m_path, QStringLiteral("org.kde.StatusNotifierItem"), QDBusConnection::sessionBus());
    return item.property("Menu").value<QDBusObjectPath>().path();
}

QList<TrayMenuEntry> TrayItemClient::menu() const {
    const QString path = menuPath();
    if (path.isEmpty()) {
        return {};
    }
    QDBusMessage call = QDBusMessage::createMethodCall(m_service, path, QStringLiteral("com.canonical.dbusmenu"),
                                                       QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2) {
        return {};
    }
    const QDBusArgument root = reply.arguments().at(1).value<QDBusArgument>();
    QList<TrayMenuEntry> entries;
    root.beginStructure();
    int rootId = 0;
    root >> rootId;
    QVariantMap rootProps;
    root >> rootProps;
    root.beginArray();
    while (!root.atEnd()) {
        QDBusVariant child;
        root >> child;
        entries << readEntry(child.variant().value<QDBusArgument>());
    }
    root.endArray();
    root.endStructure();
    return entries;
}

bool TrayItemClient::click(int id) const {
    QDBusMessage call = QDBusMessage::createMethodCall(m_service, menuPath(), QStringLiteral("com.canonical.dbusmenu"),
                                                       QStringLiteral("Event"));
    call << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
         << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool TrayItemClient::clickLabel(const QString& label) const {
    for (const TrayMenuEntry& entry : menu()) {
        if (entry.visible && entry.label == label) {
            return click(entry.id);
        }
    }
    return false;
}

QStringList TrayItemClient::labels() const {
    QStringList out;
    for (const TrayMenuEntry& entry : menu()) {
        if (!entry.visible) {
            continue;
        }
        out << (entry.type == QStringLiteral("separator") ? QStringLiteral("---") : entry.label);
    }
    return out;
}
