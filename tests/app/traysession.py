"""What the tray tests share: the development service, the keyring, the agent, a watcher, the X
display, the menu as panels follow it. Runs under /usr/bin/python3 inside scripts/test-session."""

import json, os, re, shutil, socket, subprocess, sys, tempfile, time, urllib.request  # noqa: E401
import gi

gi.require_version("Dbusmenu", "0.4")
from gi.repository import Dbusmenu, Gio, GLib  # noqa: E402

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO_EMAIL, DEMO_PASSWORD = "demo@orvelquin.test", "demo"
KEYCHAIN = ["service", "com.orvelquin.desktop", "account"]
SNI = "org.kde.StatusNotifierItem"
WATCHER = "org.kde.StatusNotifierWatcher"
NO_MENU = ("", "/", "/NO_DBUSMENU")


class Failed(Exception):
    pass


def wait_until(predicate, timeout, tick_ms=100):
    """Runs the GLib loop until predicate() holds or timeout s pass; the tick wakes it for outside events."""
    deadline = time.monotonic() + timeout
    tick = GLib.timeout_add(tick_ms, lambda: True)
    try:
        while not (value := predicate()) and time.monotonic() < deadline:
            GLib.MainContext.default().iteration(True)
        return value
    finally:
        GLib.source_remove(tick)


def bus():
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


def call(service, path, interface, method, args=None, reply_type=None):
    reply = bus().call_sync(service, path, interface, method, args, reply_type and GLib.VariantType(reply_type),
                            Gio.DBusCallFlags.NONE, 5000, None)
    return reply.unpack() if reply else None


def dbus_property(service, path, interface, name):
    return call(service, path, "org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", (interface, name)),
                "(v)")[0]


def item_property(item, name):
    return dbus_property(item[0], item[1], SNI, name)


def registered_item():
    service, slash, path = dbus_property(WATCHER, "/StatusNotifierWatcher", WATCHER,
                                         "RegisteredStatusNotifierItems")[-1].partition("/")
    return service, slash + path if slash else "/StatusNotifierItem"


def menu_click(item, item_id):
    call(item[0], item_property(item, "Menu"), "com.canonical.dbusmenu", "Event",
         GLib.Variant("(isvu)", (item_id, "clicked", GLib.Variant("i", 0), 0)))


