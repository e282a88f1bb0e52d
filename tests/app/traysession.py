"""What the tray tests share; runs under /usr/bin/python3 inside scripts/test-session."""
import contextlib, os, re, shutil, subprocess, tempfile, time  # noqa: E401
import gi

gi.require_version("Dbusmenu", "0.4")
from gi.repository import Dbusmenu, Gio, GLib  # noqa: E402

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO_EMAIL, DEMO_PASSWORD = "demo@orvelquin.test", "demo"
KEYCHAIN = ["service", "com.orvelquin.desktop", "account"]
SNI, WATCHER = "org.kde.StatusNotifierItem", "org.kde.StatusNotifierWatcher"
MT, DBUS = Gio.DBusMessageType, ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


class Failed(Exception):
    pass


def expect(value, *why):
    if not value:
        raise Failed(" ".join(map(str, why)))
    return value


class Part:  # started by its constructor, ended by stop(), also at the end of a with block
    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        stop(self.proc)


def wait_until(predicate, timeout):
    deadline, tick = time.monotonic() + timeout, GLib.timeout_add(100, lambda: True)  # wakes it for outside events
    try:
        while not (value := predicate()) and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(True)
        return value
    finally:
        GLib.source_remove(tick)


def step(name, action):  # a failed check ends the scenario, as later checks build on it
    try:
        value = action()
    except Exception as error:  # noqa: BLE001
        raise Failed("%s: %r" % (name, error)) from error
    print("PASS  " + name)
    return value


def bus():
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(service, path, interface, method, args=None, reply_type=None):
    reply = bus().call_sync(service, path, interface, method, args, reply_type and GLib.VariantType(reply_type),
                            Gio.DBusCallFlags.NONE, 5000, None)
    return reply.unpack() if reply else None


