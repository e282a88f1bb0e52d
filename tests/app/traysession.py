"""What the tray tests written in Python share: the development service, the agent's credentials
in the session's Secret Service, the agent process, and a menu followed the way desktop panels
follow it (libdbusmenu's client, bound once, updated only by the item's own signals).

Runs under /usr/bin/python3 with python3-gi and gir1.2-dbusmenu-glib-0.4, inside
scripts/test-session (a private bus, an unlocked keyring, an Xvfb display)."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

import gi

gi.require_version("Dbusmenu", "0.4")
from gi.repository import Dbusmenu, Gio, GLib  # noqa: E402

SOURCE_DIR = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEMO_EMAIL = "demo@orvelquin.test"
DEMO_PASSWORD = "demo"
KEYCHAIN_SERVICE = "com.orvelquin.desktop"
CREDENTIAL_KEYS = ("accessToken", "email", "deviceId", "deviceToken")
SNI = "org.kde.StatusNotifierItem"


class Failed(Exception):
    """A check failed; the scenario cannot go on."""


def wait_until(predicate, timeout, tick_ms=100):
    """Runs the GLib main loop until predicate() holds or timeout seconds pass; returns the last
    value. The tick only wakes the loop for predicates on things outside it (a child's exit)."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    tick = GLib.timeout_add(tick_ms, lambda: True)
    try:
        while True:
            value = predicate()
            if value or time.monotonic() >= deadline:
                return value
            context.iteration(True)
    finally:
        GLib.source_remove(tick)


def bus():
    return Gio.bus_get_sync(Gio.BusType.SESSION, None)


# --- the development service ------------------------------------------------------------------


class DevService:
    def __init__(self, base_url, *extra):
        self.base_url = base_url.rstrip("/")
        port = re.search(r":(\d+)$", self.base_url)
        port = int(port.group(1)) if port else 80
        # Another session's service on the port would answer for ours: refuse rather than mix.
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the service binds
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                raise Failed("port %d is taken; another development service runs" % port) from None
        self.proc = subprocess.Popen(
            [os.path.join(SOURCE_DIR, "scripts", "dev-service"), "--port", str(port), *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while True:
            try:
                self.request("GET", "/api/desktop/releases/latest")
                return
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise Failed("the development service did not start on " + self.base_url)
                time.sleep(0.1)  # nothing to await: the port opens when the child gets there

    def request(self, method, path, body=None, token=None):
        headers = {"Content-Type": "application/json"}
        if token:
            headers["Authorization"] = "Bearer " + token
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(self.base_url + path, data=data, method=method, headers=headers)
        with urllib.request.urlopen(req, timeout=10) as reply:
            return json.loads(reply.read() or b"{}")

    def sign_in_device(self):
        """Logs the demo account in, registers a device and opens its session, as the agent's
        sign-in does; gives the credentials the agent would store."""
        login = self.request("POST", "/auth/login", {"email": DEMO_EMAIL, "password": DEMO_PASSWORD})
        token = login["access_token"]
        device = self.request("POST", "/v1/devices/register",
                              {"name": "tray-test", "platform": "Linux", "software_version": "0.0.0"}, token)
        session = self.request("POST", "/v1/devices/%s/session" % device["device_id"], {}, token)
        return {"accessToken": token, "deviceId": device["device_id"], "deviceToken": session["device_token"]}

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# --- credentials in the session's Secret Service ------------------------------------------------


def clear_credentials():
    for key in CREDENTIAL_KEYS:
        subprocess.run(["secret-tool", "clear", "service", KEYCHAIN_SERVICE, "account", key], check=False)


def store_credentials(values):
    for key, value in values.items():
        subprocess.run(["secret-tool", "store", "--label", "Orvelquin " + key, "service", KEYCHAIN_SERVICE,
                        "account", key], input=value.encode(), check=True)


def stored_credential(key):
    found = subprocess.run(["secret-tool", "lookup", "service", KEYCHAIN_SERVICE, "account", key],
                           capture_output=True, check=False)
    return found.stdout.decode()


# --- the agent ------------------------------------------------------------------------------


class Agent:
    """The real binary with its own runtime and configuration folders; the seller runtime is the
    reference one from the source tree."""

    def __init__(self, binary, extra_env=None, bundled_runtime=False):
        self.scratch = tempfile.mkdtemp(prefix="orvelquin-tray-")
        self.runtime_dir = os.path.join(self.scratch, "runtime")
        config_dir = os.path.join(self.scratch, "config")
        os.makedirs(self.runtime_dir, mode=0o700)
        os.makedirs(os.path.join(config_dir, "Orvelquin"))
        with open(os.path.join(config_dir, "Orvelquin", "orvelquin-desktop.conf"), "w") as conf:
            if not bundled_runtime:
                conf.write("[General]\nsellerRuntimePath=%s\n"
                           % os.path.join(SOURCE_DIR, "scripts", "seller_runtime", "orvelquin-seller-runtime"))
        # The status icons where an installed agent has them, so that their names are published.
        icons = os.path.join(self.scratch, "share", "icons", "hicolor", "symbolic", "apps")
        os.makedirs(icons)
        for name in os.listdir(os.path.join(SOURCE_DIR, "resources", "icons")):
            shutil.copy(os.path.join(SOURCE_DIR, "resources", "icons", name), icons)
        data_dirs = os.path.join(self.scratch, "share") + ":" + os.environ.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share")
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=self.runtime_dir, XDG_CONFIG_HOME=config_dir,
                   XDG_DATA_DIRS=data_dirs)
        env.update(extra_env or {})
        self.proc = subprocess.Popen([binary], env=env)

    def lock_holder(self):
        try:
            with open(os.path.join(self.runtime_dir, "orvelquin-desktop.pid")) as lock:
                return lock.read()
        except OSError:
            return None

    def children(self):
        found = subprocess.run(["pgrep", "-P", str(self.proc.pid)], capture_output=True, text=True).stdout
        return [int(pid) for pid in found.split()]

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        return wait_until(lambda: not self.running(), timeout)

    def stop(self):
        if self.running():
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.scratch, ignore_errors=True)


# --- the panel's side of the StatusNotifierItem protocol ------------------------------------------

WATCHER_XML = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


class Watcher:
    """Owns org.kde.StatusNotifierWatcher and says a host is there, so the agent exports its icon
    as a StatusNotifierItem; records each registration as (bus name, object path)."""

    def __init__(self):
        self.items = []
        self.connection = bus()
        info = Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0]
        self.registration = self.connection.register_object(
            "/StatusNotifierWatcher", info, self._call, self._property, None)
        owned = {}
        self.owner = Gio.bus_own_name_on_connection(
            self.connection, "org.kde.StatusNotifierWatcher", Gio.BusNameOwnerFlags.NONE,
            lambda *_: owned.setdefault("ok", True), lambda *_: owned.setdefault("ok", False))
        if not wait_until(lambda: "ok" in owned, 5) or not owned["ok"]:
            raise Failed("could not own org.kde.StatusNotifierWatcher")

    def _call(self, connection, sender, path, interface, method, params, invocation):
        if method == "RegisterStatusNotifierItem":
            service = params.unpack()[0]
            item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
            if item not in self.items:
                self.items.append(item)
                connection.emit_signal(None, path, interface, "StatusNotifierItemRegistered",
                                       GLib.Variant("(s)", (item[0] + item[1],)))
        invocation.return_value(None)

    def _property(self, connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", [service + path for service, path in self.items])
        if name == "IsStatusNotifierHostRegistered":
            return GLib.Variant("b", True)
        return GLib.Variant("i", 0)

    def wait_item(self, timeout):
        if not wait_until(lambda: self.items, timeout):
            raise Failed("no StatusNotifierItem registered within %d s" % timeout)
        return self.items[-1]

    def close(self):
        Gio.bus_unown_name(self.owner)
        self.connection.unregister_object(self.registration)


def item_property(item, name):
    service, path = item
    reply = bus().call_sync(service, path, "org.freedesktop.DBus.Properties", "Get",
                            GLib.Variant("(ss)", (SNI, name)), GLib.VariantType("(v)"),
                            Gio.DBusCallFlags.NONE, 5000, None)
    return reply.unpack()[0]


def item_call(item, method, args):
    service, path = item
    bus().call_sync(service, path, SNI, method, args, None, Gio.DBusCallFlags.NONE, 5000, None)


# --- the menu as a panel follows it ------------------------------------------------------------


def shown_label(raw):
    """A dbusmenu label as a panel draws it: "_" marks the next character as the mnemonic, "__"
    is a literal underscore."""
    out = []
    i = 0
    while i < len(raw):
        if raw[i] == "_" and i + 1 < len(raw):
            i += 1
        out.append(raw[i])
        i += 1
    return "".join(out)


class FollowedMenu:
    """Binds libdbusmenu's client once to the path the item's Menu property named when it
    registered, and from then on knows only what the exporter's signals tell it."""

    def __init__(self, item, timeout=10):
        self.item = item
        path = item_property(item, "Menu")
        if path in ("", "/", "/NO_DBUSMENU"):
            # The icon may go on the bus a moment before its menu; panels take the next NewMenu.
            changed = []
            sub = bus().signal_subscribe(item[0], SNI, "NewMenu", item[1], None, Gio.DBusSignalFlags.NONE,
                                         lambda *_: changed.append(True))
            wait_until(lambda: changed or item_property(item, "Menu") not in ("", "/", "/NO_DBUSMENU"), timeout)
            bus().signal_unsubscribe(sub)
            path = item_property(item, "Menu")
        self.path = path
        self.events = []
        self.client = Dbusmenu.Client.new(item[0], path)
        self.client.connect("layout-updated", lambda *_: self.events.append("layout-updated"))
        self.client.connect("root-changed", lambda *_: self.events.append("root-changed"))
        if not wait_until(lambda: self.entries(), timeout):
            raise Failed("the exported menu %s never gave a layout" % path)

    def entries(self):
        """The visible top-level entries as (id, shown label, enabled), separators as "---"."""
        root = self.client.get_root()
        if root is None:
            return []
        out = []
        for child in root.get_children():
            if child.property_exist("visible") and not child.property_get_bool("visible"):
                continue
            if child.property_get("type") == "separator":
                out.append((child.get_id(), "---", False))
                continue
            enabled = not child.property_exist("enabled") or child.property_get_bool("enabled")
            out.append((child.get_id(), shown_label(child.property_get("label") or ""), enabled))
        return out

    def labels(self):
        return [label for _, label, _ in self.entries()]

    def click(self, label):
        """Clicks the entry with this label as a panel does, through the followed item."""
        root = self.client.get_root()
        for child in root.get_children() if root else []:
            if shown_label(child.property_get("label") or "") == label:
                child.handle_event("clicked", GLib.Variant("i", 0), 0)
                # The client sends queued events from an idle callback; run it before anything
                # that blocks (typing into a dialog) or ends the loop.
                context = GLib.MainContext.default()
                while context.pending():
                    context.iteration(False)
                bus().flush_sync(None)
                return
        raise Failed("the followed menu has no entry %r: %r" % (label, self.labels()))

    def wait_for(self, expected, timeout):
        """Waits until the followed labels match expected (texts, or compiled patterns matched
        whole); raises with both lists when they never do."""
        if not wait_until(lambda: matches(self.labels(), expected), timeout):
            raise Failed("after %d s the followed menu shows\n  %r\nexpected\n  %r"
                         % (timeout, self.labels(), [getattr(e, "pattern", e) for e in expected]))
        return self.entries()


def matches(labels, expected):
    if len(labels) != len(expected):
        return False
    for label, want in zip(labels, expected):
        if isinstance(want, re.Pattern):
            if not want.fullmatch(label):
                return False
        elif label != want:
            return False
    return True


def cut(text):
    return text if len(text) <= 12 else text[:12] + "\u2026"


def report(results):
    """Prints one line per case and gives the exit status."""
    for name, error in results:
        print(("PASS  " if error is None else "FAIL  ") + name)
        if error is not None:
            print("      " + str(error).replace("\n", "\n      "))
    sys.stdout.flush()
    return 0 if all(error is None for _, error in results) else 1
