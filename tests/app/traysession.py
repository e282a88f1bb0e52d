"""What the tray tests share: the development service, the keyring, the agent, a watcher, the X
display, the menu as panels follow it. Runs under /usr/bin/python3 inside scripts/test-session."""

import json, os, re, shutil, subprocess, sys, tempfile, time, urllib.request  # noqa: E401
import gi

gi.require_version("Dbusmenu", "0.4")
from gi.repository import Dbusmenu, Gio, GLib  # noqa: E402

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO_EMAIL, DEMO_PASSWORD = "demo@orvelquin.test", "demo"
KEYCHAIN = ["service", "com.orvelquin.desktop", "account"]
SNI, WATCHER = "org.kde.StatusNotifierItem", "org.kde.StatusNotifierWatcher"
DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")


class Failed(Exception):
    pass


class Part:  # started by its constructor, ended by stop(), also at the end of a with block
    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        stop(self.proc)


def wait_until(predicate, timeout, tick_ms=100):
    """Runs the GLib loop until predicate() holds or timeout s pass; the tick wakes it for outside events."""
    deadline, tick = time.monotonic() + timeout, GLib.timeout_add(tick_ms, lambda: True)
    try:
        while not (value := predicate()) and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(True)
        return value
    finally:
        GLib.source_remove(tick)


def step(name, action):
    """One named check of a scenario; its failure ends the scenario, as later checks build on it."""
    try:
        value = action()
    except Exception as error:  # noqa: BLE001 - any error fails the check and is shown with its name
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
    return call(item[0], item[1], "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (interface, name)),
                "(v)")[0]


def registered_item():
    service, slash, path = item_property((WATCHER, "/StatusNotifierWatcher"), "RegisteredStatusNotifierItems",
                                         WATCHER)[-1].partition("/")
    return service, slash + path if slash else "/StatusNotifierItem"


def menu_click(item, item_id):
    call(item[0], item_property(item, "Menu"), "com.canonical.dbusmenu", "Event",
         GLib.Variant("(isvu)", (item_id, "clicked", GLib.Variant("i", 0), 0)))


