#include "platform/WindowSystem.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestWindowSystem : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void xwaylandOnlyOnGnomesWayland_data() {
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QByteArray>("expected");
        const QString wayland = u"XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-0 DISPLAY=:0 "_s;
        QTest::newRow("Ubuntu's GNOME") << wayland + u"XDG_CURRENT_DESKTOP=ubuntu:GNOME"_s << QByteArray("xcb");
        QTest::newRow("the user chose") << wayland + u"XDG_CURRENT_DESKTOP=GNOME QT_QPA_PLATFORM=wayland"_s
                                        << QByteArray();
        QTest::newRow("no Xwayland") << u"XDG_SESSION_TYPE=wayland XDG_CURRENT_DESKTOP=GNOME"_s << QByteArray();
        QTest::newRow("Plasma") << wayland + u"XDG_CURRENT_DESKTOP=KDE"_s << QByteArray();
    }

    void xwaylandOnlyOnGnomesWayland() {
        QFETCH(QString, environment);
        QProcessEnvironment env;
        for (const QString& entry : environment.split(u' ')) {
            env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
        }
        QTEST(orvelquin::platform::preferredWindowSystem(env), "expected");
    }
};

QTEST_APPLESS_MAIN(TestWindowSystem)
#include "tst_windowsystem.moc"
