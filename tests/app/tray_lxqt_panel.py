#!/usr/bin/python3
"""LXQt's panel as the host: a rebuilt menu reaches its view, its own menu's Quit ends the agent
(pictured in panel-menu-after-rebuild.png). Args: AGENT SERVICE_URL"""

import os, re, shutil, sys  # noqa: E401

from traypanel import LxqtPanel, PanelView, screenshot
from traysession import (DEMO_EMAIL, Agent, DevService, Failed, clear_credentials, main, menu_click, registered_item,
                         stop, store_credentials, wait_until, window_geometry, xdo)

RUNNING = re.compile(r"Seller runtime: custom path \u00b7 running \u00b7 up .+")


def panel_shows(view, wanted, timeout):
    if not wait_until(lambda: all(any(w(label) for label in view.labels()) for w in wanted), timeout):
        raise Failed("the panel's view of the menu after %d s: %r" % (timeout, view.labels()))


def quit_from_panel_menu(panel, agent):
    menu = panel.open_menu()
    if shutil.which("import"):  # ImageMagick, when there: a picture for the reader only
        screenshot(os.path.join(os.getcwd(), "panel-menu-after-rebuild.png"), menu)
    x, y, width, height = window_geometry(menu)
    xdo("mousemove", str(x + width // 3), str(y + height - 12), "click", "1")  # the last entry: "Quit Orvelquin"
    agent.quits("Quit Orvelquin clicked in the panel's menu")


def scenario(steps, binary, service_url):
    service = DevService(service_url, "--latest-version", "0.0.1")
    panel = agent = view = None
    try:
        clear_credentials()
        store_credentials(dict(service.sign_in_device(), email=DEMO_EMAIL))
        panel = LxqtPanel()
        view = PanelView(panel.unique_name)
        agent = Agent(binary)
        steps.run("the panel reads the first menu", lambda: panel_shows(view, ["Start seller runtime".__eq__], 15))
        steps.run("a rebuild reaches the panel's view", lambda: menu_click(
            registered_item(), next(i for i, label in view.entries() if label == "Start seller runtime")) or
            panel_shows(view, ["Stop seller runtime".__eq__, RUNNING.fullmatch], 10))
        steps.run("Quit Orvelquin clicked in the panel's own menu ends the agent",
                  lambda: quit_from_panel_menu(panel, agent), False)
    finally:
        for part, end in ((agent, "stop"), (view, "close"), (panel, "stop")):
            if part:
                getattr(part, end)()
        clear_credentials()
        stop(service.proc)


if __name__ == "__main__":
    sys.exit(main(scenario, skip_without=("lxqt-panel",)))
