// The controller: its parts without a network (the heartbeat loop with a scripted sender and its
// failure rules, the runtime report it carries, the desktop notices its outcomes lead to; the
// status menu for each state, the one live QMenu that follows it, the icon), then, wired, against
// a scripted loopback service, what only the wiring decides.
#include "../service/ScriptedHttpServer.h"
#include "ScriptedServices.h"
#include "app/RuntimeTelemetry.h"
#include "core/AppInfo.h"
#include "core/Settings.h"
#include "service/ServiceErrors.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QIcon>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <cmath>

using namespace orvelquin;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Wake = HeartbeatLoop::Wake;
using enum ConnectionState;
// Snapshots name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Heartbeats fail with `failure` unless it is empty; the normal interval is long enough that any
// early beat is plainly early.
struct ScriptedLoop {
    std::optional<QString> token = u"dt"_s;
    QString failure;
    int sent = 0;
    HeartbeatLoop loop{{.normal = 20.0, .maximum = 300.0, .early = 0.01},
                       [this] { return token; },
                       [this](QString) -> QCoro::Task<> {
                           ++sent;
                           if (!failure.isEmpty()) {
                               throw TransportError(failure);
                           }
                           co_return;
                       }};

    void beat(const QString& outcome = {}) { failure = outcome, loop.beatNow(); }
    // Whether the wake brought the next beat forward to now.
    bool early(Wake wake) { return loop.beatEarly(wake), loop.nextBeatIn() <= 10ms; }
};

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

class TestAppDelegate : public QObject {
    Q_OBJECT

    QTemporaryDir m_lockDir;
    std::unique_ptr<ScriptedHttpServer> m_server;
    scripted::Parts m_parts;
    QList<QUrl> m_links;
    static constexpr int kMenu = -1, kLook = -2;
    // Panels keep the ids of the first exported menu: every row's state is brought into this one.
    StatusMenu m_menu{LabelSyntax::DBusMenu};
    const QMenu* const m_live = m_menu.menu();
    QHash<int, QAction*> m_actions; // of the previous row, by item

