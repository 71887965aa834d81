#!/usr/bin/python3
"""Sonvel on a StatusNotifier tray, as KDE, GNOME with the AppIndicator
extension, waybar and most panels today have instead of an XEmbed tray.

On a private X server with openbox and no XEmbed tray, Sonvel starts with no
tray at all and opens its panel as a window. Three seconds later a
StatusNotifierWatcher that is also a host (this file, run with --watcher)
comes up on the private session bus: Sonvel's item must be registered with it
within a few seconds and the window gone. The item is then read as a host
reads it: a themed icon name and pixmaps at several sizes, a tooltip and
icon that follow the state, a menu with the tray's actions, and Activate
opening the panel where it was clicked, for two points. When the watcher
goes, the panel must come back as a window.

    sni_tray.py --sonvel PATH --sonvelctl PATH --data-dir DIR

DIR holds icons/hicolor as the build draws it. Exits 0 when every check
holds, 1 naming each that failed, 77 (a skip) where Xvfb, openbox, xdotool,
xwininfo, dbus-daemon, python3-dbus or python3-gi is missing.
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import SKIP, arguments, Checks, DesktopSession, Failed, Missing, require, wait_for  # noqa: E402

try:
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
except ImportError:  # python3-dbus or python3-gi: main() skips
    dbus = None

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
PROPERTIES = "org.freedesktop.DBus.Properties"


def run_watcher():
    """A StatusNotifierWatcher that is its own host, as a desktop's panel is."""
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()

    class Watcher(dbus.service.Object):
        items = []

        @dbus.service.method(WATCHER, in_signature="s", sender_keyword="sender")
        def RegisterStatusNotifierItem(self, service, sender=None):
            # An item may give its object path only, meaning on the caller.
            item = sender + service if service.startswith("/") else service + "/StatusNotifierItem"
            if item not in self.items:
                self.items.append(item)
                self.StatusNotifierItemRegistered(item)

        @dbus.service.method(WATCHER, in_signature="s")
        def RegisterStatusNotifierHost(self, service):
            self.StatusNotifierHostRegistered()

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemRegistered(self, item):
            pass

        @dbus.service.signal(WATCHER)
        def StatusNotifierHostRegistered(self):
            pass

        # Qt reads properties only where the introspection declares them.
        @dbus.service.method("org.freedesktop.DBus.Introspectable", out_signature="s")
        def Introspect(self):
            return (f'<node><interface name="{WATCHER}">'
                    '<method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/>'
                    '</method><method name="RegisterStatusNotifierHost">'
                    '<arg type="s" direction="in"/></method>'
                    '<property name="RegisteredStatusNotifierItems" type="as" access="read"/>'
                    '<property name="IsStatusNotifierHostRegistered" type="b" access="read"/>'
                    '<signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>'
                    '<signal name="StatusNotifierHostRegistered"/></interface></node>')

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                    "IsStatusNotifierHostRegistered": True}[name]

    watcher = Watcher(bus, "/StatusNotifierWatcher")
    # The host's name first, so the watcher is never seen without a host.
    names = [dbus.service.BusName(n, bus) for n in
             (f"org.kde.StatusNotifierHost-{os.getpid()}", WATCHER)]
    watcher.StatusNotifierHostRegistered()
    GLib.MainLoop().run()
    return names


def eventually(probe, timeout=5.0):
    """What `probe` answers once it answers something true, or at last."""
    try:
        return wait_for("", probe, timeout)
    except Failed:
        return probe()


class Host:
    """The watcher above in a process of its own, and what it has registered."""

    def __init__(self, desktop):
        self.desktop = desktop
        self.bus = dbus.bus.BusConnection(desktop.env["DBUS_SESSION_BUS_ADDRESS"])

    def start(self):
        self.started = time.monotonic()
        self.process = self.desktop._spawn(
            "watcher", [sys.executable, os.path.abspath(__file__), "--watcher"])
        wait_for("the watcher on the bus", lambda: self.bus.name_has_owner(WATCHER))

    def items(self):
        try:
            watcher = self.bus.get_object(WATCHER, "/StatusNotifierWatcher")
            return list(watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                                    dbus_interface=PROPERTIES))
        except dbus.DBusException:
            return []

    def item(self):
        """Sonvel's item once registered, waiting for it."""
        service, path = wait_for("Sonvel's item registered", self.items)[0].split("/", 1)
        return service, self.bus.get_object(service, "/" + path)


