#include "app/MenuModel.h"

#include <QTest>

using namespace orvelquin;
using namespace Qt::StringLiterals;

namespace {

MenuState signedOut() {
    MenuState s;
    s.lastHeartbeat = QStringLiteral("\u2014");
    s.runtimeModeLabel = QStringLiteral("bundled");
    s.runtimeStateLabel = QStringLiteral("stopped");
    s.cpuModel = QStringLiteral("M");
    s.ramBytes = 17179869184ULL;
    s.gpu = QStringLiteral("G");
    s.version = QStringLiteral("0.3.1");
    return s;
}

MenuState signedIn() {
    MenuState s = signedOut();
    s.email = QStringLiteral("ana@example.test");
    s.deviceId = QStringLiteral("dev_12345678");
    s.hasDeviceToken = true;
    s.connectionState = ConnectionState::Connected;
    s.lastHeartbeat = QStringLiteral("14:03:22");
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

} // namespace

class TestMenuModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void layouts_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("signed out") << signedOut()
                                    << QStringList{u"(Orvelquin Desktop)"_s,
                                                   u"(Not signed in)"_s,
                                                   u"---"_s,
                                                   u"(Device: No device re\u2026)"_s,
                                                   u"(Status: Disconnected \u00B7 Last heartbeat \u2014)"_s,
                                                   u"(Seller runtime: bundled \u00B7 stopped)"_s,
                                                   u"(M \u00B7 16.0 GB total \u00B7 G)"_s,
                                                   u"(Version 0.3.1)"_s,
                                                   u"---"_s,
                                                   u"Sign in\u2026 Ctrl+I"_s,
                                                   u"---"_s,
                                                   u"Check for updates\u2026"_s,
                                                   u"Launch at login [ ]"_s,
                                                   u"---"_s,
                                                   u"Quit Orvelquin Ctrl+Q"_s};
        MenuState in = signedIn();
        in.launchAtLogin = true;
        QTest::newRow("signed in") << in
                                   << QStringList{u"(Orvelquin Desktop)"_s,
                                                  u"(ana@example.test)"_s,
                                                  u"---"_s,
                                                  u"(Device: dev_12345678)"_s,
                                                  u"(Status: Connected \u00B7 Last heartbeat 14:03:22)"_s,
                                                  u"(Seller runtime: bundled \u00B7 stopped)"_s,
                                                  u"(M \u00B7 16.0 GB total \u00B7 G)"_s,
                                                  u"(Version 0.3.1)"_s,
                                                  u"---"_s,
                                                  u"Start seller runtime Ctrl+R"_s,
                                                  u"---"_s,
                                                  u"Open Console Ctrl+C"_s,
                                                  u"Open Devices Ctrl+D"_s,
                                                  u"---"_s,
                                                  u"Sign out"_s,
                                                  u"---"_s,
                                                  u"Check for updates\u2026"_s,
                                                  u"Launch at login [x]"_s,
                                                  u"---"_s,
                                                  u"Quit Orvelquin Ctrl+Q"_s};
    }
    void layouts() {
        QFETCH(MenuState, state);
        QFETCH(QStringList, lines);
        QCOMPARE(layout(composeMenu(state)), lines);
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
        row("12 graphemes whole", 3, u"(Device: "_s + family.repeated(12) + u")"_s,
            [&](MenuState& s) { s.deviceId = family.repeated(12); });
        row("13 graphemes cut", 3, u"(Device: "_s + family.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = family.repeated(13); });
        row("combining accents", 3, u"(Device: "_s + accent.repeated(12) + u"…)"_s,
            [&](MenuState& s) { s.deviceId = accent.repeated(13); });
        row("& and _ literal", 1, u"(a&b_c@x)"_s, [](MenuState& s) { s.email = u"a&b_c@x"_s; });
        row("waiting for the keyring", 1, u"(Waiting for the keyring…)"_s,
            [](MenuState& s) { s.keychainPending = true; });
        row("no sign-in racing the keyring", 9, u"Check for updates…"_s, [](MenuState& s) {
            s = signedOut();
            s.keychainPending = true;
        });
        row("signing in", 1, u"(Signing in…)"_s, [](MenuState& s) { s.signingIn = true; });
        row("no second sign-in", 9, u"(Sign in…) Ctrl+I"_s, [](MenuState& s) {
            s = signedOut();
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
        QCOMPARE(layout(composeMenu(state)).value(index), line);
    }
};

QTEST_GUILESS_MAIN(TestMenuModel)
#include "tst_menumodel.moc"
