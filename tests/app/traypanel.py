"""A real panel for the tray tests and the screenshots: LXQt's panel with only its status notifier
plugin, on the session's Xvfb display, and what it learns about the agent's menu, read off the
bus with a monitor connection (its own GetLayout replies and the property updates it receives)."""

import os
import re
import subprocess
import tempfile

from traysession import Failed, GLib, Gio, bus, wait_until

PANEL_CONF = """[General]
__userfile__=true

[panel1]
plugins=statusnotifier
position=Bottom
alignment=-1
panelSize=32
iconSize=22
desktop=0
background-color={background}
font-color={font}

[statusnotifier]
type=statusnotifier
alignment=Left
"""


def name_owner(name):
    try:
        reply = bus().call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "GetNameOwner", GLib.Variant("(s)", (name,)), GLib.VariantType("(s)"),
                                Gio.DBusCallFlags.NONE, 2000, None)
        return reply.unpack()[0]
    except GLib.Error:
        return None


class LxqtPanel:
    def __init__(self, background="#202020", font="#f0f0f0"):
        self.dir = tempfile.mkdtemp(prefix="orvelquin-panel-")
        conf = os.path.join(self.dir, "panel.conf")
        with open(conf, "w") as out:
            out.write(PANEL_CONF.format(background=background, font=font))
        self.log = open(os.path.join(self.dir, "panel.log"), "w")
        self.proc = subprocess.Popen(["lxqt-panel", "--configfile", conf], stdout=self.log, stderr=self.log)
        if not wait_until(lambda: name_owner("org.kde.StatusNotifierWatcher") or self.proc.poll() is not None, 20):
            raise Failed("lxqt-panel did not become the StatusNotifierWatcher")
        if self.proc.poll() is not None:
            raise Failed("lxqt-panel exited with %d" % self.proc.returncode)
        self.unique_name = name_owner("org.kde.StatusNotifierWatcher")

    def geometry(self):
        """x, y, width, height of the panel's window."""
        return window_geometry(find_window(r'"LXQt Panel"'))

    def icon_centre(self):
        # The status notifier plugin is the only one and sits at the left; its buttons are square.
        x, y, _, height = self.geometry()
        return x + height // 2, y + height // 2

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()
        subprocess.run(["rm", "-rf", self.dir], check=False)


def top_windows():
    return subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout


def find_window(pattern):
    match = re.search(r"^\s+(0x[0-9a-f]+) " + pattern, top_windows(), re.M)
    return match.group(1) if match else None


def window_geometry(window):
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    field = {key: int(value) for key, value in re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", info)}
    return field["Absolute upper-left X"], field["Absolute upper-left Y"], field["Width"], field["Height"]


def popup_windows():
    """Viewable override-redirect windows: open menus."""
    found = set()
    for window in re.findall(r"^\s+(0x[0-9a-f]+)", top_windows(), re.M):
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
        if "IsViewable" in info and "Override Redirect State: yes" in info:
            found.add(window)
    return found


def click(x, y, button):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", str(button)], check=True, timeout=10)


def open_panel_menu(panel, button=3):
    """Clicks the icon on the panel and gives the menu window that opened."""
    before = popup_windows()
    click(*panel.icon_centre(), button)
    opened = wait_until(lambda: popup_windows() - before, 5)
    if not opened:
        raise Failed("clicking the icon on the panel opened no menu")
    return sorted(opened)[0]


def screenshot(path, window="root"):
    subprocess.run(["import", "-window", window, path], check=True, timeout=30)


class PanelView:
    """The panel's own picture of the agent's top-level menu: the last GetLayout reply the panel
    received for the root, with the property updates sent to it since."""

    def __init__(self, panel_name):
        self.panel = panel_name
        self.messages = []
        address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
        self.monitor = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
            None, None)
        self.monitor.add_filter(self._seen)
        self.monitor.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
                               "BecomeMonitor", GLib.Variant("(asu)", ([], 0)), None, Gio.DBusCallFlags.NONE, 5000,
                               None)

    def _seen(self, connection, message, incoming):
        # Runs on GDBus's worker thread: keep only plain values.
        kind = message.get_message_type()
        if not incoming:
            return message
        body = message.get_body()
        self.messages.append((kind, message.get_sender(), message.get_destination(), message.get_member(),
                              message.get_serial(), message.get_reply_serial(), body.unpack() if body else None))
        # A monitor must never answer: drop calls before GDBus replies to them; keep the rest, which
        # includes the reply to BecomeMonitor itself.
        return None if incoming and kind == Gio.DBusMessageType.METHOD_CALL else message

    def layout_requests(self):
        return sum(1 for kind, sender, _, member, *_ in list(self.messages)
                   if kind == Gio.DBusMessageType.METHOD_CALL and sender == self.panel and member == "GetLayout")

    def entries(self):
        """(id, label) of the visible top-level entries as the panel last learnt them; separators
        as "---"; labels as drawn ("_x" is a mnemonic, "__" an underscore)."""
        from traysession import shown_label

        root_calls = set()
        items = None
        for kind, sender, dest, member, serial, reply_serial, body in list(self.messages):
            if kind == Gio.DBusMessageType.METHOD_CALL and sender == self.panel and member == "GetLayout":
                if body and body[0] == 0:
                    root_calls.add(serial)
            elif kind == Gio.DBusMessageType.METHOD_RETURN and dest == self.panel and reply_serial in root_calls:
                _, (_, _, children) = body
                items = [[child[0], dict(child[1])] for child in children]
            elif (kind == Gio.DBusMessageType.SIGNAL and member == "ItemsPropertiesUpdated" and items is not None
                  and dest in (None, self.panel)):
                updated, removed = body
                for item_id, props in updated:
                    for entry in items:
                        if entry[0] == item_id:
                            entry[1].update(props)
                for item_id, keys in removed:
                    for entry in items:
                        if entry[0] == item_id:
                            for key in keys:
                                entry[1].pop(key, None)
        out = []
        for item_id, props in items or []:
            if not props.get("visible", True):
                continue
            label = "---" if props.get("type") == "separator" else shown_label(props.get("label", ""))
            out.append((item_id, label))
        return out

    def labels(self):
        return [label for _, label in self.entries()]

    def close(self):
        self.monitor.close_sync(None)
