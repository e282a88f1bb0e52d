#include "app/MenuModel.h"

#include <QTest>

using namespace orvelquin;

namespace {

MenuState freshSignedOut() {
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
    MenuState s = freshSignedOut();
    s.email = QStringLiteral("ana@example.test");
    s.deviceId = QStringLiteral("dev_12345678");
    s.hasDeviceToken = true;
    s.connectionState = ConnectionState::Connected;
    s.lastHeartbeat = QStringLiteral("14:03:22");
    return s;
}

QStringList titles(const QList<MenuItem>& items) {
    QStringList out;
    for (const MenuItem& item : items) {
        out << (item.separator ? QStringLiteral("---") : item.title);
    }
    return out;
}

const MenuItem* find(const QList<MenuItem>& items, MenuAction action) {
    for (const MenuItem& item : items) {
        if (item.action == action) {
            return &item;
        }
    }
    return nullptr;
}

} // namespace

class TestMenuModel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signedOutFreshStart() {
        const QList<MenuItem> items = composeMenu(freshSignedOut());
        const QStringList expected = {
            QStringLiteral("Orvelquin Desktop"),
            QStringLiteral("Not signed in"),
            QStringLiteral("---"),
            QStringLiteral("Device: No device re\u2026"),
            QStringLiteral("Status: Disconnected \u00B7 Last heartbeat \u2014"),
            QStringLiteral("Seller runtime: bundled \u00B7 stopped"),
            QStringLiteral("M \u00B7 16.0 GB total \u00B7 G"),
            QStringLiteral("Version 0.3.1"),
            QStringLiteral("---"),
            QStringLiteral("Sign in\u2026"),
            QStringLiteral("---"),
            QStringLiteral("Check for updates\u2026"),
            QStringLiteral("Launch at login"),
            QStringLiteral("---"),
            QStringLiteral("Quit Orvelquin"),
        };
        QCOMPARE(titles(items), expected);
        for (int i = 0; i < 8; ++i) {
            QVERIFY2(!items[i].enabled && items[i].action == MenuAction::None, qPrintable(items[i].title));
        }
        QCOMPARE(find(items, MenuAction::PromptSignIn)->shortcut, QKeySequence(Qt::CTRL | Qt::Key_I));
        QCOMPARE(find(items, MenuAction::Quit)->shortcut, QKeySequence(Qt::CTRL | Qt::Key_Q));
        QVERIFY(find(items, MenuAction::Quit)->enabled);
        QVERIFY(!find(items, MenuAction::ToggleLaunchAtLogin)->checked);
    }

    void waitingForTheKeyring() {
        MenuState state = freshSignedOut();
        state.keychainPending = true;
        const QStringList shown = titles(composeMenu(state));
        QCOMPARE(shown.at(1), QStringLiteral("Waiting for the keyring\u2026"));
        QVERIFY(!find(composeMenu(state), MenuAction::PromptSignIn));
        QCOMPARE(shown.mid(7, 4),
                 (QStringList{QStringLiteral("Version 0.3.1"), QStringLiteral("---"),
                              QStringLiteral("Check for updates\u2026"), QStringLiteral("Launch at login")}));
    }

    void signedInConnected() {
        const QList<MenuItem> items = composeMenu(signedIn());
        const QStringList expected = {
            QStringLiteral("Orvelquin Desktop"),
            QStringLiteral("ana@example.test"),
            QStringLiteral("---"),
            QStringLiteral("Device: dev_12345678"),
            QStringLiteral("Status: Connected \u00B7 Last heartbeat 14:03:22"),
            QStringLiteral("Seller runtime: bundled \u00B7 stopped"),
            QStringLiteral("M \u00B7 16.0 GB total \u00B7 G"),
            QStringLiteral("Version 0.3.1"),
            QStringLiteral("---"),
            QStringLiteral("Start seller runtime"),
            QStringLiteral("---"),
            QStringLiteral("Open Console"),
            QStringLiteral("Open Devices"),
            QStringLiteral("---"),
            QStringLiteral("Sign out"),
            QStringLiteral("---"),
            QStringLiteral("Check for updates\u2026"),
            QStringLiteral("Launch at login"),
            QStringLiteral("---"),
            QStringLiteral("Quit Orvelquin"),
        };
        QCOMPARE(titles(items), expected);
        QCOMPARE(find(items, MenuAction::ToggleRuntime)->shortcut, QKeySequence(Qt::CTRL | Qt::Key_R));
        QCOMPARE(find(items, MenuAction::OpenConsole)->shortcut, QKeySequence(Qt::CTRL | Qt::Key_C));
        QCOMPARE(find(items, MenuAction::OpenDevices)->shortcut, QKeySequence(Qt::CTRL | Qt::Key_D));
        QVERIFY(find(items, MenuAction::SignOut)->shortcut.isEmpty());
    }

    void signedOutAfterConnectedShowsDisconnectedWithLastTime() {
        MenuState s = signedIn();
        s.hasDeviceToken = false;
        s.email.reset();
        s.deviceId.reset();
        QCOMPARE(composeMenu(s)[4].title, QStringLiteral("Status: Disconnected \u00B7 Last heartbeat 14:03:22"));
    }

    void deviceText_data() {
        QTest::addColumn<QString>("deviceId");
        QTest::addColumn<QString>("shown");
        QTest::newRow("12 characters whole")
            << QStringLiteral("abcdefghijkl") << QStringLiteral("Device: abcdefghijkl");
        QTest::newRow("13 characters cut")
            << QStringLiteral("abcdefghijklm") << QStringLiteral("Device: abcdefghijkl\u2026");
        // Twelve family emoji, each one grapheme of several code points, are shown whole.
        const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
        QTest::newRow("12 graphemes of many code points")
            << family.repeated(12) << QStringLiteral("Device: ") + family.repeated(12);
        QTest::newRow("13 graphemes cut between clusters")
            << family.repeated(13) << QStringLiteral("Device: ") + family.repeated(12) + QChar(0x2026);
        QTest::newRow("combining accents")
            << QStringLiteral("e\u0301").repeated(13)
            << QStringLiteral("Device: ") + QStringLiteral("e\u0301").repeated(12) + QChar(0x2026);
    }

    void deviceText() {
        QFETCH(QString, deviceId);
        QFETCH(QString, shown);
        MenuState s = signedIn();
        s.deviceId = deviceId;
        QCOMPARE(composeMenu(s)[3].title, shown);
    }

    void hostAndRuntimeTexts_data() {
        QTest::addColumn<quint64>("ramBytes");
        QTest::addColumn<bool>("running");
        QTest::addColumn<qint64>("uptime");
        QTest::addColumn<double>("cpu");
        QTest::addColumn<QString>("runtimeText");
        QTest::addColumn<QString>("hostText");
        QTest::newRow("unknown memory") << quint64(0) << false << qint64(0) << -1.0
                                        << QStringLiteral("Seller runtime: bundled \u00B7 stopped")
                                        << QStringLiteral("M \u00B7 Unknown total \u00B7 G");
        QTest::newRow("running, first rebuild without figure")
            << quint64(17179869184ULL) << true << qint64(3900) << -1.0
            << QStringLiteral("Seller runtime: bundled \u00B7 running \u00B7 up 1h 5m")
            << QStringLiteral("M \u00B7 16.0 GB total \u00B7 G");
        QTest::newRow("running with figure truncated")
            << quint64(17179869184ULL) << true << qint64(75) << 7.9
            << QStringLiteral("Seller runtime: bundled \u00B7 running \u00B7 up 1m")
            << QStringLiteral("M \u00B7 16.0 GB total \u00B7 G \u00B7 7% CPU");
        QTest::newRow("odd memory size") << quint64(8000000000ULL) << true << qint64(10800) << 99.99
                                         << QStringLiteral("Seller runtime: bundled \u00B7 running \u00B7 up 3h 0m")
                                         << QStringLiteral("M \u00B7 7.5 GB total \u00B7 G \u00B7 99% CPU");
    }

    void hostAndRuntimeTexts() {
        QFETCH(quint64, ramBytes);
        QFETCH(bool, running);
        QFETCH(qint64, uptime);
        QFETCH(double, cpu);
        QFETCH(QString, runtimeText);
        QFETCH(QString, hostText);
        MenuState s = signedIn();
        s.ramBytes = ramBytes;
        s.runtimeRunning = running;
        s.runtimeStateLabel = running ? QStringLiteral("running") : QStringLiteral("stopped");
        s.runtimeUptimeSeconds = uptime;
        if (cpu >= 0) {
            s.runtimeCpuPercent = cpu;
        }
        const QList<MenuItem> items = composeMenu(s);
        QCOMPARE(items[5].title, runtimeText);
        QCOMPARE(items[6].title, hostText);
        QCOMPARE(items[9].title,
                 running ? QStringLiteral("Stop seller runtime") : QStringLiteral("Start seller runtime"));
    }

    void pendingUpdateAndCheckMark_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("title");
        QTest::newRow("plain") << QStringLiteral("1.2.0") << QStringLiteral("Update available (v1.2.0)");
        QTest::newRow("leading v kept") << QStringLiteral("v1.2.0") << QStringLiteral("Update available (vv1.2.0)");
    }

    void pendingUpdateAndCheckMark() {
        QFETCH(QString, version);
        QFETCH(QString, title);
        for (const bool signedInLayout : {true, false}) {
            MenuState s = signedInLayout ? signedIn() : freshSignedOut();
            s.pendingUpdateVersion = version;
            s.launchAtLogin = true;
            const QList<MenuItem> items = composeMenu(s);
            const QStringList t = titles(items);
            const qsizetype check = t.indexOf(QStringLiteral("Check for updates\u2026"));
            QCOMPARE(t.value(check + 1), title);
            QCOMPARE(items[check + 1].action, MenuAction::OpenDownloadPage);
            const MenuItem* launch = find(items, MenuAction::ToggleLaunchAtLogin);
            QVERIFY(launch->checkable && launch->checked);
        }
    }

    void formatUptime_data() {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        const QList<std::pair<qint64, const char*>> rows = {{0, "0s"},       {42, "42s"},     {59, "59s"},
                                                            {60, "1m"},      {299, "4m"},     {3599, "59m"},
                                                            {3600, "1h 0m"}, {3661, "1h 1m"}, {90000, "25h 0m"}};
        for (const auto& [seconds, text] : rows) {
            QTest::newRow(text) << seconds << QString::fromLatin1(text);
        }
    }

    void formatUptime() {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(orvelquin::formatUptime(seconds), text);
    }
};

QTEST_GUILESS_MAIN(TestMenuModel)
#include "tst_menumodel.moc"
