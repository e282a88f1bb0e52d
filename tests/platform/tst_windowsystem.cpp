#include "platform/WindowSystem.h"

#include <QTest>

class TestWindowSystem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void xwaylandOnlyOnGnomesWayland_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("expected");
        const QString wayland = QStringLiteral("XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=:0 ");
        QTest::newRow("GNOME") << wayland + QStringLiteral("XDG_CURRENT_DESKTOP=GNOME") << QByteArray("xcb");
        QTest::newRow("Ubuntu's GNOME") << wayland + QStringLiteral("XDG_CURRENT_DESKTOP=ubuntu:GNOME")
                                        << QByteArray("xcb");
        QTest::newRow("the user chose") << wayland + QStringLiteral("XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=wayland")
                                        << QByteArray();
        QTest::newRow("no Xwayland") << QStringLiteral("XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME")
                                     << QByteArray();
        QTest::newRow("Plasma") << wayland + QStringLiteral("XDG_CURRENT_DESKTOP=KDE") << QByteArray();
    }

    void xwaylandOnlyOnGnomesWayland() {
        QFETCH(QString, environment);
        QFETCH(QByteArray, expected);
        QProcessEnvironment env;
        for (const QString& entry : environment.split(u' ')) {
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        }
        QCOMPARE(orvelquin::platform::preferredWindowSystem(env), expected);
    }
};

QTEST_APPLESS_MAIN(TestWindowSystem)
#include "tst_windowsystem.moc"
