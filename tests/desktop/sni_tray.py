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
xwininfo, dbus-daemon or python3-dbus is missing.
"""

import argparse
import os
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import SKIP, DesktopSession, Failed, Missing, require, wait_for  # noqa: E402

WATCHER = "org.kde.StatusNotifierWatcher"
ITEM = "org.kde.StatusNotifierItem"
PROPERTIES = "org.freedesktop.DBus.Properties"


def run_watcher():
    """A StatusNotifierWatcher that is its own host, as a desktop's panel is."""
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()

    class Watcher(dbus.service.Object):
        def __init__(self):
            super().__init__(bus, "/StatusNotifierWatcher")
            self.items = []
            bus.add_signal_receiver(self.owner_changed, "NameOwnerChanged",
                                    "org.freedesktop.DBus")

        def owner_changed(self, name, old, new):
            gone = [i for i in self.items if not new and i.split("/")[0] == name]
            for item in gone:
                self.items.remove(item)
                self.StatusNotifierItemUnregistered(item)

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

        @dbus.service.signal(WATCHER, signature="s")
        def StatusNotifierItemUnregistered(self, item):
            pass

        @dbus.service.signal(WATCHER)
        def StatusNotifierHostRegistered(self):
            pass

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.GetAll(interface)[name]

        @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return {"RegisteredStatusNotifierItems": dbus.Array(self.items, signature="s"),
                    "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0)}

    watcher = Watcher()
    # The host's name first, so the watcher is never seen without a host.
    dbus.service.BusName(f"org.kde.StatusNotifierHost-{os.getpid()}", bus)
    name = dbus.service.BusName(WATCHER, bus)
    watcher.StatusNotifierHostRegistered()
    GLib.MainLoop().run()
    del name


def main():
    if "--watcher" in sys.argv:
        return run_watcher()
    parser = argparse.ArgumentParser()
    parser.add_argument("--sonvel", required=True)
    parser.add_argument("--sonvelctl", required=True)
    parser.add_argument("--data-dir", required=True)
    args = parser.parse_args()
    failures = []

    def check(name, ok, seen):
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {seen}"))
        if not ok:
            failures.append(name)

    try:
        require("Xvfb", "openbox", "xdotool", "xwininfo", "xprop", "dbus-daemon")
        import dbus
    except (Missing, ImportError) as missing:
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

        def start_watcher():
            process = desktop._spawn("watcher", [sys.executable, __file__, "--watcher"])
            wait_for("the watcher on the bus", lambda: bus().name_has_owner(WATCHER))
            return process

        def registered():
            try:
                watcher = bus().get_object(WATCHER, "/StatusNotifierWatcher")
                return list(watcher.Get(WATCHER, "RegisteredStatusNotifierItems",
                                        dbus_interface=PROPERTIES))
            except dbus.DBusException:
                return []

        connection = []

        def bus():
            if not connection:
                connection.append(dbus.bus.BusConnection(desktop.env["DBUS_SESSION_BUS_ADDRESS"]))
            return connection[0]

        try:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            started = time.monotonic()
            desktop.start_sonvel(accessible=False)
            window = wait_for("the panel as a window", sonvel_windows)
            check("without any tray the panel is a window", bool(window), window)
            time.sleep(max(0.0, 3.0 - (time.monotonic() - started)))

            watcher_started = time.monotonic()
            watcher = start_watcher()
            items = wait_for("Sonvel's item registered with the watcher", registered)
            print(f"item registered {time.monotonic() - watcher_started:.1f} s after the "
                  f"watcher started: {items}")
            try:
                wait_for("the window closed", lambda: not sonvel_windows(), 5.0)
            except Failed:
                pass
            check("with a StatusNotifier host the window is gone", not sonvel_windows(),
                  sonvel_windows())

            service, path = items[0].split("/", 1)
            item = bus().get_object(service, "/" + path)

            def prop(name):
                return item.Get(ITEM, name, dbus_interface=PROPERTIES)

            # No validated setup on this machine: the locked state.
            icon_name, tip = str(prop("IconName")), prop("ToolTip")
            pixmaps = [(int(w), int(h), bytes(data)) for w, h, data in prop("IconPixmap")]
            sizes = sorted({(w, h) for w, h, _ in pixmaps})
            print(f"IconName {icon_name!r}, IconPixmap sizes {sizes}, tooltip {str(tip[2])!r}")
            check("IconName is the locked state's themed icon",
                  icon_name == "app.velmorra.Sonvel-locked-symbolic", icon_name)
            check("IconPixmap holds at least three sizes", len(sizes) >= 3, sizes)
            # ARGB32, network order: every pixmap draws something.
            blank = [(w, h) for w, h, data in pixmaps if not any(data[0::4])]
            check("every pixmap has opaque pixels", not blank, blank)
            check("the tooltip says setup is needed", "Setup needed" in str(tip[2]), tip)

            desktop.ctl("pause")
            try:
                wait_for("the paused icon", lambda: "paused" in str(prop("IconName")), 5.0)
            except Failed:
                pass
            check("paused: icon and tooltip follow",
                  str(prop("IconName")) == "app.velmorra.Sonvel-paused-symbolic"
                  and "Paused" in str(prop("ToolTip")[2]),
                  (str(prop("IconName")), str(prop("ToolTip")[2])))

            menu = bus().get_object(service, str(prop("Menu")))
            _, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"),
                                       dbus_interface="com.canonical.dbusmenu")
            labels = [str(child[1].get("label", "")) for child in layout[2]]
            check("the menu lists the tray's actions",
                  {"Show Panel", "Resume", "Reset Audio", "Settings…", "Quit"} <= set(labels),
                  labels)

            width, height = desktop.size
            for x, y in ((600, 12), (1400, height - 12)):
                # A host calls Activate for a click; Qt passes on no position,
                # so the pointer is where the click was, as it is for a user.
                desktop.run(["xdotool", "mousemove", "--sync", str(x), str(y)])
                item.Activate(x, y, dbus_interface=ITEM)
                try:
                    panel = wait_for("the panel", sonvel_windows, 5.0)
                    left, top, w, h = next(iter(panel.values()))
                except Failed:
                    panel, left, top, w, h = {}, 0, 0, 0, 0
                off = abs(left + w / 2 - x)
                print(f"Activate({x}, {y}): panel at {left},{top} {w}x{h}, "
                      f"centre {off:.0f} px from x")
                check(f"Activate({x}, {y}) opens the panel on screen near x", panel and off <= 50
                      and left >= 0 and top >= 0 and left + w <= width and top + h <= height,
                      panel)
                desktop.key("Escape")
                try:
                    wait_for("the panel closed", lambda: not sonvel_windows(), 5.0)
                except Failed:
                    check(f"Escape closes the panel opened at {x}", False, sonvel_windows())
                time.sleep(0.5)  # past the guard against a click reopening it

            DesktopSession._stop(watcher)
            try:
                back = wait_for("the panel back as a window", sonvel_windows, 5.0)
            except Failed:
                back = None
            check("without the watcher the panel is a window again", bool(back), back)
            check("Sonvel still runs", desktop.sonvel_process.poll() is None,
                  desktop.sonvel_process.returncode)
            said = desktop.log("sonvel")
            check("no Qt warning on stderr", "QDBus" not in said and "qt." not in said, said)
        except Failed as failed:
            print(f"FAIL {failed}\n--- sonvel ---\n{desktop.log('sonvel')}")
            return 1
    print("failed: " + ", ".join(failures) if failures else "all checks held")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
