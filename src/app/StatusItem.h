#pragma once

#include "app/MenuModel.h"
#include "app/StatusLook.h"
#include "app/StatusMenu.h"

#include <QObject>
#include <QSystemTrayIcon>

#include <optional>

namespace orvelquin {

namespace platform {
class AlertPresenter;
class TrayHost;
} // namespace platform

// The agent's one visible piece: the icon in the desktop's status area, its look and tooltip,
// and the menu behind it. Everything chosen in the menu leaves as `triggered`.
class StatusItem : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusItem)

public:
    StatusItem(platform::TrayHost& host, platform::AlertPresenter& alerts, QObject* parent = nullptr);
    ~StatusItem() override;

    // Puts the icon up now if the desktop shows status icons, else says once that it needs a
    // status area and puts it up as soon as one appears.
    void show();
    // Brings the menu, the look and the tooltip to the state.
    void update(const MenuState& state);

    // Null until a status area exists to show it in.
    const QSystemTrayIcon* icon() const { return m_icon; }
    const StatusMenu& menu() const { return m_menu; }

Q_SIGNALS:
    void triggered(MenuAction action);
    // A menu is about to open: a chance to bring its figures up to date.
    void aboutToShow();

private:
    void createIcon();
    void applyLook();
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    platform::TrayHost& m_host;
    platform::AlertPresenter& m_alerts;
    QSystemTrayIcon* m_icon = nullptr;
    // Qt picks the icon's backend once, when the icon is made; so does this.
    bool m_exported = false;
    bool m_shown = false;
    StatusMenu m_menu;
    // Drawn by the agent itself for a primary click where the host draws m_menu from D-Bus;
    // the two read '&' and '_' differently, so each carries its own escaping.
    StatusMenu m_popupMenu;
    // The look the state asks for, and the one the icon shows (until an icon exists, none).
    std::optional<StatusLook> m_look;
    std::optional<StatusLook> m_shownLook;
};

} // namespace orvelquin
