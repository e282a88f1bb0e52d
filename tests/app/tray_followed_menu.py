#!/usr/bin/python3
"""End to end: the real agent, its menu followed the way GNOME's AppIndicator extension, Xfce,
LXQt and waybar follow it. The libdbusmenu client is bound once to the path the item's Menu
property gave at registration and learns changes only from the exporter's signals, so a menu
that is swapped instead of updated stays frozen here exactly as it does on those panels.

usage: tray_followed_menu.py AGENT_BINARY SERVICE_URL"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

from traysession import (DEMO_EMAIL, DEMO_PASSWORD, Agent, DevService, Failed, FollowedMenu, GLib, Watcher,
                         clear_credentials, cut, item_call, item_property, report, store_credentials,
                         stored_credential, wait_until)

ANY_HOST = re.compile(r".+ \u00b7 .+ total \u00b7 .+")
VERSION = re.compile(r"Version \S+")
CONNECTED = re.compile(r"Status: Connected \u00b7 Last heartbeat \d\d:\d\d:\d\d")
RUNNING = re.compile(r"Seller runtime: custom path \u00b7 running \u00b7 up .+")
STOPPED = "Seller runtime: custom path \u00b7 stopped"
BUNDLED_RUNNING = re.compile(r"Seller runtime: bundled \u00b7 running \u00b7 up .+")
BUNDLED_STOPPED = "Seller runtime: bundled \u00b7 stopped"
TAIL = ["---", "Check for updates\u2026", "Launch at login", "---", "Quit Orvelquin"]


def signed_out():
    return ["Orvelquin Desktop", "Not signed in", "---", "Device: No device re\u2026",
            "Status: Disconnected \u00b7 Last heartbeat \u2014", STOPPED, ANY_HOST, VERSION, "---",
            "Sign in\u2026"] + TAIL


def signed_in(account, device_id, status, runtime=STOPPED, toggle="Start seller runtime"):
    return ["Orvelquin Desktop", account, "---", "Device: " + cut(device_id), status, runtime, ANY_HOST, VERSION,
            "---", toggle, "---", "Open Console", "Open Devices", "---", "Sign out"] + TAIL


def same_ids_where_unchanged(before, after):
    """Entries whose label a rebuild left alone must keep their dbusmenu id: a panel that holds
    the id (an open menu, a click on its way) must still reach the item."""
    moved = [(label, old, new) for (old, label, _), (new, label_after, _) in zip(before, after)
             if label == label_after and old != new]
    if len(before) != len(after) or moved:
        raise Failed("ids changed for unchanged entries (label, before, after): %r" % moved)


def popups():
    """Viewable override-redirect windows on the X display: an open menu."""
    tree = subprocess.run(["xwininfo", "-root", "-children"], capture_output=True, text=True).stdout
    found = set()
    for window in re.findall(r"^\s+(0x[0-9a-f]+)", tree, re.M):
        info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
        if "IsViewable" in info and "Override Redirect State: yes" in info:
            found.add(window)
    return found


def activate_opens_menu(item):
    try:
        if item_property(item, "ItemIsMenu"):
            return
    except GLib.Error:
        pass  # no such property: the host calls Activate on a primary click
    before = popups()
    item_call(item, "Activate", GLib.Variant("(ii)", (20, 20)))
    opened = wait_until(lambda: popups() - before, 5)
    if not opened:
        raise Failed("Activate opened no menu window and the item does not declare ItemIsMenu")
    subprocess.run(["xdotool", "key", "Escape"], check=False)
    wait_until(lambda: not (popups() - before), 5)


def fill_sign_in_dialog():
    """Types the demo account into the agent's modal sign-in dialog through the X server."""
    try:
        found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Orvelquin Desktop$"],
                               capture_output=True, text=True, timeout=15)
    except subprocess.TimeoutExpired:
        raise Failed("no sign-in dialog appeared after clicking Sign in\u2026") from None
    window = found.stdout.split()[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True, timeout=10)
    subprocess.run(["xdotool", "type", "--delay", "20", DEMO_EMAIL], check=True, timeout=30)
    subprocess.run(["xdotool", "key", "Tab"], check=True, timeout=10)
    subprocess.run(["xdotool", "type", "--delay", "20", DEMO_PASSWORD], check=True, timeout=30)
    subprocess.run(["xdotool", "key", "Return"], check=True, timeout=10)


class Steps:
    """Runs named steps in order; once one fails, those that build on it are not reached."""

    def __init__(self, results):
        self.results = results
        self.broken = None

    def run(self, name, step, needs_previous=True):
        """A step that does not need the previous ones neither waits on nor breaks the chain."""
        if needs_previous and self.broken:
            self.results.append((name, "not reached: " + self.broken))
            return None
        try:
            value = step()
            self.results.append((name, None))
            return value
        except (Failed, GLib.Error, subprocess.SubprocessError) as error:
            self.results.append((name, error))
            if needs_previous:
                self.broken = self.broken or name
            return None


def quit_through(menu, agent):
    menu.click("Quit Orvelquin")
    if not agent.wait_exit(10):
        raise Failed("the agent still runs 10 s after Quit Orvelquin was clicked in the followed menu")
    if agent.proc.returncode != 0:
        raise Failed("the agent exited with %d" % agent.proc.returncode)


