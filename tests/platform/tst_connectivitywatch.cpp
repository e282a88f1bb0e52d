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

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(QDBusConnection::sessionBus().registerService(u"org.freedesktop.NetworkManager"_s));
        QVERIFY(QDBusConnection::sessionBus().registerService(u"org.freedesktop.login1"_s));
    }

    // Steps: "n<state>" NetworkManager's StateChanged (20 disconnected, 50 local, 60 site,
    // 70 global), "s1"/"s0" logind's PrepareForSleep. Each row ends with a step that must be
    // reported, so anything reported wrongly before it shows up in the comparison.
    void reportsEachTransitionOnce_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("reported");
        QTest::newRow("back online, flapping")
            << u"n70 n70 n60 n50 n70 n70 n20 n70"_s << u"restored restored restored"_s;
        QTest::newRow("sleep and resume") << u"s0 s1 s1 s0 s0 s1 s0"_s << u"sleep resumed sleep resumed"_s;
        QTest::newRow("network back while asleep") << u"n20 s1 n70 s0"_s << u"sleep restored resumed"_s;
    }

    void reportsEachTransitionOnce() {
        QFETCH(QString, steps);
        QFETCH(QString, reported);
        const QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"watch"_s);
        auto watch = createConnectivityWatch(bus);
        QStringList seen;
        connect(watch.get(), &ConnectivityWatch::connectivityRestored, this, [&] { seen << u"restored"_s; });
        connect(watch.get(), &ConnectivityWatch::aboutToSleep, this, [&] { seen << u"sleep"_s; });
        connect(watch.get(), &ConnectivityWatch::resumed, this, [&] { seen << u"resumed"_s; });
        // A round trip on the watch's connection: its subscriptions are in place at the bus.
        QVERIFY(bus.interface()->isServiceRegistered(u"org.freedesktop.login1"_s));
        for (const QString& step : steps.split(u' ')) {
            const bool nm = step[0] == u'n';
            QDBusMessage signal = QDBusMessage::createSignal(
                nm ? u"/org/freedesktop/NetworkManager"_s : u"/org/freedesktop/login1"_s,
                nm ? u"org.freedesktop.NetworkManager"_s : u"org.freedesktop.login1.Manager"_s,
                nm ? u"StateChanged"_s : u"PrepareForSleep"_s);
            QVERIFY(QDBusConnection::sessionBus().send(
                signal << (nm ? QVariant(step.mid(1).toUInt()) : QVariant(step == u"s1"))));
        }
        QTRY_COMPARE(seen.join(u' '), reported);
    }
};

QTEST_GUILESS_MAIN(TestConnectivityWatch)
#include "tst_connectivitywatch.moc"