def item_property(item, name, interface=SNI):
    return call(*item, "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (interface, name)), "(v)")[0]


def registered_item():
    service, slash, path = item_property((WATCHER, "/StatusNotifierWatcher"), "RegisteredStatusNotifierItems",
                                         WATCHER)[-1].partition("/")
    return service, slash + path if slash else "/StatusNotifierItem"


def stop(proc):
    proc.terminate()  # nothing once it has been reaped
    with contextlib.suppress(subprocess.TimeoutExpired):
        return proc.wait(5)
    proc.kill()
    proc.wait()


class DevService(Part):
    def __init__(self, base_url, *extra):
        self.base_url = base_url.rstrip("/")
        self.proc = subprocess.Popen([SOURCE_DIR + "/scripts/dev-service", "--port", self.base_url.rsplit(":", 1)[1],
                                      *extra], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if not self.proc.stdout.readline().startswith("Orvelquin development service on " + self.base_url):  # listening
            stop(self.proc)
            raise Failed("the development service did not start on %s: is the port taken?" % self.base_url)


def clear_credentials():
    subprocess.run(["secret-tool", "clear", *KEYCHAIN[:2]], check=False)


def stored_credential(key):
    return subprocess.run(["secret-tool", "lookup", *KEYCHAIN, key], capture_output=True).stdout.decode()


class Agent(Part):  # the real binary with folders of its own; the source tree's seller runtime unless bundled_runtime
    def __init__(self, binary, extra_env=None, bundled_runtime=False):
        self.scratch = tempfile.mkdtemp(prefix="orvelquin-tray-")
        self.runtime_dir, config, share = (os.path.join(self.scratch, d) for d in ("runtime", "config", "share"))
        os.makedirs(self.runtime_dir, mode=0o700)
        os.makedirs(config + "/Orvelquin")
        with open(config + "/Orvelquin/orvelquin-desktop.conf", "w") as conf:
            conf.write("" if bundled_runtime else "[General]\nsellerRuntimePath=%s/scripts/seller_runtime/"
                       "orvelquin-seller-runtime\n" % SOURCE_DIR)
        shutil.copytree(SOURCE_DIR + "/resources/icons", share + "/icons/hicolor/symbolic/apps")  # as installed
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=self.runtime_dir, XDG_CONFIG_HOME=config,
                   XDG_DATA_DIRS=share + ":" + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        self.proc = subprocess.Popen([binary], env=dict(env, **(extra_env or {})))

    def quits(self, how):
        expect(wait_until(lambda: self.proc.poll() is not None, 10) and self.proc.returncode == 0, how,
               "does not end the agent (exit status %r)" % self.proc.returncode)

    def stop(self):
        stop(self.proc)
        shutil.rmtree(self.scratch, ignore_errors=True)


class Watcher(Part):  # says a host is there, so the agent exports its item, which it reads at once, as hosts do
    def __init__(self):
        self.item, self.read, owned = None, None, []
        self.connection = bus()  # the bus lives while someone holds it
        props = "".join('<property name="%s" type="%s" access="read"/>' % p for p in dict(
            RegisteredStatusNotifierItems="as", IsStatusNotifierHostRegistered="b", ProtocolVersion="i").items())
        xml = '<node><interface name="%s"><method name="RegisterStatusNotifierItem"><arg type="s"/></method>%s' \
            '</interface></node>' % (WATCHER, props)
        self.registration = self.connection.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(
            xml).interfaces[0], self._call, self._property, None)
        self.owner = Gio.bus_own_name_on_connection(self.connection, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                                    lambda *_: owned.append(True), lambda *_: owned.append(False))
        expect(wait_until(lambda: owned, 5) and owned[0], "could not own", WATCHER)

    def _call(self, connection, sender, path, interface, method, params, invocation):
        service = params.unpack()[0]
        self.item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        connection.call(*self.item, "org.freedesktop.DBus.Properties", "GetAll", GLib.Variant("(s)", (SNI,)), None,
                        Gio.DBusCallFlags.NONE, 5000, None, self._first_read)
        invocation.return_value(None)

    def _first_read(self, connection, result):
        try:
            self.read = connection.call_finish(result) is not None
        except GLib.Error as error:
            self.read = error.message

    def _property(self, connection, sender, path, interface, name):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", ["".join(self.item)] if self.item else []),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True)}.get(name, GLib.Variant("i", 0))

    def wait_item(self):
        expect(wait_until(lambda: self.read, 15) is True, "the item did not answer as it registered:", self.read)
        return self.item

    def stop(self):
        Gio.bus_unown_name(self.owner)
        self.connection.unregister_object(self.registration)


def shown_entries(items):  # (id, label as drawn: "_x" is a mnemonic, "__" a literal "_") of the visible [(id, props)]
    return [(i, "---" if p.get("type") == "separator" else re.sub(r"_(.)", r"\1", p.get("label") or ""))
            for i, p in items if p.get("visible") is not False]


class FollowedMenu:  # libdbusmenu's client bound once to the item's Menu path: it learns only from signals
    def __init__(self, item):
        self.item = item
        wait_until(lambda: item_property(item, "Menu") not in ("", "/", "/NO_DBUSMENU"), 10)  # as panels take NewMenu
        self.client = Dbusmenu.Client.new(item[0], item_property(item, "Menu"))
        expect(wait_until(self.entries, 10), "the exported menu never gave a layout")

    def entries(self):
        root = self.client.get_root()
        return shown_entries([(child, {k: child.property_get_variant(k).unpack() for k in child.properties_list()})
                              for child in (root.get_children() if root else [])])

    def labels(self):
        return [label for _, label in self.entries()]

    def click(self, label):
        child = expect(dict((shown, c) for c, shown in self.entries()).get(label), "no entry", label, self.labels())
        child.handle_event("clicked", GLib.Variant("i", 0), 0)
        while GLib.MainContext.default().iteration(False):  # the client sends queued events from an idle callback
            pass
        bus().flush_sync(None)

    def wait_for(self, expected, timeout):  # expected: texts or patterns; gives (id, label) for each entry
        def matches():
            labels = self.labels()
            return len(labels) == len(expected) and all(re.fullmatch(want, label) if isinstance(want, re.Pattern) else
                                                        label == want for label, want in zip(labels, expected))
        expect(wait_until(matches, timeout), "after %d s the followed menu shows\n  %r\nexpected\n  %r"
               % (timeout, self.labels(), [getattr(e, "pattern", e) for e in expected]))
        return [(child.get_id(), label) for child, label in self.entries()]


def xdo(*args, check=True, timeout=30):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, check=check, timeout=timeout).stdout


