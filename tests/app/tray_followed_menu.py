#!/usr/bin/python3
"""The installed agent under LXQt's panel, its menu followed as well as GNOME's AppIndicator extension,
Xfce and waybar follow it: a menu swapped instead of updated stays frozen here as there. The panel's
own menu is pictured in panel-menu-after-rebuild.png. Args: AGENT SERVICE_URL BUILD_DIR"""

import contextlib, os, pathlib, re, shutil, subprocess, sys, tempfile  # noqa: E401

from traypanel import LxqtPanel, PanelView, screenshot
from traysession import (DEMO_EMAIL, DEMO_PASSWORD, Agent, DevService, Failed, FollowedMenu, GLib, clear_credentials,
                         item_property, main, registered_item, step, store_credentials, stored_credential,
                         wait_until, window_geometry, xdo)

ACCOUNT = "r&d_ops@orvelquin.test"  # & and _ are mnemonic marks to a menu
HOST, VERSION = re.compile(r".+ \u00b7 .+ total \u00b7 .+"), re.compile(r"Version \S+")
CONNECTED = re.compile(r"Status: Connected \u00b7 Last heartbeat \d\d:\d\d:\d\d")
DISCONNECTED = "Status: Disconnected \u00b7 Last heartbeat \u2014"
STOPPED, RUNNING = "Seller runtime: bundled \u00b7 stopped", re.compile(r"Seller runtime: bundled \u00b7 running \u00b7 up .+")
TAIL = ["---", "Check for updates\u2026", "Launch at login", "---", "Quit Orvelquin"]
SIGNED_OUT = ["Orvelquin Desktop", "Not signed in", "---", "Device: No device re\u2026", DISCONNECTED, STOPPED, HOST,
              VERSION, "---", "Sign in\u2026"] + TAIL


def signed_in(account, device_id, status, running=False):
    device = device_id if len(device_id) <= 12 else device_id[:12] + "\u2026"
    return ["Orvelquin Desktop", account, "---", "Device: " + device, status, RUNNING if running else STOPPED, HOST,
            VERSION, "---", ("Stop" if running else "Start") + " seller runtime", "---", "Open Console",
            "Open Devices", "---", "Sign out"] + TAIL


def ids_kept(before, after):
    """Entries a rebuild left alone keep their id: a panel holding it (an open menu) must still reach them."""
    moved = [(label, old, new) for (old, label), (new, now) in zip(before, after) if label == now and old != new]
    if len(before) != len(after) or moved:
        raise Failed("ids changed for unchanged entries (label, before, after): %r" % moved)
    return after


def item_identity(item):
    # Installed, the look goes out by name too, for hosts that recolour symbolic icons; as a menu-only
    # item, hosts open its menu on a primary click.
    seen = [item_property(item, name) for name in ("Title", "ToolTip", "IconName", "ItemIsMenu", "IconPixmap")]
    seen[1], seen[4] = seen[1][2][:17], bool(seen[4])
    if seen != ["Orvelquin Desktop", "Orvelquin Desktop", "orvelquin-desktop-offline-symbolic", True, True]:
        raise Failed("title, tooltip title, icon name, menu only, pixmaps: %r" % seen)


def panel_shows(view, *wanted):
    if not wait_until(lambda: all(any(re.fullmatch(w, label) for label in view.labels()) for w in wanted), 15):
        raise Failed("the panel's view of the menu: %r" % view.labels())


def sign_in(menu):
    menu.click("Sign in\u2026")
    window = xdo("search", "--sync", "--onlyvisible", "--name", "^Orvelquin Desktop$", timeout=15).split()[0]
    xdo("windowfocus", "--sync", window)
    for keys in (["type", "--delay", "20", DEMO_EMAIL], ["key", "Tab"], ["type", "--delay", "20", DEMO_PASSWORD],
                 ["key", "Return"]):
        xdo(*keys)
    # The sign-in sends its first heartbeat at once: no interval to wait for.
    if not wait_until(lambda: stored_credential("deviceToken"), 20):
        raise Failed("the agent did not finish signing in (no device token stored)")
    return menu.wait_for(signed_in(DEMO_EMAIL, stored_credential("deviceId"), CONNECTED), 15)


def runtime_start_and_stop(menu, view, before):
    device_id = stored_credential("deviceId")
    menu.click("Start seller runtime")
    running = ids_kept(before, menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED, True), 10))
    panel_shows(view, "Stop seller runtime", RUNNING)
    menu.click("Stop seller runtime")
    ids_kept(running, menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED), 10))