def stop(proc, timeout=5):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class DevService:
    def __init__(self, base_url, *extra):
        self.base_url = base_url.rstrip("/")
        port = int(re.search(r":(\d+)$", self.base_url).group(1))
        # Another session's service on the port would answer for ours: refuse rather than mix.
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the service binds
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                raise Failed("port %d is taken; another development service runs" % port) from None
        self.proc = subprocess.Popen([os.path.join(SOURCE_DIR, "scripts", "dev-service"), "--port", str(port), *extra],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                self.request("GET", "/api/desktop/releases/latest")
                return
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise Failed("the development service did not start on " + self.base_url) from None
                time.sleep(0.1)  # nothing to await: the port opens when the child gets there

    def request(self, method, path, body=None, token=None):
        headers = dict({"Content-Type": "application/json"}, **({"Authorization": "Bearer " + token} if token else {}))
        req = urllib.request.Request(self.base_url + path, json.dumps(body).encode() if body is not None else None,
                                     headers, method=method)
        with urllib.request.urlopen(req, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")

    def sign_in_device(self):
        token = self.request("POST", "/auth/login", {"email": DEMO_EMAIL, "password": DEMO_PASSWORD})["access_token"]
        device = self.request("POST", "/v1/devices/register",
                              {"name": "tray-test", "platform": "Linux", "software_version": "0.0.0"}, token)
        session = self.request("POST", "/v1/devices/%s/session" % device["device_id"], {}, token)
        return {"accessToken": token, "deviceId": device["device_id"], "deviceToken": session["device_token"]}


def clear_credentials():
    for key in ("accessToken", "email", "deviceId", "deviceToken"):
        subprocess.run(["secret-tool", "clear", *KEYCHAIN, key], check=False)


def store_credentials(values):
    for key, value in values.items():
        subprocess.run(["secret-tool", "store", "--label", "Orvelquin " + key, *KEYCHAIN, key], input=value.encode(),
                       check=True)


def stored_credential(key):
    return subprocess.run(["secret-tool", "lookup", *KEYCHAIN, key], capture_output=True).stdout.decode()


class Agent:
    """The real binary with folders of its own; the source tree's seller runtime unless bundled_runtime."""

    def __init__(self, binary, extra_env=None, bundled_runtime=False):
        self.scratch = tempfile.mkdtemp(prefix="orvelquin-tray-")
        self.runtime_dir = os.path.join(self.scratch, "runtime")
        config = os.path.join(self.scratch, "config", "Orvelquin")
        os.makedirs(self.runtime_dir, mode=0o700)
        os.makedirs(config)
        with open(os.path.join(config, "orvelquin-desktop.conf"), "w") as conf:
            if not bundled_runtime:
                conf.write("[General]\nsellerRuntimePath=%s/scripts/seller_runtime/orvelquin-seller-runtime\n"
                           % SOURCE_DIR)
        # The status icons where an installed agent has them, so that their names are published.
        shutil.copytree(os.path.join(SOURCE_DIR, "resources", "icons"),
                        os.path.join(self.scratch, "share", "icons", "hicolor", "symbolic", "apps"))
        data_dirs = os.path.join(self.scratch, "share:") + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share")
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=self.runtime_dir, XDG_DATA_DIRS=data_dirs,
                   XDG_CONFIG_HOME=os.path.dirname(config))
        self.proc = subprocess.Popen([binary], env=dict(env, **(extra_env or {})))

    def lock_holder(self):
        try:
            with open(os.path.join(self.runtime_dir, "orvelquin-desktop.pid")) as lock:
                return lock.read()
        except OSError:
            return None

    def children(self):
        return [int(pid) for pid in subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True).stdout.split()]

    def windows(self):
        return set(xdo("search", "--pid", str(self.proc.pid), check=False).split())

    def quits(self, how):
        if not wait_until(lambda: self.proc.poll() is not None, 10) or self.proc.returncode != 0:
            raise Failed("%s does not end the agent (exit status %r)" % (how, self.proc.returncode))

    def stop(self):
        stop(self.proc)
        shutil.rmtree(self.scratch, ignore_errors=True)


WATCHER_XML = """<node><interface name="org.kde.StatusNotifierWatcher">%s
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal></interface></node>""" % "".join(
    '<method name="Register%s"><arg type="s" direction="in"/></method>' % m for m in ("StatusNotifierItem",
                                                                                     "StatusNotifierHost"))


class Watcher:
    """Says a host is there, so the agent exports a StatusNotifierItem; records them as (bus name, path)."""

    def __init__(self):
        self.items, self.reads, owned = [], [], []
        self.connection = bus()
        self.registration = self.connection.register_object(
            "/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0], self._call,
            self._property, None)
        self.owner = Gio.bus_own_name_on_connection(self.connection, WATCHER, Gio.BusNameOwnerFlags.NONE,
                                                    lambda *_: owned.append(True), lambda *_: owned.append(False))
        if not wait_until(lambda: owned, 5) or not owned[0]:
            raise Failed("could not own " + WATCHER)

    def _call(self, connection, sender, path, interface, method, params, invocation):
        service = params.unpack()[0]
        item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        if method == "RegisterStatusNotifierItem" and item not in self.items:
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

    def wait_item(self, timeout=15):
        if not wait_until(lambda: len(self.reads) == len(self.items) > 0, timeout):
            raise Failed("no StatusNotifierItem registered within %d s" % timeout)
        if any(self.reads):
            raise Failed("the item did not answer as it registered: " + next(filter(None, self.reads)))
        return self.items[-1]

    def close(self):
        Gio.bus_unown_name(self.owner)
        self.connection.unregister_object(self.registration)


def shown_label(raw):
    """A dbusmenu label as drawn: "_x" is a mnemonic, "__" a literal underscore."""
    return re.sub(r"_(.)", r"\1", raw)


