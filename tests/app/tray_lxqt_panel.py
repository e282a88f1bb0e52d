#!/usr/bin/python3
"""End to end with a real panel: LXQt's panel is the StatusNotifierHost. After the agent rebuilds
its menu (a runtime start), the panel's own view of the menu must show the new state, and the
"Quit Orvelquin" entry of the menu the panel draws, clicked with the pointer, must end the agent.
A picture of that menu is left as panel-menu-after-rebuild.png in the working directory.

usage: tray_lxqt_panel.py AGENT_BINARY SERVICE_URL"""

import os
import re
import shutil
import sys

from traypanel import LxqtPanel, PanelView, click, open_panel_menu, screenshot, window_geometry
from traysession import (Agent, DevService, Failed, GLib, Gio, bus, clear_credentials, item_property, report,
                         store_credentials, wait_until)

RUNNING = re.compile(r"Seller runtime: custom path \u00b7 running \u00b7 up .+")


def panel_shows(view, wanted, timeout):
    if not wait_until(lambda: all(any(w(label) for label in view.labels()) for w in wanted), timeout):
        raise Failed("the panel's view of the menu after %d s: %r" % (timeout, view.labels()))


def send_click(item_service, menu_path, item_id):
    """What the panel sends when an entry is clicked in its menu."""
    bus().call_sync(item_service, menu_path, "com.canonical.dbusmenu", "Event",
                    GLib.Variant("(isvu)", (item_id, "clicked", GLib.Variant("i", 0), 0)), None,
                    Gio.DBusCallFlags.NONE, 5000, None)


def main():
    binary, service_url = sys.argv[1], sys.argv[2]
    if not re.match(r"http://127\.0\.0\.1(:\d+)?$", service_url):
        print("SKIP: the agent was built for %s, not the loopback development service" % service_url)
        return 77
    if not shutil.which("lxqt-panel"):
        print("SKIP: lxqt-panel is not installed (scripts/screenshots installs it)")
        return 77
    results = []
    service = DevService(service_url, "--latest-version", "0.0.1")
    panel = agent = view = None
    try:
        clear_credentials()
        store_credentials(dict(service.sign_in_device(), email="demo@orvelquin.test"))
        panel = LxqtPanel()
        view = PanelView(panel.unique_name)
        agent = Agent(binary)

        def first_layout():
            panel_shows(view, [lambda label: label == "Start seller runtime"], 15)

        def rebuild_reaches_panel():
            entry = next(i for i, label in view.entries() if label == "Start seller runtime")
            item = registered_item()
            send_click(item[0], item_property(item, "Menu"), entry)
            panel_shows(view, [lambda label: label == "Stop seller runtime", RUNNING.fullmatch], 10)

        def quit_from_panel_menu():
            menu = open_panel_menu(panel)
            if shutil.which("import"):  # ImageMagick, when there: a picture for the reader only
                screenshot(os.path.join(os.getcwd(), "panel-menu-after-rebuild.png"), menu)
            x, y, width, height = window_geometry(menu)
            click(x + width // 3, y + height - 12, 1)  # the last entry: "Quit Orvelquin"
            if not agent.wait_exit(10):
                raise Failed("the agent still runs 10 s after Quit Orvelquin was clicked in the panel's menu")

        for name, step in (("the panel reads the first menu", first_layout),
                           ("a rebuild reaches the panel's view", rebuild_reaches_panel),
                           ("Quit Orvelquin clicked in the panel's own menu ends the agent", quit_from_panel_menu)):
            try:
                step()
                results.append((name, None))
            except (Failed, GLib.Error, StopIteration) as error:
                results.append((name, repr(error)))
        print("the panel asked for the layout %d times" % view.layout_requests())
    finally:
        if agent:
            agent.stop()
        if view:
            view.close()
        if panel:
            panel.stop()
        clear_credentials()
        service.stop()
    return report(results)


def registered_item():
    """The agent's item as the panel's watcher lists it: (bus name, object path)."""
    reply = bus().call_sync("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                            "org.freedesktop.DBus.Properties", "Get",
                            GLib.Variant("(ss)", ("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems")),
                            GLib.VariantType("(v)"), Gio.DBusCallFlags.NONE, 5000, None)
    items = reply.unpack()[0]
    if not items:
        raise Failed("the panel lists no registered item")
    service, slash, path = items[-1].partition("/")
    return service, slash + path if slash else "/StatusNotifierItem"


if __name__ == "__main__":
    sys.exit(main())