def click_at(x, y, button=1):
    xdo("mousemove", str(x), str(y), "click", str(button))


def xwininfo(*args):
    return subprocess.run(["xwininfo", *args], capture_output=True, text=True).stdout


def window_geometry(window):
    field = dict(re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", xwininfo("-id", window)))
    return tuple(int(field[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))


def popups():
    return {w for w in re.findall(r"^\s+(0x[0-9a-f]+)", xwininfo("-root", "-children"), re.M)
            if re.search(r"IsViewable[\s\S]*Override Redirect State: yes", xwininfo("-id", w))}


def new_window(windows, action, what, timeout=10):  # the first window of windows() that action() opened
    before = windows()
    action()
    return expect(wait_until(lambda: sorted(windows() - before), timeout), what, "opened no window")[0]


def name_owner(name):
    with contextlib.suppress(GLib.Error):
        return call(*DBUS, "GetNameOwner", GLib.Variant("(s)", (name,)), "(s)")[0]


class LxqtPanel(Part):  # LXQt's panel with only its status notifier plugin
    def __init__(self, background="#202020", font="#f0f0f0"):
        self.dir = tempfile.mkdtemp(prefix="orvelquin-panel-")
        with open(self.dir + "/panel.conf", "w") as out:
            out.write("[General]\n__userfile__=true\n[panel1]\nplugins=statusnotifier\nposition=Bottom\nalignment=-1\n"
                      "panelSize=32\niconSize=22\ndesktop=0\nbackground-color=%s\nfont-color=%s\n[statusnotifier]\n"
                      "type=statusnotifier\nalignment=Left\n" % (background, font))
        self.proc = subprocess.Popen(["lxqt-panel", "--configfile", self.dir + "/panel.conf"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: name_owner(WATCHER) or self.proc.poll() is not None, 20)
        self.unique_name = expect(self.proc.poll() is None and name_owner(WATCHER), "lxqt-panel is no watcher")

    def geometry(self):
        return window_geometry(re.search(r'^\s+(0x[0-9a-f]+) "LXQt Panel"', xwininfo("-root", "-children"),
                                         re.M).group(1))

    def open_menu(self, button=3):  # clicks the icon (the only plugin, at the left, square buttons)
        x, y, _, height = self.geometry()
        return new_window(popups, lambda: click_at(x + height // 2, y + height // 2, button), "the icon's click", 5)

    def stop(self):
        stop(self.proc)
        shutil.rmtree(self.dir, ignore_errors=True)


class PanelView(Part):  # the panel's view of the menu: its GetLayout replies for the root, the updates sent to it
    def __init__(self, panel_name):
        self.panel, self.root_calls, self.items = panel_name, set(), {}
        self.monitor = Gio.DBusConnection.new_for_address_sync(
            Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None),
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.monitor.add_filter(self._seen)
        self.monitor.call_sync(*DBUS[:2], DBUS[2] + ".Monitoring", "BecomeMonitor", GLib.Variant("(asu)", ([], 0)),
                               None, Gio.DBusCallFlags.NONE, 5000, None)

    def _seen(self, connection, m, incoming):  # on GDBus's worker thread; a monitor must never answer
        kind, member, body = m.get_message_type(), m.get_member(), m.get_body()
        if incoming and kind == MT.METHOD_CALL:
            if member == "GetLayout" and m.get_sender() == self.panel and body.unpack()[0] == 0:
                self.root_calls.add((self.panel, m.get_serial()))
            return None
        if incoming and kind == MT.METHOD_RETURN and (m.get_destination(), m.get_reply_serial()) in self.root_calls:
            self.items = {child[0]: child[1] for child in body.unpack()[1][2]}
        elif incoming and member == "ItemsPropertiesUpdated" and m.get_destination() in (None, self.panel):
            updated, removed = body.unpack()  # a removed property goes back to its default, None here
            for item_id, props in updated + [(i, dict.fromkeys(keys)) for i, keys in removed]:
                self.items.get(item_id, {}).update(props)
        return m

    def labels(self):
        return [label for _, label in shown_entries(list(self.items.items()))]

    def stop(self):
        self.monitor.close_sync(None)
