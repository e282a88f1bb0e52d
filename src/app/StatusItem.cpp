#include "app/StatusItem.h"

#include "core/Logging.h"
#include "platform/AlertPresenter.h"
#include "platform/TrayHost.h"
#include "platform/TrayItem.h"

#include <QCursor>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QTimer>

namespace orvelquin {

StatusItem::StatusItem(platform::TrayHost& host, platform::AlertPresenter& alerts, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_alerts(alerts)
    , m_menu(LabelSyntax::Widgets)
    , m_popupMenu(LabelSyntax::Widgets) {
    for (StatusMenu* menu : {&m_menu, &m_popupMenu}) {
        connect(menu, &StatusMenu::triggered, this, &StatusItem::triggered);
        connect(menu->menu(), &QMenu::aboutToShow, this, &StatusItem::aboutToShow);
    }
    // A panel that restarts is picked up by the existing icon itself.
    connect(&m_host, &platform::TrayHost::appeared, this, [this] {
        if (m_shown && !m_icon) {
            createIcon();
        }
    });
}

StatusItem::~StatusItem() = default;

void StatusItem::show() {
    m_shown = true;
    if (m_host.isAvailable()) {
        createIcon();
        return;
    }
    qCDebug(lcTray) << "no status area yet; waiting for one";
    // Without a status area the icon would silently be nowhere (stock GNOME, or a panel that
    // starts after us at login). Keep running, say so once, and show up when one appears.
    QTimer::singleShot(0, this, [this] {
        if (!m_icon) {
            m_alerts.run({QStringLiteral("No status area"),
                          QStringLiteral("Orvelquin Desktop lives in the desktop's status area (system tray), which "
                                         "this desktop does not show right now. On GNOME, enable the AppIndicator "
                                         "extension. The icon appears as soon as a status area is available."),
                          {}});
        }
    });
}

void StatusItem::createIcon() {
    // Qt settles on the StatusNotifierItem or the XEmbed backend for the whole process the first
    // time a tray icon is made, so the icon is made only once a status area exists: made any
    // earlier, it would never reach a panel that starts after us.
    m_exported = m_host.exportsMenu();
    qCDebug(lcTray) << "status icon over" << (m_exported ? "StatusNotifierItem" : "XEmbed");
    m_menu.setSyntax(m_exported ? LabelSyntax::DBusMenu : LabelSyntax::Widgets);
    m_icon = new QSystemTrayIcon(this);
    connect(m_icon, &QSystemTrayIcon::activated, this, &StatusItem::onActivated);
    m_icon->setContextMenu(m_menu.menu());
    applyLook();
    m_icon->show();
    if (m_exported) {
        platform::declareStatusItemMenuOnly();
    }
}

void StatusItem::update(const MenuState& state) {
    const QList<MenuItem> items = composeMenu(state);
    m_menu.apply(items);
    m_popupMenu.apply(items);
    m_look = statusLook(state);
    applyLook();
}

void StatusItem::applyLook() {
    if (!m_icon || !m_look) {
        return;
    }
    const StatusLook& look = *m_look;
    if (!m_shownLook || look.icon != m_shownLook->icon) {
        // The installed symbolic icon is published by name, so that hosts recolour it for their
        // panel. Uninstalled, only the bundled pixmaps (a mid tone that reads on light and dark
        // panels) go out: a name that a host cannot find leaves some (LXQt) with no icon at all.
        const QString name = iconName(look.icon);
        m_icon->setIcon(QIcon::fromTheme(name, QIcon(QStringLiteral(":/icons/") + name + QStringLiteral(".svg"))));
    }
    if (!m_shownLook || look.toolTip != m_shownLook->toolTip) {
        m_icon->setToolTip(look.toolTip);
    }
    m_shownLook = look;
}

void StatusItem::onActivated(QSystemTrayIcon::ActivationReason reason) {
    // A primary click opens the menu, as on the home platform. StatusNotifier hosts open it
    // themselves, since the item declares itself menu-only; XEmbed trays, and hosts that send
    // Activate all the same, come here, and the menu pops up at the pointer, which X11 reports
    // wherever it is. A Wayland client can neither read the pointer outside its own surfaces nor
    // place a popup without a parent surface, so there nothing half-placed is shown.
    if (reason != QSystemTrayIcon::Trigger || QGuiApplication::platformName() != QLatin1String("xcb")) {
        return;
    }
    StatusMenu& menu = m_exported ? m_popupMenu : m_menu;
    menu.menu()->popup(QCursor::pos());
}

} // namespace orvelquin
