// The status menu: what it shows for each state, how the one live QMenu follows it, and the icon.
#include "app/CpuWindow.h"
#include "app/StatusLook.h"
#include "app/StatusMenu.h"

#include <QAction>
#include <QIcon>
#include <QRegularExpression>
#include <QTest>

#include <cmath>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using enum ConnectionState;

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
QStringList layout(const QList<MenuItem>& items) {
    QStringList out;
    for (const MenuItem& item : items) {
        QString line = item.separator ? u"---"_s : item.enabled ? item.title : u'(' + item.title + u')';
        line += item.shortcut.isEmpty() ? QString() : u' ' + item.shortcut.toString();
        out << line + (item.checkable ? (item.checked ? u" [x]"_s : u" [ ]"_s) : QString());
    }
    return out;
}

// The items of the live menu, each title as its host draws it. A dbusmenu host: Qt's exporter
// turns the first '&' into '_', then the host reads "__" as '_' and drops any other '_' as a
// mnemonic marker.
QList<MenuItem> shown(const StatusMenu& menu) {
    QList<MenuItem> out;
    for (const QAction* a : menu.actions()) {
        QString title = a->text();
        if (const qsizetype amp = title.indexOf(u'&'); amp >= 0 && amp < title.size() - 1) {
            title[amp] = u'_';
        }
        title = menu.syntax() == LabelSyntax::DBusMenu ? title.replace(QRegularExpression(u"_(.)"_s), u"\\1"_s)
                                                       : a->iconText();
        out << MenuItem{a->isSeparator(), title,         MenuAction::None, a->shortcut(), a->isEnabled(),
                        a->isCheckable(), a->isChecked()};
    }
    return out;
}

// The lower of the WCAG 2 contrast ratios of a colour against a light and a dark panel.
double panelContrast(QColor colour) {
    const auto luminance = [](QColor c) {
        const auto channel = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF()) + 0.05;
    };
    const double l = luminance(colour), light = luminance(QColor(0xEFF0F1)), dark = luminance(QColor(0x2B2B2B));
    return std::min(std::max(l, light) / std::min(l, light), std::max(l, dark) / std::min(l, dark));
}

} // namespace

class TestStatusMenu : public QObject {
    Q_OBJECT

