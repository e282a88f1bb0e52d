// The desktop's notification service, scripted on a bus of the test's own: on the session bus, an
// installed notification daemon would be started by D-Bus activation and take the calls.
#include "../app/PrivateKeyring.h"
#include "platform/Notifications.h"

#include <QTest>

using namespace orvelquin::platform;

class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList received;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& summary,
                const QString& body, const QStringList&, const QVariantMap& hints, int timeout) {
        received = {appName,
                    QString::number(replacesId),
                    icon,
                    summary,
                    body,
                    hints.value(QStringLiteral("desktop-entry")).toString(),
                    QString::number(hints.value(QStringLiteral("urgency")).toInt()),
                    QString::number(timeout)};
        return 7;
    }
};

class TestNotifications : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reachesTheDesktopsServiceAndNeedsNone() {
        const PrivateBus privateBus;
        const QDBusConnection client = QDBusConnection::connectToBus(privateBus.address, QStringLiteral("client"));
        const auto notifier = createNotifier(client);
        // No service on the bus: nothing to show, nothing to wait for, nothing breaks.
        notifier->notify({QStringLiteral("Lost"), QString()});
        // A call on the same connection returns only after the bus has routed the one before it,
        // so the server below cannot be there in time to receive it.
        QVERIFY(!client.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")));

        // Its own connection, so calls travel through the bus daemon as from another program.
        QDBusConnection bus = QDBusConnection::connectToBus(privateBus.address, QStringLiteral("server"));
        NotificationServer server;
        QVERIFY(bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server,
                                   QDBusConnection::ExportAllSlots));
        QVERIFY(bus.registerService(QStringLiteral("org.freedesktop.Notifications")));
        notifier->notify({QStringLiteral("Device revoked"), QStringLiteral("Sign out, then sign in again."),
                          QStringLiteral("dialog-warning"), Notification::Urgency::Critical});
        QTRY_VERIFY(!server.received.isEmpty());
        QCOMPARE(server.received.join(u'|'),
                 QStringLiteral("Orvelquin Desktop|0|dialog-warning|Device revoked|"
                                "Sign out, then sign in again.|com.orvelquin.desktop|2|-1"));
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "tst_notifications.moc"
