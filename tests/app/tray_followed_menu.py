#!/usr/bin/python3
"""The real agent, its menu followed as GNOME's AppIndicator extension, Xfce, LXQt and waybar do:
a menu swapped instead of updated stays frozen here as there. Args: AGENT SERVICE_URL BUILD_DIR"""

import os, re, shutil, subprocess, sys, tempfile  # noqa: E401

from traysession import (DEMO_EMAIL, DEMO_PASSWORD, SNI, Agent, DevService, Failed, FollowedMenu, GLib, Watcher,
                         call, clear_credentials, item_property, main, new_window, popups, stop, store_credentials,
                         stored_credential, wait_until, xdo)

ANY_HOST, VERSION = re.compile(r".+ \u00b7 .+ total \u00b7 .+"), re.compile(r"Version \S+")
CONNECTED = re.compile(r"Status: Connected \u00b7 Last heartbeat \d\d:\d\d:\d\d")
DISCONNECTED = "Status: Disconnected \u00b7 Last heartbeat \u2014"
RUNNING = re.compile(r"Seller runtime: custom path \u00b7 running \u00b7 up .+")
STOPPED = "Seller runtime: custom path \u00b7 stopped"
BUNDLED_RUNNING = re.compile(r"Seller runtime: bundled \u00b7 running \u00b7 up .+")
BUNDLED_STOPPED = "Seller runtime: bundled \u00b7 stopped"
TAIL = ["---", "Check for updates\u2026", "Launch at login", "---", "Quit Orvelquin"]
SIGNED_OUT = ["Orvelquin Desktop", "Not signed in", "---", "Device: No device re\u2026", DISCONNECTED, STOPPED,
              ANY_HOST, VERSION, "---", "Sign in\u2026"] + TAIL


def signed_in(account, device_id, status, runtime=STOPPED, toggle="Start seller runtime"):
    device = device_id if len(device_id) <= 12 else device_id[:12] + "\u2026"
    return ["Orvelquin Desktop", account, "---", "Device: " + device, status, runtime, ANY_HOST, VERSION, "---",
            toggle, "---", "Open Console", "Open Devices", "---", "Sign out"] + TAIL


def same_ids_where_unchanged(before, after):
    """Entries a rebuild left alone keep their id: a panel holding it (an open menu) must still reach them."""
    moved = [(label, old, new) for (old, label, _), (new, label_after, _) in zip(before, after)
             if label == label_after and old != new]
    if len(before) != len(after) or moved:
        raise Failed("ids changed for unchanged entries (label, before, after): %r" % moved)


def item_identity(item):
    title, tooltip, icon = (item_property(item, name) for name in ("Title", "ToolTip", "IconName"))
    # Installed, the look goes out by name too, for hosts that recolour symbolic icons.
    if (title, tooltip[2][:17], icon) != ("Orvelquin Desktop", "Orvelquin Desktop", "orvelquin-desktop-offline-symbolic"):
        raise Failed("item title %r, tooltip title %r, icon name %r" % (title, tooltip[2], icon))
    if not item_property(item, "IconPixmap"):
        raise Failed("the item publishes no pixmaps")


def activate_opens_menu(item):
    try:
        if item_property(item, "ItemIsMenu"):
            return
    except GLib.Error:
        pass  # no such property: the host calls Activate on a primary click
    new_window(popups, lambda: call(*item, SNI, "Activate", GLib.Variant("(ii)", (20, 20))), "Activate", 5)
    xdo("key", "Escape")
    wait_until(lambda: not popups(), 5)


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


def runtime_start_and_stop(menu, before):
    device_id = stored_credential("deviceId")
    menu.click("Start seller runtime")
    running = menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED, RUNNING, "Stop seller runtime"), 10)
    same_ids_where_unchanged(before, running)
    menu.click("Stop seller runtime")
    same_ids_where_unchanged(running, menu.wait_for(signed_in(DEMO_EMAIL, device_id, CONNECTED), 10))


def killed_with_its_runtime(binary, agent, menu, account, device_id):
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


def with_agent(binary, run, **options):
    watcher = Watcher()
    agent = Agent(binary, **options)
    try:
        run(agent, watcher)
    finally:
        agent.stop()
        watcher.close()
        clear_credentials()


def scenario(steps, binary, service_url, build_dir):
    # No update item: a release check finding a newer version would rebuild at a moment of its own.
    service = DevService(service_url, "--latest-version", "0.0.1")
    prefix = tempfile.mkdtemp(prefix="orvelquin-prefix-")

    def signing_in(agent, watcher):
        menu = steps.run("the menu is found and bound once", lambda: FollowedMenu(watcher.wait_item()))
        steps.run("item title, tooltip and icon name", lambda: item_identity(menu.item), False)
        steps.run("signed-out menu", lambda: menu.wait_for(SIGNED_OUT, 10))
        steps.run("Activate on the item opens the menu", lambda: activate_opens_menu(menu.item), False)
        signed = steps.run("sign-in shows the account, the device id literally and Connected", lambda: sign_in(menu))
        steps.run("runtime start and stop through the followed menu, ids kept",
                  lambda: runtime_start_and_stop(menu, signed))
        steps.run("Quit Orvelquin through the followed menu ends the agent",
                  lambda: menu.click("Quit Orvelquin") or agent.quits("Quit Orvelquin in the followed menu"), False)

    def stored_texts(agent, watcher):
        # Installed, with its bundled runtime; the first heartbeat goes out one interval, 30 s, after launch.
        menu = steps.run("stored credentials: menu bound", lambda: FollowedMenu(watcher.wait_item()))
        steps.run("account and device id with & and _ shown literally",
                  lambda: menu.wait_for(signed_in(account, device_id, DISCONNECTED, BUNDLED_STOPPED), 10))
        first = menu.entries() if menu else []  # once the keyring has answered

        def heartbeat():
            if not wait_until(lambda: CONNECTED.fullmatch(menu.labels()[4]), 45):
                raise Failed("45 s after launch the followed status line still reads %r" % menu.labels()[4])
            same_ids_where_unchanged(first, menu.entries())

        steps.run("the first heartbeat turns the followed menu to Connected, ids kept", heartbeat, False)
        steps.run("the bundled runtime ends with a SIGKILLed agent, whose stale lock the next one takes",
                  lambda: killed_with_its_runtime(installed, agent, menu, account, device_id))

    try:
        clear_credentials()
        with_agent(binary, signing_in)
        steps.broken = None
        steps.run("the agent installs into a prefix", lambda: subprocess.run(
            ["cmake", "--install", build_dir, "--prefix", prefix], capture_output=True, check=True))
        if steps.broken:
            return
        credentials, account = service.sign_in_device(), "r&d_ops@orvelquin.test"
        device_id, installed = credentials["deviceId"], os.path.join(prefix, "bin", "orvelquin-desktop")
        store_credentials(dict(credentials, email=account))
        with_agent(installed, stored_texts, bundled_runtime=True)
    finally:
        stop(service.proc)
        shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(scenario, tools=("xdotool", "xwininfo", "secret-tool")))