def sign_in_run(binary, results):
    clear_credentials()
    watcher = Watcher()
    agent = Agent(binary)
    steps = Steps(results)
    try:
        menu = steps.run("the menu is found and bound once", lambda: FollowedMenu(watcher.wait_item(15)))
        if menu is None:
            return

        def item_identity():
            title = item_property(menu.item, "Title")
            tooltip = item_property(menu.item, "ToolTip")
            if title != "Orvelquin Desktop" or not tooltip[2].startswith("Orvelquin Desktop"):
                raise Failed("item title %r, tooltip title %r" % (title, tooltip[2]))
            # Installed, the look goes out by name too, for hosts that recolour symbolic icons.
            if item_property(menu.item, "IconName") != "orvelquin-desktop-offline-symbolic":
                raise Failed("icon name %r" % item_property(menu.item, "IconName"))
            if not item_property(menu.item, "IconPixmap"):
                raise Failed("the item publishes no pixmaps")

        steps.run("item title, tooltip and icon name", item_identity, needs_previous=False)
        steps.run("signed-out menu", lambda: menu.wait_for(signed_out(), 10))
        steps.run("Activate on the item opens the menu", lambda: activate_opens_menu(menu.item), needs_previous=False)

        def sign_in():
            menu.click("Sign in\u2026")
            fill_sign_in_dialog()
            # The sign-in sends its first heartbeat at once: no heartbeat interval to wait for.
            if not wait_until(lambda: stored_credential("deviceToken"), 20):
                raise Failed("the agent did not finish signing in (no device token stored)")
            device_id = stored_credential("deviceId")
            return device_id, menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED), 15)

        signed = steps.run("sign-in shows the account, the device id literally and Connected", sign_in)

        def runtime_start_and_stop():
            device_id, before = signed
            menu.click("Start seller runtime")
            running = menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED, RUNNING, "Stop seller runtime"), 10)
            same_ids_where_unchanged(before, running)
            menu.click("Stop seller runtime")
            stopped = menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED), 10)
            same_ids_where_unchanged(running, stopped)

        steps.run("runtime start and stop through the followed menu, ids kept", runtime_start_and_stop)
        steps.run("Quit Orvelquin through the followed menu ends the agent", lambda: quit_through(menu, agent),
                  needs_previous=False)
    finally:
        agent.stop()
        watcher.close()


def stored_texts_run(binary, service, results):
    """The agent installed into a prefix, with the runtime it bundles: data texts that carry
    dbusmenu and Qt mnemonic characters, a change made by the heartbeat alone (the first one goes
    out one interval, 30 s, after launch), and a SIGKILL while the runtime runs."""
    clear_credentials()
    credentials = service.sign_in_device()
    account = "r&d_ops@orvelquin.test"
    store_credentials(dict(credentials, email=account))
    watcher = Watcher()
    agent = Agent(binary, bundled_runtime=True)
    steps = Steps(results)
    try:
        menu = steps.run("stored credentials: menu bound", lambda: FollowedMenu(watcher.wait_item(15)))
        if menu is None:
            return
        device_id = credentials["deviceId"]
        disconnected = "Status: Disconnected \u00b7 Last heartbeat \u2014"
        steps.run("account and device id with & and _ shown literally",
                  lambda: menu.wait_for(signed_in(account, device_id, disconnected, BUNDLED_STOPPED), 10))
        # Taken once the keyring has answered: before that the menu is the waiting one.
        first = menu.entries()

        def heartbeat():
            # Only the status line: the texts above have a case of their own.
            if not wait_until(lambda: CONNECTED.fullmatch(menu.labels()[4]), 45):
                raise Failed("45 s after launch the followed status line still reads %r" % menu.labels()[4])
            same_ids_where_unchanged(first, menu.entries())

        steps.run("the first heartbeat turns the followed menu to Connected, ids kept", heartbeat,
                  needs_previous=False)

        def killed_with_its_runtime():
            menu.click("Start seller runtime")
            menu.wait_for(signed_in(account, device_id, CONNECTED, BUNDLED_RUNNING, "Stop seller runtime"), 10)
            runtimes = agent.children()
            if len(runtimes) != 1:
                raise Failed("the agent runs %r, not one runtime" % runtimes)
            agent.proc.kill()
            agent.proc.wait()
            if not wait_until(lambda: not os.path.exists("/proc/%d" % runtimes[0]), 10):
                raise Failed("the runtime outlived the SIGKILLed agent")
            following = Agent(binary, {"XDG_RUNTIME_DIR": agent.runtime_dir}, bundled_runtime=True)
            try:
                if not wait_until(lambda: agent.lock_holder() == str(following.proc.pid), 10):
                    raise Failed("the next agent did not take over the stale lock (%r)" % agent.lock_holder())
            finally:
                following.stop()

        steps.run("the bundled runtime ends with a SIGKILLed agent, whose stale lock the next one takes",
                  killed_with_its_runtime)
    finally:
        agent.stop()
        watcher.close()
        clear_credentials()


def main():
    binary, service_url, build_dir = sys.argv[1:4]
    if not re.match(r"http://127\.0\.0\.1(:\d+)?$", service_url):
        print("SKIP: the agent was built for %s, not the loopback development service" % service_url)
        return 77
    missing = [tool for tool in ("xdotool", "xwininfo", "secret-tool") if not shutil.which(tool)]
    if missing:
        print("FAIL: missing tools %s (scripts/install-deps installs them)" % ", ".join(missing))
        return 1
    results = []
    # No update item: a release check finding a newer version would rebuild at a moment of its own.
    service = DevService(service_url, "--latest-version", "0.0.1")
    prefix = tempfile.mkdtemp(prefix="orvelquin-prefix-")
    try:
        sign_in_run(binary, results)
        installed = subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix], capture_output=True, text=True)
        if installed.returncode != 0:
            results.append(("the agent installs into a prefix", installed.stderr))
        else:
            stored_texts_run(os.path.join(prefix, "bin", "orvelquin-desktop"), service, results)
    finally:
        service.stop()
        shutil.rmtree(prefix, ignore_errors=True)
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