    static constexpr int kMenu = -1, kLook = -2;
    // Panels keep the ids of the first exported menu: every row's state is brought into this one.
    StatusMenu m_menu{LabelSyntax::DBusMenu};
    const QMenu* const m_live = m_menu.menu();
    QHash<int, QAction*> m_actions; // of the previous row, by item

private Q_SLOTS:
    // For a changed state: the lines of the menu from `index` on, the whole menu (kMenu), or the
    // icon and its tooltip (kLook). The live menu then shows every title ('&' and '_' included)
    // literally, and an item present before and after keeps its action.
    void oneMenuFollowsEveryState_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("lines");
        const auto row = [](const char* name, int index, const QString& lines, auto change) {
            MenuState s = signedIn();
            change(s);
            QTest::newRow(name) << s << index << lines;
        };
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
            u"(Seller runtime: bundled · stopped · up 25h 1m)|(R&D && _&_ & · 16.0 GB total · G · 99% CPU)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.runtimeUptimeSeconds = 90119, s.runtimeCpuPercent = 99.99; });
        row("stop item, update item with a leading v kept", 9,
            u"Stop seller runtime Ctrl+R|---|Open Console Ctrl+C|Open Devices Ctrl+D|---|Sign out|---|Check for "
            u"updates…|Update available (vv1.2.0)"_s,
            [](MenuState& s) { s.runtimeRunning = true, s.pendingUpdateVersion = u"v1.2.0"_s; });
        row("look signed out", kLook, u"orvelquin-desktop-offline-symbolic|Orvelquin Desktop · Not signed in"_s,
            [](MenuState& s) { s = signedOut(); });
        row("look connected", kLook,
            u"orvelquin-desktop-symbolic|Orvelquin Desktop · Connected · seller runtime running"_s,
            [](MenuState& s) { s = signedIn(Connected, u"running"_s); });
        row("look revoked", kLook,
            u"orvelquin-desktop-attention-symbolic|Orvelquin Desktop · Device revoked · seller runtime stopped"_s,
            [](MenuState& s) { s = signedIn(DeviceRevoked); });
        row("look runtime crashed", kLook,
            u"orvelquin-desktop-attention-symbolic|Orvelquin Desktop · Connected · seller runtime crashed"_s,
            [](MenuState& s) { s = signedIn(Connected, u"crashed"_s), s.runtimeCrashed = true; });
    }
    void oneMenuFollowsEveryState() {
        QFETCH(MenuState, state);
        QFETCH(int, index);
        QFETCH(QString, lines);
        const QList<MenuItem> items = composeMenu(state);
        const StatusLook look = statusLook(state);
        QCOMPARE(index == kLook   ? iconName(look.icon) + u'|' + look.toolTip
                 : index == kMenu ? layout(items).join(u'|')
                                  : layout(items).mid(index, lines.count(u'|') + 1).join(u'|'),
                 lines);
        m_menu.apply(items);
        QCOMPARE(m_menu.menu(), m_live);
        QCOMPARE(layout(shown(m_menu)), layout(items));
        QHash<int, QAction*> current;
        for (qsizetype i = 0; i < items.size(); ++i) {
            const int key = items[i].action == MenuAction::None ? int(i) : 100 + int(items[i].action);
            QVERIFY(items[i].separator || m_actions.value(key, m_menu.actions()[i]) == m_menu.actions()[i]);
            current.insert(key, m_menu.actions()[i]);
        }
        m_actions = current;
    }

    // The menu the agent draws itself shows the same titles literally (its key equivalents are
    // pressed in tray_xembed).
    void ownMenuShowsTitlesLiterally() {
        StatusMenu menu(LabelSyntax::DBusMenu);
        menu.apply(composeMenu(signedIn()));
        menu.setSyntax(LabelSyntax::Widgets);
        QCOMPARE(layout(shown(menu)), layout(composeMenu(signedIn())));
    }

    // The pixmaps a host shows when it does not recolour by name must read on both panels, at the
    // sizes Qt publishes; edge pixels are blended, so the glyph is read where it covers half a pixel.
    void everyLookReadsOnLightAndDarkPanels() {
        for (const auto look :
             {StatusLook::Icon::Connected, StatusLook::Icon::Attention, StatusLook::Icon::SignedOut}) {
            for (const int size : {22, 64}) {
                const QImage image = QIcon(u":/icons/%1.svg"_s.arg(iconName(look))).pixmap(size).toImage();
                int opaque = 0;
                for (int i = 0; i < image.width() * image.height(); ++i) {
                    const QColor pixel = image.pixelColor(i % image.width(), i / image.width());
                    opaque += pixel.alpha() >= 128;
                    QVERIFY2(pixel.alpha() < 128 || panelContrast(pixel) >= 3, qPrintable(iconName(look)));
                }
                QVERIFY2(opaque >= size, qPrintable(iconName(look)));
            }
        }
    }

    // A figure needs seconds: over a quick second look any process reads as 0 or 100 %. Another
    // process, or a counter that went back, starts a new window. Processor time in milliseconds.
    void cpuFigureNeedsAWindow() {
        CpuWindow window(std::chrono::seconds(2));
        const std::tuple<qint64, int, std::optional<quint64>, std::optional<double>> samples[] = {
            {7, 0, 1000, {}},     {7, 50, 1010, {}}, {7, 4000, 2000, 25.0}, {7, 6000, 6000, 100.0},
            {7, 7000, {}, 100.0}, {8, 8000, 1, {}},  {8, 11000, 0, {}}};
        for (const auto& [pid, at, cpuMs, figure] : samples) {
            const auto cpu = cpuMs ? std::optional<quint64>(*cpuMs * 1'000'000) : std::nullopt;
            QCOMPARE(window.sample(pid, CpuWindow::Clock::time_point{} + std::chrono::milliseconds(at), cpu), figure);
        }
    }
};

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
