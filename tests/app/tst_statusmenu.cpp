// The status menu: what it shows for each state, how the one live QMenu follows it, and the icon.
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
using enum ConnectionState;
using Icon = StatusLook::Icon;

namespace {

// '&' and '_' in the texts: the model keeps them literal, escaping is the rendering's job.
MenuState signedIn(ConnectionState connection = Connected, const QString& runtime = u"stopped"_s) {
    MenuState s;
    s.email = u"a&b_c@example.test"_s, s.deviceId = u"dev_1a2b"_s, s.hasDeviceToken = true;
    s.connectionState = connection, s.lastHeartbeat = u"14:03:22"_s;
    s.runtimeModeLabel = u"bundled"_s, s.runtimeStateLabel = runtime;
    s.cpuModel = u"R&D _M_"_s, s.ramBytes = 17179869184ULL, s.gpu = u"G"_s, s.version = u"0.3.1"_s;
    return s;
}
MenuState signedOut() {
    MenuState s = signedIn(Disconnected);
    s.email.reset(), s.deviceId.reset(), s.hasDeviceToken = false, s.lastHeartbeat = u"—"_s;
    return s;
}

// One line an item: "(title)" when disabled, then its key equivalent and check box.
QStringList layout(const MenuState& state) {
    QStringList out;
    for (const MenuItem& item : composeMenu(state)) {
        QString line = item.separator ? u"---"_s : item.enabled ? item.title : u'(' + item.title + u')';
        line += item.shortcut.isEmpty() ? QString() : u' ' + item.shortcut.toString();
        out << line + (item.checkable ? (item.checked ? u" [x]"_s : u" [ ]"_s) : QString());
    }
    return out;
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
    // The line at `index` of the menu for a changed state; -1 is the whole menu.
    void rules_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("line");
        const auto row = [](const char* name, int index, const QString& line, auto change) {
            MenuState s = signedIn();
            change(s);
            QTest::newRow(name) << s << index << line;
        };
        const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s; // one grapheme
        row("signed out", -1,
            u"(Orvelquin Desktop)|(Not signed in)|---|(Device: No device re…)|(Status: Disconnected · Last heartbeat "
            u"—)|(Seller runtime: bundled · stopped)|(R&D _M_ · 16.0 GB total · G)|(Version 0.3.1)|---|Sign in… "
            u"Ctrl+I|---|Check for updates…|Launch at login [ ]|---|Quit Orvelquin Ctrl+Q"_s,
            [](MenuState& s) { s = signedOut(); });
        row("signed in", -1,
            u"(Orvelquin Desktop)|(a&b_c@example.test)|---|(Device: dev_1a2b)|(Status: Connected · Last heartbeat "
            u"14:03:22)|(Seller runtime: bundled · stopped)|(R&D _M_ · 16.0 GB total · G)|(Version 0.3.1)|---|Start "
            u"seller runtime Ctrl+R|---|Open Console Ctrl+C|Open Devices Ctrl+D|---|Sign out|---|Check for "
            u"updates…|Launch at login [x]|---|Quit Orvelquin Ctrl+Q"_s,
            [](MenuState& s) { s.launchAtLogin = true; });
        row("12 whole", 3, u"(Device: abcdefghijkl)"_s, [](MenuState& s) { s.deviceId = u"abcdefghijkl"_s; });
        row("13 cut", 3, u"(Device: abcdefghijkl…)"_s, [](MenuState& s) { s.deviceId = u"abcdefghijklm"_s; });
        row("13 graphemes cut", 3, u"(Device: "_s + family.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = family.repeated(13); });
        row("combining accents", 3, u"(Device: "_s + u"e\u0301"_s.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = u"e\u0301"_s.repeated(13); });
        row("waiting for the keyring", 1, u"(Waiting for the keyring…)"_s,
            [](MenuState& s) { s.keychainPending = true; });
        row("no sign-in racing the keyring", 9, u"Check for updates…"_s,
            [](MenuState& s) { s = signedOut(), s.keychainPending = true; });
        row("signing in", 1, u"(Signing in…)"_s, [](MenuState& s) { s.signingIn = true; });
        row("no second sign-in", 9, u"(Sign in…) Ctrl+I"_s, [](MenuState& s) { s = signedOut(), s.signingIn = true; });
        row("signed out after a heartbeat", 4, u"(Status: Disconnected · Last heartbeat 14:03:22)"_s,
            [](MenuState& s) { s.hasDeviceToken = false; });
        row("unknown memory", 6, u"(R&D _M_ · Unknown total · G)"_s, [](MenuState& s) { s.ramBytes = 0; });
        row("odd memory size", 6, u"(R&D _M_ · 7.5 GB total · G)"_s, [](MenuState& s) { s.ramBytes = 8000000000ULL; });
        row("no figure while stopped", 6, u"(R&D _M_ · 16.0 GB total · G)"_s,
            [](MenuState& s) { s.runtimeCpuPercent = 5; });
        row("running, a figure cut", 6, u"(R&D _M_ · 16.0 GB total · G · 99% CPU)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.runtimeCpuPercent = 99.99; });
        row("stop item", 9, u"Stop seller runtime Ctrl+R"_s, [](MenuState& s) { s.runtimeRunning = true; });
        for (const auto& [seconds, text] : {std::pair{59, "59s"}, {60, "1m"}, {3599, "59m"}, {90000, "25h 0m"}}) {
            row(text, 5, u"(Seller runtime: bundled · stopped · up %1)"_s.arg(QLatin1String(text)),
                [seconds = seconds](MenuState& s) { s.runtimeRunning = true, s.runtimeUptimeSeconds = seconds; });
        }
        row("update item, a leading v kept", 17, u"Update available (vv1.2.0)"_s,
            [](MenuState& s) { s.pendingUpdateVersion = u"v1.2.0"_s; });
    }
    void rules() {
        QFETCH(MenuState, state);
        QFETCH(int, index);
        QFETCH(QString, line);
        QCOMPARE(index < 0 ? layout(state).join(u'|') : layout(state).value(index), line);
    }

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
        for (const MenuState& state : {signedOut(), signedIn(), signedIn(Reconnecting), running, signedOut()}) {
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
        QTest::addColumn<Icon>("icon");
        QTest::addColumn<QString>("toolTip");
        QTest::newRow("signed out") << signedOut() << Icon::SignedOut << u"Not signed in"_s;
        QTest::newRow("connected") << signedIn(Connected, u"running"_s) << Icon::Connected
                                   << u"Connected · seller runtime running"_s;
        QTest::newRow("first heartbeat pending")
            << signedIn(Disconnected) << Icon::SignedOut << u"Disconnected · seller runtime stopped"_s;
        for (const ConnectionState failure : {DeviceRevoked, ServerUnavailable, Reconnecting}) {
            QTest::newRow(qPrintable(displayWord(failure)))
                << signedIn(failure) << Icon::Attention << displayWord(failure) + u" · seller runtime stopped"_s;
        }
        QTest::newRow("runtime crashed") << signedIn(Connected, u"crashed"_s) << Icon::Attention
                                         << u"Connected · seller runtime crashed"_s;
    }
    void lookFollowsTheState() {
        QFETCH(MenuState, state);
        QFETCH(Icon, icon);
        QFETCH(QString, toolTip);
        QCOMPARE(statusLook(state), (StatusLook{icon, u"Orvelquin Desktop · "_s + toolTip}));
    }

    // The pixmaps a host shows when it does not recolour by name must read on both panels, at the
    // sizes Qt publishes; edge pixels are blended, so the glyph is read where it covers half a pixel.
    void everyLookReadsOnLightAndDarkPanels() {
        for (const Icon look : {Icon::Connected, Icon::Attention, Icon::SignedOut}) {
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

    // A figure needs seconds: over a quick second look any process reads as 0 or 100 %. Another
    // process, or a counter that went back, starts a new window.
    void cpuFigureNeedsAWindow() {
        CpuWindow window(2s);
        const CpuWindow::Clock::time_point t0{};
        const std::tuple<qint64, std::chrono::milliseconds, std::optional<quint64>, std::optional<double>> samples[] = {
            {7, 0ms, 1'000'000'000, {}},
            {7, 50ms, 1'010'000'000, {}},
            {7, 4s, 2'000'000'000, 25.0},
            {7, 4010ms, 2'010'000'000, 25.0},
            {7, 6s, 6'000'000'000, 100.0},
            {7, 7s, {}, 100.0},
            {8, 8s, 1, {}},
            {8, 11s, 0, {}}};
        for (const auto& [pid, at, cpu, figure] : samples) {
            QCOMPARE(window.sample(pid, t0 + at, cpu), figure);
        }
    }
};

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
