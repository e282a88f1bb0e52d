#include "platform/TrayHost.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QRegularExpression>

#include <xcb/xcb.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace orvelquin::platform {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

// The screen part of DISPLAY (":0.1" is screen 1); the tray manager owns a selection per screen.
int displayScreen() {
    static const QRegularExpression screen(QStringLiteral("\\.(\\d+)$"));
    const QRegularExpressionMatch match = screen.match(qEnvironmentVariable("DISPLAY"));
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

xcb_connection_t* xcbConnection() {
    // The offscreen platform offers the same interface without a connection behind it.
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name) {
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&free)> atom(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr),
        &free);
    return atom ? atom->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// Asked of the X server directly: QSystemTrayIcon::isSystemTrayAvailable would settle Qt's tray
// backend for the whole process, and a panel starting later could never be reached.
bool hasXEmbedTray(xcb_connection_t* connection, xcb_atom_t selection) {
    if (!connection || selection == XCB_ATOM_NONE) {
        return false;
    }
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr), &free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

// A tray manager that takes its selection announces it to the root window with a MANAGER client
// message; listening for that is how a tray started after the agent is noticed without polling.
class XEmbedTrayWatch final : public QAbstractNativeEventFilter {
public:
    XEmbedTrayWatch(xcb_connection_t* connection, std::function<void()> appeared)
        : m_connection(connection)
        , m_appeared(std::move(appeared)) {
        m_manager = internAtom(connection, "MANAGER");
        m_selection = internAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(displayScreen()));
        const xcb_setup_t* setup = xcb_get_setup(connection);
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
        for (int i = 0; i < displayScreen() && screens.rem > 0; ++i) {
            xcb_screen_next(&screens);
        }
        if (screens.rem == 0) {
            return;
        }
        const xcb_window_t root = screens.data->root;
        // Added to the toolkit's own interest in the root window, never replacing it.
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&free)> attributes(
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, root), nullptr), &free);
        if (!attributes) {
            return;
        }
        const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    ~XEmbedTrayWatch() override {
        if (QCoreApplication::instance()) {
            QCoreApplication::instance()->removeNativeEventFilter(this);
        }
    }

    XEmbedTrayWatch(const XEmbedTrayWatch&) = delete;
    XEmbedTrayWatch& operator=(const XEmbedTrayWatch&) = delete;

    xcb_connection_t* connection() const { return m_connection; }
    xcb_atom_t selection() const { return m_selection; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t") {
            return false;
        }
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
            return false;
        }
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->type == m_manager && client->format == 32 && client->data.data32[1] == m_selection) {
            m_appeared();
        }
        return false;
    }

private:
    xcb_connection_t* m_connection;
    std::function<void()> m_appeared;
    xcb_atom_t m_manager = XCB_ATOM_NONE;
    xcb_atom_t m_selection = XCB_ATOM_NONE;
};

class LinuxTrayHost final : public TrayHost {
public:
    LinuxTrayHost()
        : m_watcher(kWatcher, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration) {
        // A watcher alone shows nothing: it counts once a host (the panel's side) has registered.
        connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] {
            if (isAvailable()) {
                Q_EMIT appeared();
            }
        });
        QDBusConnection::sessionBus().connect(kWatcher, kWatcherPath, kWatcher,
                                              QStringLiteral("StatusNotifierHostRegistered"), this, SIGNAL(appeared()));
        if (xcb_connection_t* connection = xcbConnection()) {
            m_xembed = std::make_unique<XEmbedTrayWatch>(connection, [this] { Q_EMIT appeared(); });
        }
    }

    bool isAvailable() const override {
        // One round trip: an absent watcher answers with an error, and none is started for it.
        QDBusMessage get = QDBusMessage::createMethodCall(
            kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        get << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
        get.setAutoStartService(false);
        const QDBusReply<QDBusVariant> hosted = QDBusConnection::sessionBus().call(get);
        if (hosted.isValid() && hosted.value().variant().toBool()) {
            return true;
        }
        return m_xembed && hasXEmbedTray(m_xembed->connection(), m_xembed->selection());
    }

    bool exportsMenu() const override {
        const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
        return bus && bus->isServiceRegistered(kWatcher);
    }

private:
    QDBusServiceWatcher m_watcher;
    std::unique_ptr<XEmbedTrayWatch> m_xembed;
};

} // namespace

std::unique_ptr<TrayHost> createTrayHost() {
    return std::make_unique<LinuxTrayHost>();
}

} // namespace orvelquin::platform