class FollowedMenu:
    """libdbusmenu's client bound once to the item's Menu path; it learns only from the exporter's signals."""

    def __init__(self, item, timeout=10):
        self.item = item
        # The icon may go on the bus a moment before its menu; panels take the next NewMenu.
        wait_until(lambda: item_property(item, "Menu") not in NO_MENU, timeout)
        self.client = Dbusmenu.Client.new(item[0], item_property(item, "Menu"))
        if not wait_until(self.entries, timeout):
            raise Failed("the exported menu never gave a layout")

    def entries(self):
        root = self.client.get_root()
        out = []
        for child in root.get_children() if root else []:
            if child.property_exist("visible") and not child.property_get_bool("visible"):
                continue
            separator = child.property_get("type") == "separator"
            enabled = not separator and (not child.property_exist("enabled") or child.property_get_bool("enabled"))
            out.append((child.get_id(), "---" if separator else shown_label(child.property_get("label") or ""), enabled))
        return out

    def labels(self):
        return [label for _, label, _ in self.entries()]

    def click(self, label):
        root = self.client.get_root()
        for child in root.get_children() if root else []:
            if shown_label(child.property_get("label") or "") == label:
                child.handle_event("clicked", GLib.Variant("i", 0), 0)
                # The client sends queued events from an idle callback: run it before anything that
                # blocks (typing into a dialog) or ends the loop.
                while GLib.MainContext.default().iteration(False):
                    pass
                bus().flush_sync(None)
                return
        raise Failed("the followed menu has no entry %r: %r" % (label, self.labels()))

    def wait_for(self, expected, timeout):
        def matches():
            labels = self.labels()
            return len(labels) == len(expected) and all(
                want.fullmatch(label) if isinstance(want, re.Pattern) else label == want
                for label, want in zip(labels, expected))
        if not wait_until(matches, timeout):
            raise Failed("after %d s the followed menu shows\n  %r\nexpected\n  %r"
                         % (timeout, self.labels(), [getattr(e, "pattern", e) for e in expected]))
        return self.entries()


def xdo(*args, check=True, timeout=30):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True, check=check, timeout=timeout).stdout


def xwininfo(*args):
    return subprocess.run(["xwininfo", *args], capture_output=True, text=True).stdout


def window_geometry(window):
    field = dict(re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", xwininfo("-id", window)))
    return tuple(int(field[k]) for k in ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))


def popups():
    return {w for w in re.findall(r"^\s+(0x[0-9a-f]+)", xwininfo("-root", "-children"), re.M)
            if re.search(r"IsViewable[\s\S]*Override Redirect State: yes", xwininfo("-id", w))}


def mapped(window):
    return "IsViewable" in xwininfo("-id", window)


def new_window(windows, action, what, timeout=10):
    """Does action() and gives the first window of windows() that was not there before it."""
    before = windows()
    action()
    opened = wait_until(lambda: sorted(windows() - before), timeout)
    if not opened:
        raise Failed(what + " opened no window")
    return opened[0]


class Steps:
    """Named checks in order; once one fails, those that build on it are not reached."""
    def __init__(self):
        self.results, self.broken = [], None

    def run(self, name, step, needs_previous=True):
        if needs_previous and self.broken:
            return self.results.append((name, "not reached: " + self.broken))
        try:
            value = step()
            self.results.append((name, None))
            return value
        except Exception as error:  # noqa: BLE001 - any error fails the check and is shown
            self.results.append((name, repr(error)))
            self.broken = self.broken or (needs_previous and name)


def main(scenario, tools=(), skip_without=()):
    """SCRIPT AGENT_BINARY [SERVICE_URL [BUILD_DIR]]: skip (77) without loopback service or skip_without."""
    args = sys.argv[1:]
    if len(args) > 1 and not re.match(r"http://127\.0\.0\.1:\d+$", args[1]):
        print("SKIP: the agent was built for %s, not the loopback development service" % args[1])
        return 77
    for group, status in ((skip_without, 77), (tools, 1)):
        if [t for t in group if not shutil.which(t)]:
            return print("%s: missing %s" % ("SKIP" if status == 77 else "FAIL", group)) or status
    steps = Steps()
    scenario(steps, *args)
    for name, error in steps.results:
        print(("PASS  " if error is None else "FAIL  ") + name + ("" if error is None else "\n      " + str(error)))
    return 0 if all(error is None for _, error in steps.results) else 1
