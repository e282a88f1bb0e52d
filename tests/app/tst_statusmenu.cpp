#include "app/CpuWindow.h"
#include "app/StatusLook.h"
#include "app/StatusMenu.h"

#include <QAction>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>

#include <cmath>

using namespace orvelquin;
using namespace std::chrono_literals;

namespace {

MenuState signedOut() {
    MenuState s;
    s.lastHeartbeat = QStringLiteral("\u2014");
    s.runtimeModeLabel = QStringLiteral("bundled");
    s.runtimeStateLabel = QStringLiteral("stopped");
    s.cpuModel = QStringLiteral("R&D _cpu_");
    s.gpu = QStringLiteral("G");
    s.version = QStringLiteral("0.3.1");
    return s;
}

MenuState signedIn(ConnectionState connection = ConnectionState::Connected) {
    MenuState s = signedOut();
    s.email = QStringLiteral("a&b_c@example.test");
    s.deviceId = QStringLiteral("dev_1a2b");
    s.hasDeviceToken = true;
    s.connectionState = connection;
    return s;
}

// What a dbusmenu host draws: Qt's exporter turns the first '&' into '_', then the host reads
// "__" as '_' and drops any other '_' as a mnemonic marker.
QString dbusmenuShows(QString label) {
    const qsizetype amp = label.indexOf(u'&');
    if (amp >= 0 && amp < label.size() - 1) {
        label[amp] = u'_';
    }
    QString shown;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == u'_' && i + 1 < label.size()) {
            ++i;
        }
        shown += label[i];
    }
    return shown;
}

// The contrast ratio of WCAG 2.
double contrast(QColor a, QColor b) {
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF()) + 0.05;
    };
    return std::max(luminance(a), luminance(b)) / std::min(luminance(a), luminance(b));
}

} // namespace

