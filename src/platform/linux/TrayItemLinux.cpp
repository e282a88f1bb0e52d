#include "platform/TrayItem.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QThread>

namespace orvelquin::platform {
namespace {

const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");

// Stands in at the item's path for Qt's own adaptor: answers every property and call from it,
// relays its signals, and differs in one property only.
class MenuOnlyItem final : public QDBusVirtualObject {
    Q_OBJECT

public:
    MenuOnlyItem(QDBusAbstractAdaptor* adaptor, QDBusConnection connection)
        : m_adaptor(adaptor)
        , m_connection(std::move(connection)) {
        const QMetaObject* meta = adaptor->metaObject();
        const QMetaMethod relay = metaObject()->method(metaObject()->indexOfMethod("relay()"));
        const QMetaMethod relayStatus = metaObject()->method(metaObject()->indexOfMethod("relayStatus(QString)"));
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QMetaMethod method = meta->method(i);
            if (method.methodType() != QMetaMethod::Signal) {
                continue;
            }
            QObject::connect(adaptor, method, this, method.parameterCount() == 0 ? relay : relayStatus);
        }
    }

    QString introspect(const QString&) const override {
        return QString::fromUtf8(m_adaptor->metaObject()
                                     ->classInfo(m_adaptor->metaObject()->indexOfClassInfo("D-Bus Introspection"))
                                     .value());
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.path() != kItemPath) {
            return false;
        }
        const QString member = message.member();
        const QVariantList args = message.arguments();
        if (message.interface() == kIntrospectable && member == QLatin1String("Introspect")) {
            const QString node = QStringLiteral("<node>") + introspect(kItemPath) +
                                 QStringLiteral("<interface name=\"org.freedesktop.DBus.Properties\">"
                                                "<method name=\"Get\"><arg type=\"s\" direction=\"in\"/>"
                                                "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"out\"/>"
                                                "</method><method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/>"
                                                "<arg type=\"a{sv}\" direction=\"out\"/></method></interface>"
                                                "<interface name=\"org.freedesktop.DBus.Introspectable\">"
                                                "<method name=\"Introspect\"><arg type=\"s\" direction=\"out\"/>"
                                                "</method></interface></node>");
            return connection.send(message.createReply(node));
        }
        if (message.interface() == kProperties && member == QLatin1String("Get") && args.size() == 2) {
            // Hosts ask for properties the item does not have (IconThemePath, WindowId): answer as
            // Qt's own item does, with an error rather than an empty variant.
            const QVariant value = property(args[1].toString());
            if (!value.isValid()) {
                return connection.send(message.createErrorReply(QDBusError::UnknownProperty, args[1].toString()));
            }
            return connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        }
        if (message.interface() == kProperties && member == QLatin1String("GetAll")) {
            QVariantMap all;
            const QMetaObject* meta = m_adaptor->metaObject();
            for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
                const QString name = QString::fromLatin1(meta->property(i).name());
                all.insert(name, property(name));
            }
            return connection.send(message.createReply(QVariant::fromValue(all)));
        }
        if (message.interface() == kItemInterface || message.interface().isEmpty()) {
            // Activate, ContextMenu, SecondaryActivate (x, y) and Scroll (delta, orientation).
            bool invoked = false;
            if (args.size() == 2 && member == QLatin1String("Scroll")) {
                invoked = QMetaObject::invokeMethod(m_adaptor, member.toLatin1().constData(),
                                                    Q_ARG(int, args[0].toInt()), Q_ARG(QString, args[1].toString()));
            } else if (args.size() == 2) {
                invoked = QMetaObject::invokeMethod(m_adaptor, member.toLatin1().constData(),
                                                    Q_ARG(int, args[0].toInt()), Q_ARG(int, args[1].toInt()));
            }
            if (invoked) {
                return connection.send(message.createReply());
            }
        }
        return connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
    }

private Q_SLOTS:
    void relay() { emitSignal({}); }
    void relayStatus(const QString& status) { emitSignal({status}); }

private:
    void emitSignal(const QVariantList& arguments) {
        const QMetaMethod method = m_adaptor->metaObject()->method(senderSignalIndex());
        QDBusMessage signal = QDBusMessage::createSignal(kItemPath, kItemInterface, QString::fromLatin1(method.name()));
        signal.setArguments(arguments);
        m_connection.send(signal);
    }

    QVariant property(const QString& name) const {
        if (name == QLatin1String("ItemIsMenu")) {
            return true;
        }
        return m_adaptor->property(name.toLatin1().constData());
    }

    QDBusAbstractAdaptor* m_adaptor;
    QDBusConnection m_connection;
};

} // namespace

bool declareStatusItemMenuOnly() {
    // Qt exports its item on a connection of its own, named like the item's bus name.
    const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
    QDBusConnection connection(name);
    if (!connection.isConnected()) {
        return false;
    }
    QObject* item = connection.objectRegisteredAt(kItemPath);
    auto* adaptor = item ? item->findChild<QDBusAbstractAdaptor*>() : nullptr;
    if (!adaptor || adaptor->metaObject()->indexOfProperty("ItemIsMenu") < 0) {
        return false;
    }
    QObject* dispatcher = connection.interface();
    if (!dispatcher) {
        return false;
    }
    auto* shim = new MenuOnlyItem(adaptor, connection);
    shim->setParent(adaptor);
    // Qt has already told the watcher about the item, so hosts may be asking for it right now.
    // Incoming calls are looked up on the connection's own thread: swapping there leaves no
    // moment in which the path is empty and a host's first call fails.
    bool swapped = false;
    QMetaObject::invokeMethod(
        dispatcher,
        [&] {
            connection.unregisterObject(kItemPath);
            swapped = connection.registerVirtualObject(kItemPath, shim);
            if (!swapped) {
                // Put Qt's own item back rather than leave the path empty.
                connection.registerObject(kItemPath, item);
            }
        },
        dispatcher->thread() == QThread::currentThread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
    if (!swapped) {
        delete shim;
        return false;
    }
    return true;
}

} // namespace orvelquin::platform

#include "TrayItemLinux.moc"
