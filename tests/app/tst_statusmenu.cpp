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
    s.cpuModel = u"R&D && _&_ &"_s, s.ramBytes = 17179869184ULL, s.gpu = u"G"_s, s.version = u"0.3.1"_s;
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

    static constexpr int kMenu = -1, kLook = -2;

private Q_SLOTS:
    // For a changed state: the lines of the menu from `index` on, the whole menu (kMenu), or the
    // icon and its tooltip (kLook).
    void shows_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("lines");
        const auto row = [](const char* name, int index, const QString& lines, auto change) {
            MenuState s = signedIn();
            change(s);
            QTest::newRow(name) << s << index << lines;
        };
        const auto as = [](const MenuState& state) { return [state](MenuState& s) { s = state; }; };
        const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s; // one grapheme
        row("signed in", kMenu,
            u"(Orvelquin Desktop)|(a&b_c@example.test)|---|(Device: dev_1a2b)|(Status: Connected · Last heartbeat "
            u"14:03:22)|(Seller runtime: bundled · stopped)|(R&D && _&_ & · 16.0 GB total · G)|(Version 0.3.1)|---|"
            u"Start seller runtime Ctrl+R|---|Open Console Ctrl+C|Open Devices Ctrl+D|---|Sign out|---|Check for "
            u"updates…|Launch at login [x]|---|Quit Orvelquin Ctrl+Q"_s,
            [](MenuState& s) { s.launchAtLogin = true; });
        row("waiting for the keyring, no sign-in racing it", kMenu,
            u"(Orvelquin Desktop)|(Waiting for the keyring…)|---|(Device: No device re…)|(Status: Disconnected · "
            u"Last heartbeat —)|(Seller runtime: bundled · stopped)|(R&D && _&_ & · 16.0 GB total · G)|(Version "
            u"0.3.1)|---|Check for updates…|Launch at login [ ]|---|Quit Orvelquin Ctrl+Q"_s,
            [](MenuState& s) { s = signedOut(), s.keychainPending = true; });
        row("13 cut", 3, u"(Device: abcdefghijkl…)"_s, [](MenuState& s) { s.deviceId = u"abcdefghijklm"_s; });
        row("13 graphemes cut", 3, u"(Device: "_s + family.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = family.repeated(13); });
        row("no second sign-in", 1,
            u"(Signing in…)|---|(Device: No device re…)|(Status: Disconnected · Last heartbeat —)|(Seller runtime: "
            u"bundled · stopped)|(R&D && _&_ & · 16.0 GB total · G)|(Version 0.3.1)|---|(Sign in…) Ctrl+I"_s,
            [](MenuState& s) { s = signedOut(), s.signingIn = true; });
        row("signed out after a heartbeat", 4, u"(Status: Disconnected · Last heartbeat 14:03:22)"_s,
            [](MenuState& s) { s.hasDeviceToken = false; });
        row("odd memory, no figure while stopped", 6, u"(R&D && _&_ & · 7.5 GB total · G)"_s,
            [](MenuState& s) { s.ramBytes = 8000000000ULL, s.runtimeCpuPercent = 5; });
        row("running, a figure cut", 5,
            u"(Seller runtime: bundled · stopped · up 59s)|(R&D && _&_ & · 16.0 GB total · G · 99% CPU)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.runtimeUptimeSeconds = 59, s.runtimeCpuPercent = 99.99; });
        row("hours", 5, u"(Seller runtime: bundled · stopped · up 25h 1m)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.runtimeUptimeSeconds = 90119; });
        row("stop item, update item with a leading v kept", 9,
            u"Stop seller runtime Ctrl+R|---|Open Console Ctrl+C|Open Devices Ctrl+D|---|Sign out|---|Check for "
            u"updates…|Update available (vv1.2.0)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.pendingUpdateVersion = u"v1.2.0"_s; });
        row("look signed out", kLook, u"orvelquin-desktop-offline-symbolic|Orvelquin Desktop · Not signed in"_s,
            as(signedOut()));
        row("look connected", kLook,
            u"orvelquin-desktop-symbolic|Orvelquin Desktop · Connected · seller runtime running"_s,
            as(signedIn(Connected, u"running"_s)));
        row("look revoked", kLook,
            u"orvelquin-desktop-attention-symbolic|Orvelquin Desktop · Device revoked · seller runtime stopped"_s,
            as(signedIn(DeviceRevoked)));
        row("look runtime crashed", kLook,
            u"orvelquin-desktop-attention-symbolic|Orvelquin Desktop · Connected · seller runtime crashed"_s,
            as(signedIn(Connected, u"crashed"_s)));
    }
    void shows() {
        QFETCH(MenuState, state);
        QFETCH(int, index);
        QFETCH(QString, lines);
        const StatusLook look = statusLook(state);
        QCOMPARE(index == kLook   ? iconName(look.icon) + u'|' + look.toolTip
                 : index == kMenu ? layout(state).join(u'|')
                                  : layout(state).mid(index, lines.count(u'|') + 1).join(u'|'),
                 lines);
    }

    // Panels keep the ids of the first exported menu: every state is brought into the same QMenu,
    // an item present before and after keeps its action, every title ('&' and '_' included) shows
    // literally, and clicks reach their operation.
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
        const std::tuple<qint64, std::chrono::milliseconds, std::optional<quint64>, std::optional<double>> samples[] = {
            {7, 0ms, 1'000'000'000, {}},
            {7, 50ms, 1'010'000'000, {}},
            {7, 4s, 2'000'000'000, 25.0},
            {7, 6s, 6'000'000'000, 100.0},
            {7, 7s, {}, 100.0},
            {8, 8s, 1, {}},
            {8, 11s, 0, {}}};
        for (const auto& [pid, at, cpu, figure] : samples) {
            QCOMPARE(window.sample(pid, CpuWindow::Clock::time_point{} + at, cpu), figure);
        }
    }
};

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
