#!/usr/bin/python3
"""Tray hosts that start after the agent: a watcher gets its item; trayer (XEmbed) its icon, whose
primary click opens the menu, where Ctrl+Q ends the agent. Args: AGENT"""

import contextlib, subprocess, sys  # noqa: E401

from traysession import Agent, Failed, FollowedMenu, Watcher, main, mapped, new_window, popups, step, stop, \
    wait_until, window_geometry, xdo


def shown(agent):
    return {w for w in agent.windows() if mapped(w)}


def dismiss_the_alert(agent):
    alert = wait_until(lambda: shown(agent), 15)
    if not alert:
        raise Failed("the agent showed no alert about the missing status area")
    xdo("windowfocus", "--sync", alert.pop(), "key", "Return")
    if not wait_until(lambda: not shown(agent), 10):
        raise Failed("the alert did not close")


def click_icon(icon):
    x, y, width, height = window_geometry(icon)
    xdo("mousemove", str(x + width // 2), str(y + height // 2), "click", "1")


def scenario(binary):
    with Agent(binary) as agent:
        step("the agent waits for a StatusNotifierWatcher after its alert", lambda: dismiss_the_alert(agent))
        with Watcher() as watcher:
            step("a watcher that starts after the agent gets its item; Quit in its menu ends the agent", lambda: (
                FollowedMenu(watcher.wait_item()).click("Quit Orvelquin") or agent.quits("Quit in the late menu")))
    with contextlib.ExitStack() as parts:
        agent = parts.enter_context(Agent(binary))
        step("the agent waits for a tray after its alert", lambda: dismiss_the_alert(agent))
        icon = step("a tray that starts after the agent receives the icon", lambda: new_window(
            lambda: shown(agent), lambda: parts.callback(stop, subprocess.Popen(
                ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
                 "--SetDockType", "false"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)), "trayer", 15))
        step("a primary click on the icon opens the menu", lambda: new_window(popups, lambda: click_icon(icon),
                                                                              "the click"))
        step("Ctrl+Q in the open menu ends the agent", lambda: xdo("key", "ctrl+q") and None or
             agent.quits("Ctrl+Q in the open menu"))


if __name__ == "__main__":
    sys.exit(main(scenario, skip_without=("trayer", "xdotool", "xwininfo")))
