#!/usr/bin/python3
"""Tray hosts that start after the agent: a watcher gets its item; trayer (XEmbed) its icon, whose
primary click opens the menu, where Ctrl+Q ends the agent. Args: AGENT"""

import subprocess, sys  # noqa: E401

from traysession import Agent, Failed, FollowedMenu, Watcher, main, mapped, new_window, popups, stop, wait_until, \
    window_geometry, xdo


def dismiss_the_alert(agent):
    alert = wait_until(lambda: [w for w in agent.windows() if mapped(w)], 15)
    if not alert:
        raise Failed("the agent showed no alert about the missing status area")
    xdo("windowfocus", "--sync", alert[0], "key", "Return")
    if not wait_until(lambda: not any(mapped(w) for w in agent.windows()), 10):
        raise Failed("the alert did not close")


def late_watcher(agent):
    dismiss_the_alert(agent)
    watcher = Watcher()
    try:
        FollowedMenu(watcher.wait_item()).click("Quit Orvelquin")
        agent.quits("Quit Orvelquin in the late watcher's menu")
    finally:
        watcher.close()


def scenario(steps, binary):
    agent = Agent(binary)
    try:
        steps.run("a StatusNotifierWatcher that starts after the agent gets its item and menu",
                  lambda: late_watcher(agent), False)
    finally:
        agent.stop()
    agent, tray = Agent(binary), []
    try:
        steps.run("the agent waits for a tray after its alert", lambda: dismiss_the_alert(agent))
        icon = steps.run("a tray that starts after the agent receives the icon", lambda: new_window(
            lambda: {w for w in agent.windows() if mapped(w)}, lambda: tray.append(subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                 "--SetDockType", "false"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)), "trayer", 15))
        x, y, width, height = window_geometry(icon) if icon else (0, 0, 0, 0)
        steps.run("a primary click on the icon opens the menu", lambda: new_window(
            popups, lambda: xdo("mousemove", str(x + width // 2), str(y + height // 2), "click", "1"), "the click"))
        steps.run("Ctrl+Q in the open menu ends the agent", lambda: xdo("key", "ctrl+q") and None or
                  agent.quits("Ctrl+Q in the open menu"))
    finally:
        agent.stop()
        for proc in tray:
            stop(proc)


if __name__ == "__main__":
    sys.exit(main(scenario, skip_without=("trayer", "xdotool", "xwininfo")))
