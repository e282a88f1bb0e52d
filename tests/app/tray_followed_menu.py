#!/usr/bin/python3
"""followed_menu AGENT SERVICE_URL BUILD_DIR: the installed agent under LXQt's panel, its menu followed as panels
follow it (a menu swapped instead of updated stays frozen). xembed AGENT: tray hosts that start after the agent."""
import contextlib, os, pathlib, re, shutil, subprocess, sys, tempfile  # noqa: E401

from traysession import (DEMO_EMAIL, DEMO_PASSWORD, Agent, DevService, FollowedMenu, GLib, KEYCHAIN, LxqtPanel,
                         PanelView, Watcher, click_at, clear_credentials, expect, item_property, new_window, popups,
                         registered_item, step, stop, stored_credential, wait_until, window_geometry, xdo)

ACCOUNT = "r&d_ops@orvelquin.test"  # & and _ are mnemonic marks to a menu
HOST, VERSION = re.compile(r".+ \u00b7 .+ total \u00b7 .+"), re.compile(r"Version \S+")
CONNECTED = re.compile(r"Status: Connected \u00b7 Last heartbeat \d\d:\d\d:\d\d")
DISCONNECTED, STOPPED = "Status: Disconnected \u00b7 Last heartbeat \u2014", "Seller runtime: bundled \u00b7 stopped"
RUNNING = re.compile(r"Seller runtime: bundled \u00b7 running \u00b7 up .+")
TAIL = ["---", "Check for updates\u2026", "Launch at login", "---", "Quit Orvelquin"]
SIGNED_OUT = ["Orvelquin Desktop", "Not signed in", "---", "Device: No device re\u2026", DISCONNECTED, STOPPED, HOST,
              VERSION, "---", "Sign in\u2026"] + TAIL


def signed_in(account, status, running=False, device_id=None):
    device_id = device_id or stored_credential("deviceId")
    device = device_id if len(device_id) <= 12 else device_id[:12] + "\u2026"
    return ["Orvelquin Desktop", account, "---", "Device: " + device, status, RUNNING if running else STOPPED, HOST,
            VERSION, "---", ("Stop" if running else "Start") + " seller runtime", "---", "Open Console",
            "Open Devices", "---", "Sign out"] + TAIL


def ids_kept(before, after):  # a panel holding an id (an open menu) must still reach the entries a rebuild left alone
    moved = [(label, old, new) for (old, label), (new, now) in zip(before, after) if label == now and old != new]
    return expect(len(before) == len(after) and not moved, "ids changed (label, before, after):", moved) and after


def panel_shows(view, *wanted):
    expect(wait_until(lambda: all(any(re.fullmatch(w, label) for label in view.labels()) for w in wanted), 15),
           "the panel's view of the menu:", view.labels())


def sign_in(menu):
    menu.click("Sign in\u2026")
    xdo("search", "--sync", "--onlyvisible", "--name", "^Orvelquin Desktop$", "windowfocus", "--sync", timeout=15)
    for keys in (["type", "--delay", "20", DEMO_EMAIL], ["key", "Tab"], ["type", "--delay", "20", DEMO_PASSWORD]):
        xdo(*keys)
    xdo("key", "Return")
    # The sign-in sends its first heartbeat at once: no interval to wait for.
    expect(wait_until(lambda: stored_credential("deviceToken"), 20), "no device token stored")
    return menu.wait_for(signed_in(DEMO_EMAIL, CONNECTED), 15)


def runtime_start_and_stop(menu, view, before):
    menu.click("Start seller runtime")
    running = ids_kept(before, menu.wait_for(signed_in(DEMO_EMAIL, CONNECTED, True), 10))
    panel_shows(view, "Stop seller runtime", RUNNING)
    menu.click("Stop seller runtime")
    ids_kept(running, menu.wait_for(signed_in(DEMO_EMAIL, CONNECTED), 10))


def killed_with_its_runtime(agent, menu):
    menu.click("Start seller runtime")
    menu.wait_for(signed_in(DEMO_EMAIL, CONNECTED, True), 10)
    runtimes = subprocess.run(["pgrep", "-P", str(agent.proc.pid)], capture_output=True).stdout.split()
    expect(len(runtimes) == 1, "the agent runs", runtimes, "not one runtime")
    agent.proc.kill()
    agent.proc.wait()
    expect(wait_until(lambda: not os.path.exists(b"/proc/" + runtimes[0]), 10), "the runtime outlived the agent")


def item_of_another(name=None):  # the item registered last, unless its bus name is name: LXQt's panel is the watcher
    with contextlib.suppress(GLib.Error, IndexError):
        item = registered_item()
        return item if item[0] != name else None