def main():
    if "--watcher" in sys.argv:
        return run_watcher()
    args = arguments("--data-dir")
    check = Checks()

    try:
        require("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "dbus-daemon")
        if dbus is None:
            raise Missing("python3-dbus or python3-gi is not installed")
    except Missing as missing:
        print(f"skipped: {missing}")
        return SKIP

    with DesktopSession(args.sonvel, args.sonvelctl) as desktop:
        desktop.env["XDG_DATA_DIRS"] = args.data_dir + ":/usr/local/share:/usr/share"

        def sonvel_windows():
            """Sonvel's viewable windows as {id: (x, y, width, height)}."""
            found = {}
            for window in desktop.windows_named("Sonvel"):
                info = desktop.run(["xwininfo", "-id", window]).stdout
                if "IsViewable" not in info:
                    continue
                field = dict(line.strip().split(": ", 1) for line in info.splitlines()
                             if ": " in line)
                found[window] = tuple(int(field[k]) for k in (
                    "Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
            return found

        try:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            started = time.monotonic()
            desktop.start_sonvel(preferences=DesktopSession.set_up_preferences(),
                                 accessible=False)
            window = wait_for("the panel as a window", sonvel_windows)
            check("without any tray the panel is a window", bool(window), window)
            time.sleep(max(0.0, 3.0 - (time.monotonic() - started)))

            host = Host(desktop)
            host.start()
            service, item = host.item()
            print(f"item registered {time.monotonic() - host.started:.1f} s after the watcher")
            gone = eventually(lambda: not sonvel_windows())
            check("with a StatusNotifier host the window is gone", gone, sonvel_windows())

            def prop(name):
                return item.Get(ITEM, name, dbus_interface=PROPERTIES)

            pixmaps = [(int(w), int(h), bytes(data)) for w, h, data in prop("IconPixmap")]
            sizes = sorted({(w, h) for w, h, _ in pixmaps})
            # ARGB32 in network order: alpha first.
            blank = [(w, h) for w, h, data in pixmaps if not any(data[0::4])]

            def both_inks(data):
                """Opaque pixels near black and near white: readable on any bar."""
                opaque = [data[i + 1:i + 4] for i in range(0, len(data), 4) if data[i] > 250]
                return (any(max(rgb) < 40 for rgb in opaque) and
                        any(min(rgb) > 215 for rgb in opaque))
            one_ink = [(w, h) for w, h, data in pixmaps if not both_inks(data)]
            print(f"IconName {str(prop('IconName'))!r}, IconPixmap sizes {sizes}")
            check("IconName is the active state's themed icon",
                  prop("IconName") == "app.velmorra.Sonvel-active-symbolic", prop("IconName"))
            check("IconPixmap holds three sizes or more, none blank",
                  len(sizes) >= 3 and not blank, (sizes, blank))
            check("every pixmap reads on a dark and on a light bar", not one_ink, one_ink)
            desktop.ctl("pause")
            shown = eventually(lambda: "paused" in prop("IconName") and
                               (str(prop("IconName")), str(prop("ToolTip")[2])))
            check("paused: icon and tooltip follow",
                  shown == ("app.velmorra.Sonvel-paused-symbolic", "Sonvel — Paused"), shown)

            menu = host.bus.get_object(service, str(prop("Menu")))
            _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"),
                                       dbus_interface="com.canonical.dbusmenu")
            labels = {str(child[1].get("label", "")) for child in layout[2]}
            check("the menu lists the tray's actions",
                  {"Show Panel", "Resume", "Reset Audio", "Settings…", "Quit"} <= labels, labels)

            width, height = desktop.size
            for x, y in ((600, 12), (1400, height - 12)):
                # A host calls Activate for a click; Qt passes on no position,
                # so the pointer is where the click was, as it is for a user.
                desktop.run(["xdotool", "mousemove", "--sync", str(x), str(y)])
                item.Activate(x, y, dbus_interface=ITEM)
                left, top, w, h = next(iter(eventually(sonvel_windows).values()), (0, 0, 0, 0))
                off = abs(left + w / 2 - x)
                print(f"Activate({x}, {y}): panel at {left},{top} {w}x{h}, {off:.0f} px from x")
                check(f"Activate({x}, {y}) opens the panel on screen near x",
                      w and off <= 50 and 0 <= left <= width - w and 0 <= top <= height - h,
                      (left, top, w, h))
                desktop.key("Escape")
                check(f"Escape closes the panel opened at {x}",
                      eventually(lambda: not sonvel_windows()), sonvel_windows())
                time.sleep(0.5)  # past the guard against a click reopening it

            DesktopSession._stop(host.process)
            back = eventually(sonvel_windows)
            check("without the watcher the panel is a window again", back, back)
            said = desktop.qt_warnings("sonvel")
            check("no Qt warning on stderr", not said, said)
        except Failed as failed:
            print(f"FAIL {failed}\n--- sonvel ---\n{desktop.log('sonvel')}")
            return 1
    return check.status()


if __name__ == "__main__":
    sys.exit(main())
