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
using namespace Qt::StringLiterals;

namespace {

MenuState signedOut() {
    MenuState s;
    s.lastHeartbeat = u"—"_s, s.runtimeModeLabel = u"bundled"_s, s.runtimeStateLabel = u"stopped"_s;
    s.cpuModel = u"R&D _cpu_"_s, s.gpu = u"G"_s, s.version = u"0.3.1"_s;
    return s;
}
const MenuState kSignedOut = signedOut();

MenuState signedIn(ConnectionState connection = ConnectionState::Connected, const QString& runtime = u"stopped"_s) {
    MenuState s = kSignedOut;
    s.email = u"a&b_c@example.test"_s;
    s.deviceId = u"dev_1a2b"_s;
    s.hasDeviceToken = true;
    s.connectionState = connection;
    s.runtimeStateLabel = runtime;
    return s;
}

// What a dbusmenu host draws: Qt's exporter turns the first '&' into '_', then the host reads
// "__" as '_' and drops any other '_' as a mnemonic marker.
QString dbusmenuShows(QString label) {
    if (const qsizetype amp = label.indexOf(u'&'); amp >= 0 && amp < label.size() - 1) {
        label[amp] = u'_';
    }
    QString shown;
    for (qsizetype i = 0; i < label.size(); ++i) {
        shown += label[label[i] == u'_' && i + 1 < label.size() ? ++i : i];
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
        for (const char* text : {"a&b_c@example.test", "R&D && co", "Device: dev_1a2b…", "_&_", "&"}) {
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
    // QMenu, an item present before and after keeps its action, and clicks reach their operation.
    void oneMenuFollowsEveryState() {
        StatusMenu menu(LabelSyntax::DBusMenu);
        const QMenu* const live = menu.menu();
        MenuState running = signedIn();
        running.runtimeRunning = true;
        running.pendingUpdateVersion = u"1.2.0"_s;
        QHash<QString, QAction*> previous;
        for (const MenuState& state :
             {kSignedOut, signedIn(), signedIn(ConnectionState::Reconnecting), running, kSignedOut}) {
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
                const QString key = items[i].action == MenuAction::None ? u"line %1"_s.arg(i)
                                                                        : u"action %1"_s.arg(int(items[i].action));
                QVERIFY(!previous.contains(key) || previous[key] == action);
                current.insert(key, action);
            }
            previous = current;
        }
        menu.setSyntax(LabelSyntax::Widgets);
        for (qsizetype i = 0; i < menu.actions().size(); ++i) {
            QCOMPARE(menu.actions()[i]->iconText(), composeMenu(kSignedOut)[i].title);
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
        using enum ConnectionState;
        QTest::newRow("signed out") << kSignedOut << StatusLook::Icon::SignedOut << u"Not signed in"_s;
        QTest::newRow("connected") << signedIn(Connected, u"running"_s) << StatusLook::Icon::Connected
                                   << u"Connected · seller runtime running"_s;
        QTest::newRow("first heartbeat pending")
            << signedIn(Disconnected) << StatusLook::Icon::SignedOut << u"Disconnected · seller runtime stopped"_s;
        for (const ConnectionState failure : {DeviceRevoked, ServerUnavailable, Reconnecting}) {
            QTest::newRow(qPrintable(displayWord(failure))) << signedIn(failure) << StatusLook::Icon::Attention
                                                            << displayWord(failure) + u" · seller runtime stopped"_s;
        }
        QTest::newRow("runtime crashed") << signedIn(Connected, u"crashed"_s) << StatusLook::Icon::Attention
                                         << u"Connected · seller runtime crashed"_s;
    }
    void lookFollowsTheState() {
        QFETCH(MenuState, state);
        QFETCH(StatusLook::Icon, icon);
        QFETCH(QString, toolTip);
        const StatusLook look = statusLook(state);
        QCOMPARE(look.toolTip, u"Orvelquin Desktop · "_s + toolTip);
        QCOMPARE(look.icon, icon);
    }

    // The pixmaps a host shows when it does not recolour by name must read on both panels, at the
    // sizes Qt publishes; edge pixels are blended, so the glyph is read where it covers half a pixel.
    void everyLookReadsOnLightAndDarkPanels() {
        for (const StatusLook::Icon look :
             {StatusLook::Icon::Connected, StatusLook::Icon::Attention, StatusLook::Icon::SignedOut}) {
            for (const int size : {22, 64}) {
                const QImage image = QIcon(":/icons/"_L1 + iconName(look) + ".svg"_L1)
                                         .pixmap(size)
                                         .toImage()
                                         .convertToFormat(QImage::Format_ARGB32);
                int opaque = 0;
                for (int i = 0; i < image.width() * image.height(); ++i) {
                    const QColor pixel = image.pixelColor(i % image.width(), i / image.width());
                    opaque += pixel.alpha() >= 128;
                    QVERIFY2(pixel.alpha() < 128 || std::min(contrast(pixel, QColor(0xEF, 0xF0, 0xF1)),
                                                             contrast(pixel, QColor(0x2B, 0x2B, 0x2B))) >= 3.0,
                             qPrintable(iconName(look)));
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