def quit_from_panel_menu(panel, agent):
    menu = panel.open_menu()
    if shutil.which("import"):  # ImageMagick, when there: a picture for the reader only
        subprocess.run(["import", "-window", menu, "panel-menu-after-rebuild.png"], check=True, timeout=30)
    x, y, width, height = window_geometry(menu)
    click_at(x + width // 3, y + height - 12)  # the last entry: "Quit Orvelquin"
    agent.quits("Quit Orvelquin clicked in the panel's menu")


def followed_menu(binary, service_url, build_dir):
    with contextlib.ExitStack() as parts:
        prefix = parts.enter_context(tempfile.TemporaryDirectory(prefix="orvelquin-prefix-"))
        step("the agent installs into a prefix", lambda: subprocess.run(
            ["cmake", "--install", build_dir, "--prefix", prefix], capture_output=True, check=True))
        installed = prefix + "/bin/orvelquin-desktop"
        # No update item: a release check finding a newer version would rebuild at a moment of its own.
        parts.enter_context(DevService(service_url, "--latest-version", "0.0.1"))
        clear_credentials()
        parts.callback(clear_credentials)
        panel = parts.enter_context(LxqtPanel())
        view = parts.enter_context(PanelView(panel.unique_name))
        agent = parts.enter_context(Agent(installed, bundled_runtime=True))
        menu = step("the menu is found and bound once", lambda: FollowedMenu(wait_until(item_of_another, 15)))
        step("the signed-out menu, in the panel's view too", lambda: menu.wait_for(SIGNED_OUT, 10) and
             panel_shows(view, "Sign in\u2026"))
        # Installed, the look goes out by name too, for hosts that recolour symbolic icons; a menu-only item's
        # menu opens on a primary click.
        step("icon name and a menu-only item", lambda: expect([item_property(menu.item, n) for n in (
            "IconName", "ItemIsMenu")] == ["orvelquin-desktop-offline-symbolic", True], "icon name or ItemIsMenu"))
        signed = step("sign-in through the dialog shows the account, device and Connected", lambda: sign_in(menu))
        step("runtime start and stop, ids kept; the panel's view follows",
             lambda: runtime_start_and_stop(menu, view, signed))
        step("the bundled runtime ends with a SIGKILLed agent", lambda: killed_with_its_runtime(agent, menu))
        subprocess.run(["secret-tool", "store", "--label", "Orvelquin email", *KEYCHAIN, "email"],
                       input=ACCOUNT.encode(), check=True)
        device_id = stored_credential("deviceId")
        following = parts.enter_context(Agent(installed, {"XDG_RUNTIME_DIR": agent.runtime_dir}, bundled_runtime=True))
        lock = pathlib.Path(agent.runtime_dir, "orvelquin-desktop.pid")  # the stale file, rewritten in place
        step("the next agent takes the stale lock", lambda: expect(wait_until(
            lambda: lock.read_text() == str(following.proc.pid), 10), "the lock is not the next's"))
        menu = step("its menu is found and bound once", lambda: FollowedMenu(wait_until(
            lambda: item_of_another(menu.item[0]), 15)))
        first = step("stored account and device id with & and _ shown literally",
                     lambda: menu.wait_for(signed_in(ACCOUNT, DISCONNECTED, device_id=device_id), 10))
        # The first heartbeat after a launch goes out one interval, 30 s, after it.
        step("the first heartbeat turns the followed menu Connected, ids kept",
             lambda: ids_kept(first, menu.wait_for(signed_in(ACCOUNT, CONNECTED, device_id=device_id), 45)))
        step("Quit Orvelquin clicked in the panel's own menu ends the agent", lambda: panel_shows(
            view, ACCOUNT) or quit_from_panel_menu(panel, following))


def dismiss_the_alert(agent):  # the agent says it waits for a status area
    shown = lambda: set(xdo("search", "--onlyvisible", "--pid", str(agent.proc.pid), check=False).split())  # noqa
    alert = expect(wait_until(shown, 15), "the agent showed no alert about the missing status area")
    xdo("windowfocus", "--sync", alert.pop(), "key", "Return")
    expect(wait_until(lambda: not shown(), 10), "the alert did not close")
    return shown


def xembed(binary):
    with Agent(binary) as agent, contextlib.ExitStack() as parts:
        step("the agent waits for a StatusNotifierWatcher after its alert", lambda: dismiss_the_alert(agent))
        watcher = parts.enter_context(Watcher())
        step("a watcher that starts after the agent gets its item; Quit in its menu ends the agent", lambda: (
            FollowedMenu(watcher.wait_item()).click("Quit Orvelquin") or agent.quits("Quit in the late menu")))
    with Agent(binary) as agent, contextlib.ExitStack() as parts:
        shown = step("the agent waits for a tray after its alert", lambda: dismiss_the_alert(agent))
        icon = step("a tray that starts after the agent receives the icon", lambda: new_window(
            shown, lambda: parts.callback(stop, subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                 "--SetDockType", "false"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)), "trayer", 15))
        x, y, width, height = window_geometry(icon)
        step("a primary click on the icon opens the menu", lambda: new_window(
            popups, lambda: click_at(x + width // 2, y + height // 2), "the click"))
        step("Ctrl+Q in the open menu ends the agent", lambda: xdo("key", "ctrl+q") and None or
             agent.quits("Ctrl+Q in the open menu"))


SCENARIOS = {"followed_menu": (followed_menu, ("lxqt-panel",)), "xembed": (xembed, ("trayer", "xdotool", "xwininfo"))}
if __name__ == "__main__":
    (scenario, tools), args = SCENARIOS[sys.argv[1]], sys.argv[2:]
    if len(args) > 1 and not re.match(r"http://127\.0\.0\.1:\d+$", args[1]):
        sys.exit(print("SKIP: the agent was built for %s, not the loopback development service" % args[1]) or 77)
    sys.exit(scenario(*args) if all(map(shutil.which, tools)) else print("SKIP: needs all of", tools) or 77)
