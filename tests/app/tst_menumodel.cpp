#include "app/MenuModel.h"

#include <QTest>

using namespace orvelquin;
using namespace Qt::StringLiterals;

namespace {

MenuState signedOut() {
    MenuState s;
    s.lastHeartbeat = u"—"_s, s.runtimeModeLabel = u"bundled"_s, s.runtimeStateLabel = u"stopped"_s;
    s.cpuModel = u"M"_s, s.ramBytes = 17179869184ULL, s.gpu = u"G"_s, s.version = u"0.3.1"_s;
    return s;
}
const MenuState kSignedOut = signedOut();

MenuState signedIn() {
    MenuState s = kSignedOut;
    s.email = u"ana@example.test"_s;
    s.deviceId = u"dev_12345678"_s;
    s.hasDeviceToken = true;
    s.connectionState = ConnectionState::Connected;
    s.lastHeartbeat = u"14:03:22"_s;
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

} // namespace

class TestMenuModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layouts() {
        QCOMPARE(
            layout(kSignedOut),
            QStringList(
                u"(Orvelquin Desktop)|(Not signed in)|---|(Device: No device re…)|(Status: Disconnected · "
                u"Last heartbeat —)|(Seller runtime: bundled · stopped)|(M · 16.0 GB total · G)|(Version "
                u"0.3.1)|---|Sign in… Ctrl+I|---|Check for updates…|Launch at login [ ]|---|Quit Orvelquin Ctrl+Q"_s
                    .split(u'|')));
        MenuState in = signedIn();
        in.launchAtLogin = true;
        QCOMPARE(layout(in),
                 QStringList(u"(Orvelquin Desktop)|(ana@example.test)|---|(Device: dev_12345678)|(Status: "
                             u"Connected · Last heartbeat 14:03:22)|(Seller runtime: bundled · stopped)|(M · "
                             u"16.0 GB total · G)|(Version 0.3.1)|---|Start seller runtime Ctrl+R|---|Open "
                             u"Console Ctrl+C|Open Devices Ctrl+D|---|Sign out|---|Check for updates…|Launch "
                             u"at login [x]|---|Quit Orvelquin Ctrl+Q"_s.split(u'|')));
    }

    // Each rule on its own: the line at `index` of the menu for the changed state.
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
        const QString accent = u"e\u0301"_s;
        row("12 whole", 3, u"(Device: abcdefghijkl)"_s, [](MenuState& s) { s.deviceId = u"abcdefghijkl"_s; });
        row("13 cut", 3, u"(Device: abcdefghijkl…)"_s, [](MenuState& s) { s.deviceId = u"abcdefghijklm"_s; });
        row("12 graphemes whole", 3, u"(Device: "_s + family.repeated(12) + u')',
            [&](MenuState& s) { s.deviceId = family.repeated(12); });
        row("13 graphemes cut", 3, u"(Device: "_s + family.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = family.repeated(13); });
        row("combining accents", 3, u"(Device: "_s + accent.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = accent.repeated(13); });
        row("& and _ literal", 1, u"(a&b_c@x)"_s, [](MenuState& s) { s.email = u"a&b_c@x"_s; });
        row("waiting for the keyring", 1, u"(Waiting for the keyring…)"_s,
            [](MenuState& s) { s.keychainPending = true; });
        row("no sign-in racing the keyring", 9, u"Check for updates…"_s, [](MenuState& s) {
            s = kSignedOut;
            s.keychainPending = true;
        });
        row("signing in", 1, u"(Signing in…)"_s, [](MenuState& s) { s.signingIn = true; });
        row("no second sign-in", 9, u"(Sign in…) Ctrl+I"_s, [](MenuState& s) {
            s = kSignedOut;
            s.signingIn = true;
        });
        row("signed out after a heartbeat", 4, u"(Status: Disconnected · Last heartbeat 14:03:22)"_s,
            [](MenuState& s) { s.hasDeviceToken = false; });
        row("unknown memory", 6, u"(M · Unknown total · G)"_s, [](MenuState& s) { s.ramBytes = 0; });
        row("odd memory size", 6, u"(M · 7.5 GB total · G)"_s, [](MenuState& s) { s.ramBytes = 8000000000ULL; });
        row("no figure while stopped", 6, u"(M · 16.0 GB total · G)"_s, [](MenuState& s) { s.runtimeCpuPercent = 5; });
        row("no figure yet", 6, u"(M · 16.0 GB total · G)"_s, [](MenuState& s) { s.runtimeRunning = true; });
        row("stop item", 9, u"Stop seller runtime Ctrl+R"_s, [](MenuState& s) { s.runtimeRunning = true; });
        const std::pair<qint64, const char*> uptimes[] = {
            {0, "0s"}, {59, "59s"}, {60, "1m"}, {3599, "59m"}, {3600, "1h 0m"}, {3900, "1h 5m"}, {90000, "25h 0m"}};
        for (const auto& [seconds, text] : uptimes) {
            row(text, 5, u"(Seller runtime: bundled · stopped · up %1)"_s.arg(QLatin1String(text)),
                [seconds = seconds](MenuState& s) { s.runtimeRunning = true, s.runtimeUptimeSeconds = seconds; });
        }
        const std::pair<double, const char*> figures[] = {{7.9, "7% CPU"}, {99.99, "99% CPU"}};
        for (const auto& [cpu, text] : figures) {
            row(text, 6, u"(M · 16.0 GB total · G · %1)"_s.arg(QLatin1String(text)),
                [cpu = cpu](MenuState& s) { s.runtimeRunning = true, s.runtimeCpuPercent = cpu; });
        }
        row("update item, a leading v kept", 17, u"Update available (vv1.2.0)"_s,
            [](MenuState& s) { s.pendingUpdateVersion = u"v1.2.0"_s; });
    }
    void rules() {
        QFETCH(MenuState, state);
        QFETCH(int, index);
        QFETCH(QString, line);
        QCOMPARE(layout(state).value(index), line);
    }
};

QTEST_GUILESS_MAIN(TestMenuModel)
#include "tst_menumodel.moc"
