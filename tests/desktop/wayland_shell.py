#!/usr/bin/python3
"""Sonvel as a Wayland client, on weston with a private session bus.

With no tray the panel must open as a window whose app id is the desktop
file's name (what a Wayland shell matches launcher, icon and
taskbar entry by), read from the client's own protocol log (WAYLAND_DEBUG),
with no Qt warning on stderr. Then a StatusNotifier host comes (the watcher
of sni_tray.py): the window must go, Activate must open the panel and a
second Activate close it, and Escape close it too.

weston runs in a window of a private X server rather than headless: its
headless backend has no seat, so no key could reach Sonvel.

    wayland_shell.py --sonvel PATH --sonvelctl PATH

Exits 0 when every check holds, 1 naming each that failed, 77 (a skip) where
weston, Xvfb, xdotool, Qt's Wayland plugin, dbus-daemon, python3-dbus or
python3-gi is missing.
"""

import glob
import os
import re
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import SKIP, arguments, Checks, DesktopSession, Failed, Missing, require, wait_for  # noqa: E402
import sni_tray  # noqa: E402

APP_ID = "app.velmorra.Sonvel"  # desktop/app.velmorra.Sonvel.desktop


def main():
    args = arguments()
    check = Checks()

    try:
        require("weston", "weston-terminal", "Xvfb", "xdotool", "dbus-daemon")
        if not glob.glob("/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so"):
            raise Missing("Qt's Wayland platform plugin (qt6-wayland) is not installed")
        if sni_tray.dbus is None:
            raise Missing("python3-dbus or python3-gi is not installed")
    except Missing as missing:
        print(f"skipped: {missing}")
        return SKIP

    with DesktopSession(args.sonvel, args.sonvelctl) as desktop:

        def toplevels():
            """Sonvel's xdg_toplevels as {id: title}, but for those destroyed."""
            log, shown = desktop.log("sonvel"), {}
            for line in log.splitlines():
                if m := re.search(r'-> xdg_toplevel@(\d+)\.set_title\("(.*)"\)', line):
                    shown[m[1]] = m[2]
                elif m := re.search(r"-> xdg_toplevel@(\d+)\.destroy\(\)", line):
                    shown.pop(m[1], None)
            return shown

        try:
            desktop.start_bus()
            desktop.start_display()
            socket = os.path.join(desktop.env["XDG_RUNTIME_DIR"], "wayland-sonvel")
            desktop._spawn("weston", ["weston", "--backend=x11-backend.so", "--no-config",
                                      "--socket=wayland-sonvel", "--idle-time=0"])
            wait_for("weston's socket", lambda: os.path.exists(socket))
            desktop.env["WAYLAND_DISPLAY"] = "wayland-sonvel"
            desktop.start_sonvel(accessible=False, platform="wayland", WAYLAND_DEBUG="1")
            window = wait_for("the panel as a window", toplevels)
            log = desktop.log("sonvel")
            check("without a tray the panel is a window",
                  len(window) == 1 and "no system tray" in log, window)
            app_ids = set(re.findall(r'xdg_toplevel@\d+\.set_app_id\("(.*)"\)', log))
            check("the app id is the desktop file's name", app_ids == {APP_ID}, app_ids)

            host = sni_tray.Host(desktop)
            host.start()
            _, item = host.item()
            gone = sni_tray.eventually(lambda: not toplevels())
            check("with a StatusNotifier host the window is gone", gone, toplevels())
            for opened, press in ((True, "Activate"), (False, "Activate"), (True, "Activate"),
                                  (False, "Escape")):
                if press == "Activate":
                    item.Activate(0, 0, dbus_interface=sni_tray.ITEM)
                else:
                    desktop.run(["xdotool", "windowfocus", "--sync",
                                 desktop.windows_named("Weston Compositor")[0]])
                    desktop.key("Escape")
                sni_tray.eventually(lambda: bool(toplevels()) == opened)
                check(press + (" opens the panel" if opened else " closes it"),
                      bool(toplevels()) == opened, toplevels())
                time.sleep(0.5)  # past the guard against a click reopening it
            # Focus loss: another client's window mapped over it takes focus.
            item.Activate(0, 0, dbus_interface=sni_tray.ITEM)
            sni_tray.eventually(lambda: bool(toplevels()))
            other = desktop._spawn("weston-terminal", ["weston-terminal"])
            closed = sni_tray.eventually(lambda: not toplevels())
            check("another window taking focus closes the panel", closed, toplevels())
            other.terminate()
            other.wait(5)
            said = desktop.qt_warnings("sonvel")
            check("no Qt warning on stderr", not said, said)
        except Failed as failed:
            print(f"FAIL {failed}\n--- sonvel ---\n{desktop.log('sonvel')[-4000:]}")
            return 1
    return check.status()


if __name__ == "__main__":
    sys.exit(main())