def killed_with_its_runtime(agent, menu):
    menu.click("Start seller runtime")
    menu.wait_for(signed_in(DEMO_EMAIL, stored_credential("deviceId"), CONNECTED, True), 10)
    runtimes = subprocess.run(["pgrep", "-P", str(agent.proc.pid)], capture_output=True).stdout.split()
    if len(runtimes) != 1:
        raise Failed("the agent runs %r, not one runtime" % runtimes)
    agent.proc.kill()
    agent.proc.wait()
    if not wait_until(lambda: not os.path.exists(b"/proc/" + runtimes[0]), 10):
        raise Failed("the runtime outlived the SIGKILLed agent")


def item_of_another(name):
    """The item registered last, unless its bus name is name: LXQt's panel is the watcher here."""
    with contextlib.suppress(GLib.Error, IndexError):
        return registered_item() if registered_item()[0] != name else None


def lock_taken(runtime_dir, pid):
    def holder():
        with contextlib.suppress(OSError):
            return pathlib.Path(runtime_dir, "orvelquin-desktop.pid").read_text()
    if not wait_until(lambda: holder() == str(pid), 10):
        raise Failed("the next agent did not take over the stale lock")


def quit_from_panel_menu(panel, agent):
    menu = panel.open_menu()
    if shutil.which("import"):  # ImageMagick, when there: a picture for the reader only
        screenshot(os.path.join(os.getcwd(), "panel-menu-after-rebuild.png"), menu)
    x, y, width, height = window_geometry(menu)
    xdo("mousemove", str(x + width // 3), str(y + height - 12), "click", "1")  # the last entry: "Quit Orvelquin"
    agent.quits("Quit Orvelquin clicked in the panel's menu")


def scenario(binary, service_url, build_dir):
    with contextlib.ExitStack() as parts:
        prefix = tempfile.mkdtemp(prefix="orvelquin-prefix-")
        parts.callback(shutil.rmtree, prefix, True)
        step("the agent installs into a prefix", lambda: subprocess.run(
            ["cmake", "--install", build_dir, "--prefix", prefix], capture_output=True, check=True))
        installed = os.path.join(prefix, "bin", "orvelquin-desktop")
        # No update item: a release check finding a newer version would rebuild at a moment of its own.
        parts.enter_context(DevService(service_url, "--latest-version", "0.0.1"))
        clear_credentials()
        parts.callback(clear_credentials)
        panel = parts.enter_context(LxqtPanel())
        view = parts.enter_context(PanelView(panel.unique_name))
        agent = parts.enter_context(Agent(installed, bundled_runtime=True))
        menu = step("the menu is found and bound once", lambda: FollowedMenu(wait_until(lambda: item_of_another(None), 15)))
        step("the signed-out menu, in the panel's view too", lambda: menu.wait_for(SIGNED_OUT, 10) and
             panel_shows(view, "Sign in\u2026"))
        step("item title, tooltip, icon name, a menu-only item with pixmaps", lambda: item_identity(menu.item))
        signed = step("sign-in through the dialog shows the account, device and Connected", lambda: sign_in(menu))
        step("runtime start and stop, ids kept; the panel's view follows",
             lambda: runtime_start_and_stop(menu, view, signed))
        step("the bundled runtime ends with a SIGKILLed agent", lambda: killed_with_its_runtime(agent, menu))
        store_credentials({"email": ACCOUNT})
        device_id = stored_credential("deviceId")
        following = parts.enter_context(Agent(installed, {"XDG_RUNTIME_DIR": agent.runtime_dir}, bundled_runtime=True))
        step("the next agent takes the stale lock", lambda: lock_taken(agent.runtime_dir, following.proc.pid))
        menu = step("its menu is found and bound once", lambda: FollowedMenu(wait_until(
            lambda: item_of_another(menu.item[0]), 15)))
        first = step("stored account and device id with & and _ shown literally",
                     lambda: menu.wait_for(signed_in(ACCOUNT, device_id, DISCONNECTED), 10))
        # The first heartbeat after a launch goes out one interval, 30 s, after it.
        step("the first heartbeat turns the followed menu Connected, ids kept",
             lambda: ids_kept(first, menu.wait_for(signed_in(ACCOUNT, device_id, CONNECTED), 45)))
        step("Quit Orvelquin clicked in the panel's own menu ends the agent", lambda: panel_shows(
            view, ACCOUNT) or quit_from_panel_menu(panel, following))


if __name__ == "__main__":
    sys.exit(main(scenario, skip_without=("lxqt-panel",)))