class TestStatusMenu : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void titlesShowLiterally_data() {
        QTest::addColumn<QString>("text");
        for (const char* text :
             {"Orvelquin Desktop", "a&b_c@example.test", "R&D && co", "Device: dev_1a2b…", "_&_", "&"}) {
            QTest::newRow(text) << QString::fromUtf8(text);
        }
    }
    void titlesShowLiterally() {
        QFETCH(QString, text);
        QAction action;
        action.setText(escapeMenuTitle(text, LabelSyntax::Widgets));
        QCOMPARE(action.iconText(), text);
        QCOMPARE(dbusmenuShows(escapeMenuTitle(text, LabelSyntax::DBusMenu)), text);
    }

    // Panels keep the ids of the first exported menu: every state is brought into the same
    // QMenu, unchanged items keep their actions, and clicks reach the right operation.
    void oneMenuFollowsEveryState() {
        StatusMenu menu(LabelSyntax::DBusMenu);
        const QMenu* const live = menu.menu();
        MenuState running = signedIn();
        running.runtimeRunning = true;
        running.pendingUpdateVersion = QStringLiteral("1.2.0");
        const QList<MenuState> states{signedOut(), signedIn(), signedIn(ConnectionState::Reconnecting), running,
                                      signedOut()};

        QHash<QString, QAction*> previous;
        for (const MenuState& state : states) {
            QHash<QString, QAction*> current;
            const QList<MenuItem> items = composeMenu(state);
            menu.apply(items);
            QCOMPARE(menu.menu(), live);
            QCOMPARE(menu.actions().size(), items.size());
            for (qsizetype i = 0; i < items.size(); ++i) {
                QAction* action = menu.actions()[i];
                QCOMPARE(action->isSeparator(), items[i].separator);
                if (items[i].separator) {
                    continue;
                }
                QCOMPARE(dbusmenuShows(action->text()), items[i].title);
                QCOMPARE(action->isEnabled(), items[i].enabled);
                QCOMPARE(action->isChecked(), items[i].checked);
                // An operation or information line present before and after keeps its action.
                const QString key = items[i].action == MenuAction::None
                                        ? QStringLiteral("line %1").arg(i)
                                        : QStringLiteral("action %1").arg(int(items[i].action));
                QVERIFY(!previous.contains(key) || previous[key] == action);
                current.insert(key, action);
            }
            previous = current;
        }

        menu.setSyntax(LabelSyntax::Widgets);
        for (qsizetype i = 0; i < menu.actions().size(); ++i) {
            QCOMPARE(menu.actions()[i]->iconText(), composeMenu(signedOut())[i].title);
        }

        // The key equivalent shown reaches its item while the menu the agent draws is open.
        QSignalSpy triggered(&menu, &StatusMenu::triggered);
        menu.menu()->popup(QPoint(0, 0));
        QTest::keyClick(menu.menu(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(triggered.wait(1000));
        QCOMPARE(triggered.constFirst().constFirst().value<MenuAction>(), MenuAction::Quit);
    }

    void lookFollowsTheState_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<StatusLook::Icon>("icon");
        QTest::addColumn<QString>("toolTip");
        const auto with = [](MenuState s, const char* runtime) {
            s.runtimeStateLabel = QString::fromLatin1(runtime);
            return s;
        };
        QTest::newRow("signed out") << signedOut() << StatusLook::Icon::SignedOut
                                    << QStringLiteral("Orvelquin Desktop · Not signed in");
        QTest::newRow("connected") << with(signedIn(), "running") << StatusLook::Icon::Connected
                                   << QStringLiteral("Orvelquin Desktop · Connected · seller runtime running");
        QTest::newRow("first heartbeat pending")
            << signedIn(ConnectionState::Disconnected) << StatusLook::Icon::SignedOut
            << QStringLiteral("Orvelquin Desktop · Disconnected · seller runtime stopped");
        for (const ConnectionState failure :
             {ConnectionState::DeviceRevoked, ConnectionState::ServerUnavailable, ConnectionState::Reconnecting}) {
            QTest::newRow(qPrintable(displayWord(failure)))
                << signedIn(failure) << StatusLook::Icon::Attention
                << QStringLiteral("Orvelquin Desktop · %1 · seller runtime stopped").arg(displayWord(failure));
        }
        QTest::newRow("runtime crashed") << with(signedIn(), "crashed") << StatusLook::Icon::Attention
                                         << QStringLiteral("Orvelquin Desktop · Connected · seller runtime crashed");
    }
    void lookFollowsTheState() {
        QFETCH(MenuState, state);
        QFETCH(StatusLook::Icon, icon);
        QFETCH(QString, toolTip);
        const StatusLook look = statusLook(state);
        QCOMPARE(look.icon, icon);
        QCOMPARE(look.toolTip, toolTip);
    }

    // The pixmaps a host shows when it does not recolour by name must read on both panels.
    void everyLookReadsOnLightAndDarkPanels() {
        for (const StatusLook::Icon look :
             {StatusLook::Icon::Connected, StatusLook::Icon::Attention, StatusLook::Icon::SignedOut}) {
            const QIcon icon(QStringLiteral(":/icons/") + iconName(look) + QStringLiteral(".svg"));
            // The sizes Qt publishes; edge pixels are blended, so the glyph's own colour is read
            // where it covers at least half a pixel.
            for (const int size : {22, 64}) {
                const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
                int opaque = 0;
                for (int y = 0; y < image.height(); ++y) {
                    for (int x = 0; x < image.width(); ++x) {
                        const QColor pixel = image.pixelColor(x, y);
                        if (pixel.alpha() < 128) {
                            continue;
                        }
                        ++opaque;
                        QVERIFY2(contrast(pixel, QColor(0xEF, 0xF0, 0xF1)) >= 3.0, qPrintable(iconName(look)));
                        QVERIFY2(contrast(pixel, QColor(0x2B, 0x2B, 0x2B)) >= 3.0, qPrintable(iconName(look)));
                    }
                }
                QVERIFY2(opaque >= size, qPrintable(iconName(look)));
            }
        }
    }

    // A figure needs seconds: over a quick second look any process reads as 0 or 100 %.
    void cpuFigureNeedsAWindow() {
        CpuWindow window(2s);
        const CpuWindow::Clock::time_point t0{};
        QCOMPARE(window.sample(7, t0, 1'000'000'000), std::nullopt);
        QCOMPARE(window.sample(7, t0 + 50ms, 1'010'000'000), std::nullopt);
        QCOMPARE(window.sample(7, t0 + 4s, 2'000'000'000), 25.0);
        QCOMPARE(window.sample(7, t0 + 4s + 10ms, 2'010'000'000), 25.0);
        QCOMPARE(window.sample(7, t0 + 6s, 6'000'000'000), 100.0);
        QCOMPARE(window.sample(7, t0 + 7s, std::nullopt), 100.0);
        // Another process, or a counter that went back, starts a new window.
        QCOMPARE(window.sample(8, t0 + 8s, 1), std::nullopt);
        QCOMPARE(window.sample(8, t0 + 11s, 0), std::nullopt);
    }
};

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