    // Heartbeats a thousandth of the product's 30 s apart.
    std::unique_ptr<AppDelegate> make(bool tokens = false, const QString& url = {}) {
        const QString service = url.isEmpty() ? m_server->url().toString() : url;
        return std::make_unique<AppDelegate>(scripted::services(service, m_lockDir.path(), m_parts, tokens, 0.03));
    }
    std::unique_ptr<AppDelegate> launch(bool tokens = false) {
        auto delegate = make(tokens);
        delegate->applicationDidFinishLaunching();
        m_parts.store->calls.clear();
        return delegate;
    }
    QList<ScriptedHttpServer::Request> requestsTo(const QByteArray& target) const {
        QList<ScriptedHttpServer::Request> out = m_server->requests();
        out.removeIf([&](const ScriptedHttpServer::Request& r) { return r.target != target; });
        return out;
    }
    // An empty version: the release check fails.
    void releaseIs(const QString& version) {
        m_server->answerAlways("/api/desktop/releases/latest",
                               {version.isEmpty() ? 503 : 200, "{\"latest_version\":\"" + version.toUtf8() + "\"}"});
    }

public:
    // Stands in for the browser.
    Q_INVOKABLE void open(const QUrl& url) { m_links << url; }

private Q_SLOTS:
    void initTestCase() {
        QDesktopServices::setUrlHandler(u"http"_s, this, "open");
        QDesktopServices::setUrlHandler(u"https"_s, this, "open");
    }
    void init() {
        m_server = std::make_unique<ScriptedHttpServer>();
        releaseIs(u"0.0.1"_s);
        m_links.clear();
        userSettings().clear();
    }

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
            [](MenuState& s) { s = signedIn(Connected, u"crashed"_s); });
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
    // Each failure sets its state, doubles the interval up to the maximum and forgets the last
    // time; a success resets both. A revoked device shows only in the detail text.
    void outcomes() {
        ScriptedLoop s;
        const std::tuple<const char*, const char*, double> steps[] = {
            {"HTTP 503", "Server unavailable", 40},
            {"Connection refused", "Reconnecting", 80},
            {"HTTP 5: Invalid device session", "Device revoked", 160},
            {"HTTP 404", "Reconnecting", 300},
            {"", "Connected", 20}};
        for (const auto& [failure, state, interval] : steps) {
            s.beat(QString::fromLatin1(failure));
            QCOMPARE(displayWord(s.loop.state()), QLatin1String(state));
            QCOMPARE(s.loop.interval(), interval);
            QCOMPARE(s.loop.lastHeartbeat() == u"\u2014", *failure != 0);
        }
        QVERIFY(QTime::fromString(s.loop.lastHeartbeat(), u"HH:mm:ss"_s).isValid());
    }

    // Back online at once: the network's return counts only for a failing loop, a resume for a
    // loop whose next beat is far off; one early beat per normal interval, none while signed out.
    void earlyBeats() {
        ScriptedLoop s;
        s.beat();
        QVERIFY2(!s.early(Wake::NetworkBack), "a connected loop has nothing to catch up");
        s.beat(u"Connection refused"_s);
        QVERIFY(s.early(Wake::NetworkBack));
        s.failure.clear();
        QTRY_COMPARE_WITH_TIMEOUT(s.sent, 3, 5000);
        QCOMPARE(s.loop.state(), Connected);
        s.beat(u"Connection refused"_s); // a flapping network within the same normal interval
        QVERIFY(!s.early(Wake::NetworkBack) && !s.early(Wake::Resumed));

        ScriptedLoop resumed;
        resumed.beat();
        QVERIFY(resumed.early(Wake::Resumed));

        ScriptedLoop signedOut;
        signedOut.beat(u"Connection refused"_s);
        signedOut.token.reset();
        QVERIFY(!signedOut.early(Wake::NetworkBack));
        signedOut.loop.stop();
        signedOut.token = u"dt"_s;
        signedOut.loop.beatEarly(Wake::Resumed);
        QVERIFY2(!signedOut.loop.isArmed(), "a stopped loop is not restarted by a wake");
    }

    // Absent values are left out, times are sent in UTC without their milliseconds, the processor
    // figure to a tenth, halves away from zero; uptime and processor only while running.
    void runtimeReport() {
        RuntimeSnapshot running{.installed = true, .state = u"running"_s, .running = true, .uptimeSeconds = 75};
        running.cpuUsagePercent = 7.25, running.pid = 4242, running.lastTransition = u"started"_s;
        running.startedAt = QDateTime(QDate(2026, 12, 31), QTime(23, 30, 0, 890), QTimeZone(3600));
        const std::pair<RuntimeSnapshot, const char*> rows[] = {
            {{.state = u"stopped"_s, .activeRamBytes = 6442450944ULL},
             R"("installed":false,"ram_usage_bytes":6442450944,"state":"stopped"})"},
            {running,
             R"("cpu_usage_pct":7.3,"health":"available","installed":true,"last_transition":"started","pid":4242,)"
             R"("ram_usage_bytes":0,"started_at":"2026-12-31T22:30:00Z","state":"running","uptime_seconds":75})"},
            {{.installed = true, .state = u"crashed"_s, .uptimeSeconds = 9, .lastError = u"gone"_s},
             R"("health":"unavailable","installed":true,"last_error":"gone","ram_usage_bytes":0,"state":"crashed"})"}};
        const QByteArray constant = R"({"marketplace_enabled":false,"provider_mode":"fake","seller_enabled":false,)";
        for (const auto& [snapshot, report] : rows) {
            QJsonObject expected = QJsonDocument::fromJson(constant + report).object();
            expected[u"version"_s] = AppInfo::version();
            QCOMPARE(telemetryReport(snapshot), expected);
        }
    }

    // One notification per transition, never one per heartbeat; a short outage is not worth one.
    void noticesTellEachTransitionOnce() {
        scripted::Notifier notifier;
        DesktopNotices notices(notifier, 10min);
        const QList<std::pair<ConnectionState, int>> outcomes{
            {Connected, 0},     {ServerUnavailable, 1}, {ServerUnavailable, 26}, {Connected, 31},    {Connected, 32},
            {Reconnecting, 33}, {Connected, 34},        {DeviceRevoked, 40},     {DeviceRevoked, 41}};
        for (const auto& [state, minute] : outcomes) {
            notices.heartbeatOutcome(state, DesktopNotices::Clock::time_point{} + std::chrono::minutes(minute));
        }
        using enum SellerRuntimeController::RuntimeState;
        for (const auto state : {Running, Crashed, Crashed, Stopped, Crashed}) {
            notices.runtimeState(state, u"Runtime exited unexpectedly"_s);
        }
        notices.updateFound(u"1.2.0"_s);
        DesktopNotices(notifier).updateFound(u"1.2.0"_s); // as after a restart
        QCOMPARE(notifier.summaries,
                 (QStringList{u"Orvelquin service unreachable"_s, u"Back online"_s, u"Device revoked"_s,
                              u"Seller runtime stopped"_s, u"Seller runtime stopped"_s, u"Update available"_s}));
    }

    // An unlock prompt nobody answers yet: icon and menu at once, no sign-in that would race the
    // reads, one read at a time; a read that then fails is not written back. The environment's
    // proxy carries every request (the scripted server refuses every tunnel).
    void keychainPendingThenAFailedRead() {
        const QByteArray was = qgetenv("https_proxy");
        qputenv("https_proxy", m_server->url().toEncoded());
        const auto undo = qScopeGuard([&] { was.isNull() ? qunsetenv("https_proxy") : qputenv("https_proxy", was); });
        auto delegate = make(false, u"https://service.orvelquin.invalid"_s);
        scripted::SecretStore& store = *m_parts.store;
        store.items = {{u"accessToken"_s, "at"}, {u"email"_s, "kept"}, {u"deviceToken"_s, "dt"}};
        store.failingReads = {u"email"_s};
        store.holdCalls = true;
        delegate->applicationDidFinishLaunching();
        QVERIFY(delegate->isKeychainPending() && delegate->menuState().keychainPending);
        QVERIFY(delegate->statusItem().icon()->isVisible());
        QCOMPARE(store.held.size(), 1u);
        QVERIFY(!delegate->isHeartbeatArmed());

        store.release();
        QVERIFY(!delegate->isKeychainPending());
        QCOMPARE(store.calls,
                 (QStringList{u"get:accessToken"_s, u"set:accessToken=at"_s, u"get:email"_s, u"get:deviceId"_s,
                              u"set:deviceId="_s, u"get:deviceToken"_s, u"set:deviceToken=dt"_s}));
        QCOMPARE(store.items.value(u"email"_s), QByteArray("kept"));
        QVERIFY(delegate->menuState().hasDeviceToken && delegate->isHeartbeatArmed());
        QTRY_VERIFY_WITH_TIMEOUT(m_server->requests().size() >= 2, 5000); // the release check and a heartbeat
        for (const auto& request : m_server->requests()) {
            QCOMPARE(request.method + ' ' + request.target, QByteArray("CONNECT service.orvelquin.invalid:443"));
        }
    }

    // Stored in order and told once, however many writes fail; the session goes on for this run.
    void signIn_data() {
        QTest::addColumn<int>("registration");
        QTest::addColumn<QStringList>("refusedWrites");
        QTest::addColumn<QString>("alert");
        QTest::newRow("stored in order, beats at once") << 200 << QStringList() << QString();
        QTest::newRow("keyring refuses two writes")
            << 200 << QStringList{u"email"_s, u"deviceToken"_s}
            << u"Credentials not saved: The keyring could not store your sign-in details. You stay signed in until "
               u"Orvelquin Desktop quits; the sign-in will not survive a restart. (no keyring)"_s;
        QTest::newRow("registration fails") << 500 << QStringList() << u"Sign-in failed: HTTP 500"_s;
    }
    void signIn() {
        QFETCH(int, registration);
        QFETCH(QStringList, refusedWrites);
        QFETCH(QString, alert);
        auto delegate = launch();
        m_parts.store->failingWrites = QSet<QString>(refusedWrites.begin(), refusedWrites.end());
        m_parts.alerts->entry = platform::SignInEntry{u" \tana@example.test "_s, u" pw "_s};
        m_server->enqueueJson(200, R"({"access_token":"at","refresh_token":"rt"})");
        m_server->enqueueJson(registration, R"({"device_id":"d-1","approved":true})");
        m_server->enqueueJson(200, R"({"device_token":"dt"})");
        m_server->enqueueJson(200, R"({"ok":true})");
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate->promptSignIn();
        QVERIFY(done.wait(5000));
        const QStringList stored{u"set:accessToken=at"_s, u"set:email=ana@example.test"_s, u"set:deviceId=d-1"_s,
                                 u"set:deviceToken=dt"_s};
        QCOMPARE(m_parts.store->calls, registration == 200 ? stored : stored.mid(0, 2));
        QCOMPARE(m_parts.alerts->said, alert.isEmpty() ? QStringList() : QStringList{alert});
        QCOMPARE(delegate->connectionState(), registration == 200 ? Connected : Disconnected);
        QCOMPARE(QJsonDocument::fromJson(requestsTo("/auth/login").value(0).body)[u"password"_s], u" pw "_s);
        m_parts.alerts->entry.reset();
        delegate->promptSignIn();
        QCOMPARE(m_parts.alerts->offeredEmail, u"ana@example.test"_s);
    }

    // A second sign-in would register a second device; a controller destroyed with the request in
    // flight must end the coroutine (LeakSanitizer sees a frame left suspended).
    void oneSignInAtATimeAndTeardownMidRequest() {
        auto delegate = launch();
        m_parts.alerts->entry = platform::SignInEntry{u"ana@example.test"_s, u"pw"_s};
        m_server->enqueue({200, R"({"access_token":"at","refresh_token":"rt"})", {}, 60000, false});
        delegate->promptSignIn();
        delegate->promptSignIn();
        QVERIFY(delegate->isSigningIn() && delegate->menuState().signingIn);
        QTRY_VERIFY_WITH_TIMEOUT(!requestsTo("/auth/login").isEmpty(), 5000);
        QCOMPARE(requestsTo("/auth/login").size(), 1);
        QSignalSpy done(delegate.get(), &AppDelegate::signInFinished);
        delegate.reset();
        QCOMPARE(done.size(), 0);
    }

    // The heartbeat as sent and its outcome shown (the rules are the loop's), and the menu's other
    // operations; the answer to a heartbeat of a session that has ended changes nothing and arms
    // nothing.
    void heartbeatOutcomeForItsOwnSessionOnly() {
        m_server->enqueueJson(503, {});
        m_server->enqueue({503, {}, {}, 300});
        auto delegate = launch(true);
        QSignalSpy finished(delegate.get(), &AppDelegate::heartbeatFinished);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->connectionState(), ServerUnavailable);
        const ScriptedHttpServer::Request beat = requestsTo("/v1/devices/heartbeat").value(0);
        QCOMPARE(QJsonDocument::fromJson(beat.body)[u"status"_s], u"online"_s);
        QCOMPARE(QJsonDocument::fromJson(beat.body)[u"runtime"_s][u"provider_mode"_s], u"fake"_s);
        QCOMPARE(beat.headers.value("authorization"), QByteArray("Bearer dt"));
        delegate->openConsole();
        delegate->openDevices();
        QCOMPARE(m_links, (QList<QUrl>{m_server->url().resolved(QUrl(u"/console"_s)),
                                       m_server->url().resolved(QUrl(u"/console/devices"_s))}));
        delegate->toggleRuntime();
        QCOMPARE(m_parts.alerts->said, QStringList{u"Seller runtime unavailable: Configure the seller runtime path "
                                                   u"(scripts/seller_runtime) in the app preferences."_s});
        QTRY_VERIFY_WITH_TIMEOUT(requestsTo("/v1/devices/heartbeat").size() == 2, 5000);
        delegate->signOut();
        QCOMPARE(m_parts.store->calls,
                 (QStringList{u"set:accessToken="_s, u"set:email="_s, u"set:deviceId="_s, u"set:deviceToken="_s}));
        QVERIFY(!delegate->accessToken() && !delegate->deviceToken() && !delegate->menuState().hasDeviceToken);
        QVERIFY(finished.wait(5000));
        QCOMPARE(delegate->heartbeatInterval(), 0.06);
        QVERIFY(!delegate->isHeartbeatArmed());
    }

    // The launch check is silent and only notes a newer version for the menu; a check by hand
    // always answers, and its finding never replaces the launch's. Launch at login on, off, then
    // a file where the folder belongs: the change fails, is said, and the setting stays.
    void updateAndLaunchAtLoginItems() {
        const QString current = AppInfo::version(), newer = current + u".1"_s;
        const QString available = u"Update available: Version v%1 is available. Download the latest developer "
                                  u"preview from the Orvelquin download page."_s.arg(newer);
        releaseIs(newer);
        auto delegate = launch();
        QSignalSpy checked(delegate.get(), &AppDelegate::updateCheckFinished);
        QVERIFY(checked.wait(5000));
        QVERIFY(m_parts.alerts->said.isEmpty());
        const std::tuple<QString, int, QString, qsizetype> checks[] = {
            {{}, 0, u"Unable to check: The update service is unreachable. Check your connection and try again."_s, 0},
            {current, 0, u"Up to date: Orvelquin Desktop %1 is the latest version."_s.arg(current), 0},
            {u"v"_s + newer, 1, available, 2},  // later
            {u"v"_s + newer, 0, available, 2}}; // download
        for (const auto& [release, answer, alert, buttons] : checks) {
            releaseIs(release);
            m_parts.alerts->answer = answer;
            delegate->checkForUpdates();
            QVERIFY(checked.wait(5000));
            QCOMPARE(std::exchange(m_parts.alerts->said, {}), QStringList{alert});
            QCOMPARE(m_parts.alerts->buttons, buttons);
            QCOMPARE(delegate->menuState().pendingUpdateVersion, newer);
        }
        QCOMPARE(m_links, QList<QUrl>{m_server->url().resolved(QUrl(u"/download"_s))});

        const QString folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/autostart"_s;
        const auto unblock = qScopeGuard([&] { QFile::remove(folder); });
        for (const bool on : {true, false, false}) {
            if (!on && !QFile::exists(folder + u"/orvelquin-desktop.desktop"_s)) { // the second off
                QVERIFY(QDir(folder).removeRecursively() && QFile(folder).open(QIODevice::WriteOnly));
            }
            delegate->toggleLaunchAtLogin();
            QCOMPARE(QFile::exists(folder + u"/orvelquin-desktop.desktop"_s), on);
            QCOMPARE(userSettings().value(u"launchAtLogin"_s).toBool(), on);
            QCOMPARE(delegate->menuState().launchAtLogin, on);
        }
        QVERIFY(m_parts.alerts->said.size() == 1 &&
                m_parts.alerts->said[0].startsWith(u"Launch at login unavailable"_s));
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
