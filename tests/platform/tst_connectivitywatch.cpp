// NetworkManager and logind scripted on a bus of the test's own: the watch is given that bus,
// the stand-ins own the services' names on it and send their signals as the real ones do.
#include "platform/ConnectivityWatch.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTest>

using namespace orvelquin::platform;
using namespace Qt::StringLiterals;

class TestConnectivityWatch : public QObject {
    Q_OBJECT

private:
    QDBusConnection m_standIns =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("stand-ins"));

    void send(const QString& step) {
        const QString source = step.section(u':', 0, 0);
        const QString value = step.section(u':', 1);
        QDBusMessage signal = source == u"network"
                                  ? QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/NetworkManager"),
                                                               QStringLiteral("org.freedesktop.NetworkManager"),
                                                               QStringLiteral("StateChanged"))
                                        << value.toUInt()
                                  : QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                               QStringLiteral("org.freedesktop.login1.Manager"),
                                                               QStringLiteral("PrepareForSleep"))
                                        << (value == u"true");
        QVERIFY(m_standIns.send(signal));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_standIns.registerService(QStringLiteral("org.freedesktop.NetworkManager")));
        QVERIFY(m_standIns.registerService(QStringLiteral("org.freedesktop.login1")));
    }

    void cleanupTestCase() { QDBusConnection::disconnectFromBus(QStringLiteral("stand-ins")); }

    // Each row ends with a step that must be reported, so anything reported wrongly before it
    // shows up in the comparison.
    void reportsEachTransitionOnce_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("reported");
        // NetworkManager's states: 20 disconnected, 50 local, 60 site, 70 global.
        QTest::newRow("back online") << QStringList{u"network:20"_s, u"network:70"_s} << QStringList{u"restored"_s};
        QTest::newRow("flapping, and only global counts")
            << QStringList{u"network:70"_s, u"network:70"_s, u"network:60"_s, u"network:50"_s,
                           u"network:70"_s, u"network:70"_s, u"network:20"_s, u"network:70"_s}
            << QStringList{u"restored"_s, u"restored"_s, u"restored"_s};
        QTest::newRow("sleep and resume")
            << QStringList{u"sleep:false"_s, u"sleep:true"_s, u"sleep:true"_s, u"sleep:false"_s,
                           u"sleep:false"_s, u"sleep:true"_s, u"sleep:false"_s}
            << QStringList{u"sleep"_s, u"resumed"_s, u"sleep"_s, u"resumed"_s};
        QTest::newRow("network back while asleep")
            << QStringList{u"network:20"_s, u"sleep:true"_s, u"network:70"_s, u"sleep:false"_s}
            << QStringList{u"sleep"_s, u"restored"_s, u"resumed"_s};
    }

    void reportsEachTransitionOnce() {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, reported);
        const QString name = QString::fromUtf8(QTest::currentDataTag());
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        auto watch = createConnectivityWatch(bus);
        QStringList seen;
        connect(watch.get(), &ConnectivityWatch::connectivityRestored, this, [&] { seen << u"restored"_s; });
        connect(watch.get(), &ConnectivityWatch::aboutToSleep, this, [&] { seen << u"sleep"_s; });
        connect(watch.get(), &ConnectivityWatch::resumed, this, [&] { seen << u"resumed"_s; });
        // A round trip on the watch's connection: its subscriptions are in place at the bus.
        QVERIFY(bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.login1")));

        for (const QString& step : steps) {
            send(step);
        }
        QTRY_COMPARE(seen, reported);
        watch.reset();
        QDBusConnection::disconnectFromBus(name);
    }
};

QTEST_GUILESS_MAIN(TestConnectivityWatch)
#include "tst_connectivitywatch.moc"