def stop(proc):
    proc.terminate()  # nothing once it has been reaped
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class DevService(Part):
    def __init__(self, base_url, *extra):
        self.base_url = base_url.rstrip("/")
        self.proc = subprocess.Popen([os.path.join(SOURCE_DIR, "scripts", "dev-service"), "--port",
                                      self.base_url.rsplit(":", 1)[1], *extra], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        # It says so once it listens; a port another session's service holds, it cannot take.
        if not self.proc.stdout.readline().startswith("Orvelquin development service on " + self.base_url):
            stop(self.proc)
            raise Failed("the development service did not start on %s: is the port taken?" % self.base_url)

    def request(self, method, path, body=None, token=None):
        headers = dict({"Content-Type": "application/json"}, **({"Authorization": "Bearer " + token} if token else {}))
        req = urllib.request.Request(self.base_url + path, json.dumps(body).encode() if body is not None else None,
                                     headers, method=method)
        with urllib.request.urlopen(req, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")


def clear_credentials():
    subprocess.run(["secret-tool", "clear", *KEYCHAIN[:2]], check=False)


def store_credentials(values):
    for key, value in values.items():
        subprocess.run(["secret-tool", "store", "--label", "Orvelquin " + key, *KEYCHAIN, key], input=value.encode(),
                       check=True)


def stored_credential(key):
    return subprocess.run(["secret-tool", "lookup", *KEYCHAIN, key], capture_output=True).stdout.decode()


class Agent(Part):
    """The real binary with folders of its own; the source tree's seller runtime unless bundled_runtime."""
    def __init__(self, binary, extra_env=None, bundled_runtime=False):
        self.scratch = tempfile.mkdtemp(prefix="orvelquin-tray-")
        self.runtime_dir, config, share = (os.path.join(self.scratch, d) for d in ("runtime", "config", "share"))
        os.makedirs(self.runtime_dir, mode=0o700)
        os.makedirs(os.path.join(config, "Orvelquin"))
        with open(os.path.join(config, "Orvelquin", "orvelquin-desktop.conf"), "w") as conf:
            conf.write("" if bundled_runtime else "[General]\nsellerRuntimePath=%s/scripts/seller_runtime/"
                       "orvelquin-seller-runtime\n" % SOURCE_DIR)
        # The status icons where an installed agent has them, so that their names are published.
        shutil.copytree(os.path.join(SOURCE_DIR, "resources", "icons"), share + "/icons/hicolor/symbolic/apps")
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=self.runtime_dir, XDG_CONFIG_HOME=config,
                   XDG_DATA_DIRS=share + ":" + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        self.proc = subprocess.Popen([binary], env=dict(env, **(extra_env or {})))

    def windows(self):
        return set(xdo("search", "--pid", str(self.proc.pid), check=False).split())

    def quits(self, how):
        if not wait_until(lambda: self.proc.poll() is not None, 10) or self.proc.returncode != 0:
            raise Failed("%s does not end the agent (exit status %r)" % (how, self.proc.returncode))

    def stop(self):
        stop(self.proc)
        shutil.rmtree(self.scratch, ignore_errors=True)


WATCHER_XML = """<node><interface name="%s"><method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/>
  </method><property name="RegisteredStatusNotifierItems" type="as" access="read"/><property
  name="IsStatusNotifierHostRegistered" type="b" access="read"/><property name="ProtocolVersion" type="i"
  access="read"/><signal name="StatusNotifierItemRegistered"><arg type="s"/></signal></interface></node>""" % WATCHER


class Watcher(Part):
    """Says a host is there, so the agent exports a StatusNotifierItem; records them as (bus name, path)."""
    def __init__(self):
        self.items, self.reads, owned = [], [], []
        self.connection = bus()  # the bus lives while someone holds it
        self.registration = self.connection.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(
            WATCHER_XML).interfaces[0], self._call, self._property, None)
        self.owner = Gio.bus_own_name_on_connection(self.connection, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                                    lambda *_: owned.append(True), lambda *_: owned.append(False))
        if not wait_until(lambda: owned, 5) or not owned[0]:
            raise Failed("could not own " + WATCHER)

    def _call(self, connection, sender, path, interface, method, params, invocation):
        service = params.unpack()[0]
        item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        if item not in self.items:
            self.items.append(item)
            connection.emit_signal(None, path, interface, "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (item[0] + item[1],)))
            # As hosts do, read the item at once: it must answer from the moment it registers.
            connection.call(item[0], item[1], "org.freedesktop.DBus.Properties", "GetAll", GLib.Variant("(s)", (SNI,)),
                            None, Gio.DBusCallFlags.NONE, 5000, None, self._first_read)
        invocation.return_value(None)

    def _first_read(self, connection, result):
        try:
            connection.call_finish(result)
            self.reads.append(None)
        except GLib.Error as error:
            self.reads.append(error.message)

    def _property(self, connection, sender, path, interface, name):
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", [s + p for s, p in self.items]),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True)}.get(name, GLib.Variant("i", 0))

    def wait_item(self, count=1):
        """Waits for the count-th item to register and answer; gives the last one."""
        if not wait_until(lambda: len(self.reads) == len(self.items) >= count, 15):
            raise Failed("no StatusNotifierItem number %d within 15 s" % count)
        if any(self.reads):
            raise Failed("the item did not answer as it registered: " + next(filter(None, self.reads)))
        return self.items[-1]

    def stop(self):
        Gio.bus_unown_name(self.owner)
        self.connection.unregister_object(self.registration)


def shown_label(raw):
    """A dbusmenu label as drawn: "_x" is a mnemonic, "__" a literal underscore."""
    return re.sub(r"_(.)", r"\1", raw)


class FollowedMenu:
    """libdbusmenu's client bound once to the item's Menu path; it learns only from the exporter's signals."""
    def __init__(self, item):
        self.item = item
        # The icon may go on the bus a moment before its menu; panels take the next NewMenu.
        wait_until(lambda: item_property(item, "Menu") not in ("", "/", "/NO_DBUSMENU"), 10)
        self.client = Dbusmenu.Client.new(item[0], item_property(item, "Menu"))
        if not wait_until(self.entries, 10):
            raise Failed("the exported menu never gave a layout")

    def entries(self):
        root = self.client.get_root()
        return [(child, "---" if child.property_get("type") == "separator" else
                 shown_label(child.property_get("label") or "")) for child in (root.get_children() if root else [])
                if not child.property_exist("visible") or child.property_get_bool("visible")]

    def labels(self):
        return [label for _, label in self.entries()]

    def click(self, label):
        child = next((child for child, shown in self.entries() if shown == label), None)
        if not child:
            raise Failed("the followed menu has no entry %r: %r" % (label, self.labels()))
        child.handle_event("clicked", GLib.Variant("i", 0), 0)
        # The client sends queued events from an idle callback: run it before anything that blocks
        # (typing into a dialog) or ends the loop.
        while GLib.MainContext.default().iteration(False):
            pass
        bus().flush_sync(None)

    def wait_for(self, expected, timeout):
        """Waits for the labels expected (texts or patterns); gives (id, label) for each entry."""
        def matches():
            labels = self.labels()
            return len(labels) == len(expected) and all(want.fullmatch(label) if isinstance(want, re.Pattern) else
                                                        label == want for label, want in zip(labels, expected))
        if not wait_until(matches, timeout):
            raise Failed("after %d s the followed menu shows\n  %r\nexpected\n  %r"
                         % (timeout, self.labels(), [getattr(e, "pattern", e) for e in expected]))
        return [(child.get_id(), label) for child, label in self.entries()]


def xdo(*args, check=True, timeout=30):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, check=check, timeout=timeout).stdout


def xwininfo(*args):
    return subprocess.run(["xwininfo", *args], capture_output=True, text=True).stdout


def window_geometry(window):
    field = dict(re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", xwininfo("-id", window)))
    return tuple(int(field[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))


def mapped(window):
    return "IsViewable" in xwininfo("-id", window)


def popups():
    return {w for w in re.findall(r"^\s+(0x[0-9a-f]+)", xwininfo("-root", "-children"), re.M)
            if re.search(r"IsViewable[\s\S]*Override Redirect State: yes", xwininfo("-id", w))}


def new_window(windows, action, what, timeout=10):
    """Does action() and gives the first window of windows() that was not there before it."""
    before = windows()
    action()
    opened = wait_until(lambda: sorted(windows() - before), timeout)
    if not opened:
        raise Failed(what + " opened no window")
    return opened[0]


def main(scenario, skip_without=()):
    """SCRIPT AGENT [SERVICE_URL [BUILD_DIR]]: skips (77) without a loopback service or skip_without."""
    args = sys.argv[1:]
    if len(args) > 1 and not re.match(r"http://127\.0\.0\.1:\d+$", args[1]):
        return print("SKIP: the agent was built for %s, not the loopback development service" % args[1]) or 77
    if not all(map(shutil.which, skip_without)):
        return print("SKIP: needs all of %s" % (skip_without,)) or 77
    scenario(*args)
    return 0
