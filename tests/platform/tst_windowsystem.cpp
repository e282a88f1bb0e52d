#include "platform/WindowSystem.h"

#include <QTest>

using namespace orvelquin::platform;

class TestWindowSystem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void xwaylandOnlyOnGnomesWayland_data() {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QByteArray>("expected");
        QStringList gnomeWayland{QStringLiteral("XDG_SESSION_TYPE=wayland"),
                                 QStringLiteral("WAYLAND_DISPLAY=wayland-0"), QStringLiteral("DISPLAY=:0")};
        QTest::newRow("GNOME") << (QStringList(gnomeWayland) << QStringLiteral("XDG_CURRENT_DESKTOP=GNOME"))
                               << QByteArray("xcb");
        QTest::newRow("Ubuntu's GNOME") << (QStringList(gnomeWayland)
                                            << QStringLiteral("XDG_CURRENT_DESKTOP=ubuntu:GNOME"))
                                        << QByteArray("xcb");
        QTest::newRow("the user chose") << (QStringList(gnomeWayland) << QStringLiteral("XDG_CURRENT_DESKTOP=GNOME")
                                                                      << QStringLiteral("QT_QPA_PLATFORM=wayland"))
                                        << QByteArray();
        QTest::newRow("no Xwayland") << QStringList{QStringLiteral("XDG_SESSION_TYPE=wayland"),
                                                    QStringLiteral("XDG_CURRENT_DESKTOP=GNOME")}
                                     << QByteArray();
        QTest::newRow("Plasma") << (QStringList(gnomeWayland) << QStringLiteral("XDG_CURRENT_DESKTOP=KDE"))
                                << QByteArray();
    }

    void xwaylandOnlyOnGnomesWayland() {
        QFETCH(QStringList, environment);
        QFETCH(QByteArray, expected);
        QProcessEnvironment env;
        for (const QString& entry : environment) {
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        }
        QCOMPARE(preferredWindowSystem(env), expected);
    }
};

QTEST_APPLESS_MAIN(TestWindowSystem)
#include "tst_windowsystem.moc"
