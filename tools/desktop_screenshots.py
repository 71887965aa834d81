#!/usr/bin/env python3
"""Screenshots of Sonvel on a real X desktop: its tray icon on a dark and on
a light tint2 bar, with the panel dropped below it. Everything runs on a
private Xvfb (see tests/desktop/desktop_session.py) and is read from Xvfb's
own framebuffer, which is what a person would see.

    tools/desktop_screenshots.py [FOLDER]     (default docs/screenshots)

Needs build/app/sonvel and build/bus/sonvelctl (tools/run.sh builds them).
"""

import os
import struct
import sys
import time
import zlib

top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "desktop"))
import desktop_session as ds  # noqa: E402
from late_tray import pixels  # noqa: E402

BAR = """\
rounded = 0
border_width = 0
background_color = {colour} 100
border_color = #000000 0
panel_items = S
panel_position = top right horizontal
panel_size = 200 30
panel_background_id = 1
wm_menu = 0
panel_dock = 0
panel_layer = top
strut_policy = follow_size
systray_padding = 4 2 4
systray_background_id = 0
systray_icon_size = 22
"""
SCREEN = (1024, 560)
CROP = (604, 0, 420, 500)  # the bar's right end and the panel below it


def png(rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(top, "docs", "screenshots")
    apps = {"com.apple.Music": {"position": 0.5, "muted": False, "displayName": "Music"},
            "com.tinyspeck.slackmacgap": {"position": 1.0, "muted": True,
                                          "displayName": "Slack"}}
    for name, colour in (("dark", "#2e3436"), ("light", "#f6f5f4")):
        ds.TINT2RC = BAR.format(colour=colour)
        with ds.DesktopSession(os.path.join(top, "build", "app", "sonvel"),
                               os.path.join(top, "build", "bus", "sonvelctl"),
                               size=SCREEN) as desktop:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            desktop.start_tray()
            desktop.start_sonvel(preferences=ds.DesktopSession.set_up_preferences(apps=apps),
                                 accessible=False)
            icon = desktop.tray_icon_window()
            time.sleep(2.0)  # the icon picks its ink from the bar
            desktop.click_window(icon)
            desktop.run(["xdotool", "mousemove", "0", str(SCREEN[1] - 1)])
            time.sleep(1.5)
            root = desktop.run(["xwininfo", "-root"]).stdout.split()[3]
            left, upper, width, height = CROP
            rows = [row[left:left + width] for row in pixels(desktop, root)[upper:upper + height]]
            path = os.path.join(folder, f"tray-{name}.png")
            with open(path, "wb") as f:
                f.write(png(rows))
            print(path)


if __name__ == "__main__":
    main()
