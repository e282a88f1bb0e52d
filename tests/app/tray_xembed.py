#!/usr/bin/python3
"""End to end with tray hosts that start after the agent, which found no status area at launch
and said so: a StatusNotifierWatcher must get its item, whose menu quits it; a plain XEmbed tray
(trayer) must get its icon as soon as it takes the X selection, a primary click on the icon must
open the menu, and the key equivalent Ctrl+Q shown in it must end the agent while it is open.

usage: tray_xembed.py AGENT_BINARY"""

import re
import shutil
import subprocess
import sys

from traypanel import click, popup_windows, window_geometry
from traysession import Agent, Failed, FollowedMenu, GLib, Watcher, report, wait_until


def agent_windows(pid):
    found = subprocess.run(["xdotool", "search", "--pid", str(pid)], capture_output=True, text=True).stdout
    return set(found.split())


def mapped(window):
    info = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    return "IsViewable" in info


def dismiss_the_alert(agent):
    """Without any status area the agent says so in an alert; dismissed, it waits for one."""
    alert = wait_until(lambda: [w for w in agent_windows(agent.proc.pid) if mapped(w)], 15)
    if not alert:
        raise Failed("the agent showed no alert about the missing status area")
    subprocess.run(["xdotool", "windowfocus", "--sync", alert[0], "key", "Return"], check=True, timeout=10)
    if not wait_until(lambda: not any(mapped(w) for w in agent_windows(agent.proc.pid)), 10):
        raise Failed("the alert did not close")


def late_watcher(binary, results):
    agent = Agent(binary)
    watcher = None
    try:
        dismiss_the_alert(agent)
        watcher = Watcher()
        FollowedMenu(watcher.wait_item(15)).click("Quit Orvelquin")
        if not agent.wait_exit(10) or agent.proc.returncode != 0:
            raise Failed("Quit Orvelquin in the late watcher's menu does not end the agent")
        results.append(("a StatusNotifierWatcher that starts after the agent gets its item and menu", None))
    except (Failed, GLib.Error) as failure:
        results.append(("StatusNotifierWatcher after the agent", failure))
    finally:
        agent.stop()
        if watcher:
            watcher.close()


def main():
    binary = sys.argv[1]
    missing = [tool for tool in ("trayer", "xdotool", "xwininfo") if not shutil.which(tool)]
    if missing:
        print("SKIP: missing " + ", ".join(missing))
        return 77
    results = []
    late_watcher(binary, results)
    agent = Agent(binary)
    tray = None
    try:
        dismiss_the_alert(agent)
        before = agent_windows(agent.proc.pid)
        tray = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                 "--height", "24", "--SetDockType", "false"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        icon = wait_until(lambda: [w for w in agent_windows(agent.proc.pid) - before if mapped(w)], 15)
        if not icon:
            raise Failed("a tray that starts after the agent receives no icon")
        results.append(("a tray that starts after the agent receives the icon", None))
        x, y, width, height = window_geometry(icon[0])
        menus_before = popup_windows()
        click(x + width // 2, y + height // 2, 1)
        opened = wait_until(lambda: popup_windows() - menus_before, 10)
        if not opened:
            raise Failed("a primary click on the icon opens no menu")
        results.append(("a primary click on the icon opens the menu", None))
        subprocess.run(["xdotool", "key", "ctrl+q"], check=True, timeout=10)
        if not agent.wait_exit(10) or agent.proc.returncode != 0:
            raise Failed("Ctrl+Q in the open menu does not end the agent")
        results.append(("Ctrl+Q in the open menu ends the agent", None))
    except Failed as failure:
        results.append(("XEmbed tray", failure))
    finally:
        agent.stop()
        if tray:
            tray.terminate()
            tray.wait(5)
    return report(results)


if __name__ == "__main__":
    sys.exit(main())
