"""LXQt's panel with only its status notifier plugin, and its own view of the agent's menu."""

import os, re, shutil, subprocess, tempfile  # noqa: E401

from traysession import DBUS, WATCHER, Failed, GLib, Gio, Part, call, new_window, popups, shown_label, stop, wait_until, \
    window_geometry, xdo, xwininfo

PANEL_CONF = ("[General]\n__userfile__=true\n[panel1]\nplugins=statusnotifier\nposition=Bottom\nalignment=-1\n"
              "panelSize=32\niconSize=22\ndesktop=0\nbackground-color={}\nfont-color={}\n"
              "[statusnotifier]\ntype=statusnotifier\nalignment=Left\n")


def name_owner(name):
    try:
        return call(*DBUS, "GetNameOwner", GLib.Variant("(s)", (name,)), "(s)")[0]
    except GLib.Error:
        return None


class LxqtPanel(Part):
    def __init__(self, background="#202020", font="#f0f0f0"):
        self.dir = tempfile.mkdtemp(prefix="orvelquin-panel-")
        conf = os.path.join(self.dir, "panel.conf")
        with open(conf, "w") as out:
            out.write(PANEL_CONF.format(background, font))
        self.proc = subprocess.Popen(["lxqt-panel", "--configfile", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        if not wait_until(lambda: name_owner(WATCHER) or self.proc.poll() is not None, 20) or self.proc.poll() is not None:
            raise Failed("lxqt-panel did not become the StatusNotifierWatcher (%r)" % self.proc.poll())
        self.unique_name = name_owner(WATCHER)

    def geometry(self):
        return window_geometry(re.search(r'^\s+(0x[0-9a-f]+) "LXQt Panel"', xwininfo("-root", "-children"),
                                         re.M).group(1))

    def open_menu(self, button=3):
        """Clicks the icon (the only plugin, at the left, square buttons) and gives the menu's window."""
        x, y, _, height = self.geometry()
        return new_window(popups, lambda: xdo("mousemove", str(x + height // 2), str(y + height // 2), "click",
                                              str(button)), "clicking the icon on the panel", 5)

    def stop(self):
        stop(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


def screenshot(path, window="root"):
    subprocess.run(["import", "-window", window, path], check=True, timeout=30)


class PanelView(Part):
    """The panel's last GetLayout reply for the root, with the updates sent to it since, seen by a monitor."""

    def __init__(self, panel_name):
        self.panel, self.messages = panel_name, []
        self.monitor = Gio.DBusConnection.new_for_address_sync(
            Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None),
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.monitor.add_filter(self._seen)
        self.monitor.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
                               "BecomeMonitor", GLib.Variant("(asu)", ([], 0)), None, Gio.DBusCallFlags.NONE, 5000, None)

    def _seen(self, connection, message, incoming):
        # Runs on GDBus's worker thread: keep only plain values. A monitor must never answer: calls
        # are dropped before GDBus replies to them.
        kind, body = message.get_message_type(), message.get_body()
        if incoming:
            self.messages.append((kind, message.get_sender(), message.get_destination(), message.get_member(),
                                  message.get_serial(), message.get_reply_serial(), body.unpack() if body else None))
        return None if incoming and kind == Gio.DBusMessageType.METHOD_CALL else message

    def labels(self, with_ids=False):
        root_calls, items = set(), None
        for kind, sender, dest, member, serial, reply_serial, body in list(self.messages):
            if kind == Gio.DBusMessageType.METHOD_CALL and sender == self.panel and member == "GetLayout":
                if body and body[0] == 0:
                    root_calls.add(serial)
            elif kind == Gio.DBusMessageType.METHOD_RETURN and dest == self.panel and reply_serial in root_calls:
                items = {child[0]: dict(child[1]) for child in body[1][2]}
            elif kind == Gio.DBusMessageType.SIGNAL and member == "ItemsPropertiesUpdated" and items is not None \
                    and dest in (None, self.panel):
                for item_id, props in body[0]:
                    items.get(item_id, {}).update(props)
                for item_id, keys in body[1]:
                    for key in keys:
                        items.get(item_id, {}).pop(key, None)
        shown = [(i, "---" if p.get("type") == "separator" else shown_label(p.get("label", "")))
                 for i, p in (items or {}).items() if p.get("visible", True)]
        return shown if with_ids else [label for _, label in shown]

    def stop(self):
        self.monitor.close_sync(None)
