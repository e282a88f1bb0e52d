// The desktop's notification service, scripted on a bus of the test's own: on the session bus, an
// installed notification daemon would be started by D-Bus activation and take the calls.
#include "../PrivateKeyring.h"
#include "platform/Notifications.h"

using namespace orvelquin::platform;

// Takes every call as a notification service would, and keeps the last one's method and arguments.
class NotificationServer final : public QDBusVirtualObject {
public:
    QVariantList received;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        received = QVariantList{message.member()} + message.arguments();
        return bus.send(message.createReply(7u));
    }
    QString introspect(const QString&) const override { return {}; }
};

class TestNotifications : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reachesTheDesktopsServiceAndNeedsNone() {
        const PrivateKeyring bare(false);
        const auto notifier = createNotifier(bare.bus);
        // No service on the bus: nothing to show, nothing to wait for, nothing breaks.
        notifier->notify({u"Lost"_qs, QString()});
        // A call on the same connection returns only after the bus has routed the one before it,
        // so the server below cannot be there in time to receive it.
        QVERIFY(!bare.bus.interface()->isServiceRegistered(u"org.freedesktop.Notifications"_qs));

        // Its own connection, so calls travel through the bus daemon as from another program.
        QDBusConnection bus = QDBusConnection::connectToBus(bare.address, u"server"_qs);
        NotificationServer server;
        QVERIFY(bus.registerVirtualObject(u"/org/freedesktop/Notifications"_qs, &server));
        QVERIFY(bus.registerService(u"org.freedesktop.Notifications"_qs));
        notifier->notify({u"Device revoked"_qs, u"Sign out, then sign in again."_qs, u"dialog-warning"_qs,
                          Notification::Urgency::Critical});
        QTRY_COMPARE(server.received.size(), 9);
        server.received[7] = qdbus_cast<QVariantMap>(server.received[7]);
        const QVariantMap hints{{u"desktop-entry"_qs, u"com.orvelquin.desktop"_qs},
                                {u"urgency"_qs, QVariant::fromValue(uchar(2))}};
        QCOMPARE(server.received,
                 (QVariantList{u"Notify"_qs, u"Orvelquin Desktop"_qs, 0u, u"dialog-warning"_qs, u"Device revoked"_qs,
                               u"Sign out, then sign in again."_qs, QStringList(), hints, -1}));
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
