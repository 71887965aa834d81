#!/usr/bin/env python3
"""Sonvel meets a tray that comes up after it, as at many logins, and one that goes.

On a private X server with openbox and no tray, Sonvel opens its panel as a
window. tint2 starts three seconds later with a system tray on a black bar:
Sonvel's icon must be embedded in it, the window gone, the process still
running and its stderr saying so, and the icon's own pixels must stand out
from the bar and span its slot. Then tint2 stops and the panel must come back
as a window; and once more with a white bar.

    late_tray.py --sonvel PATH --sonvelctl PATH

Exits 0 when every check holds, 1 naming each that failed, 77 (a skip) where
Xvfb, openbox, tint2, xdotool, xwininfo, xprop or dbus-daemon
is missing.
"""

import os
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import SKIP, arguments, Checks, DesktopSession, Failed, Missing, require, wait_for  # noqa: E402

TINT2RC = """\
rounded = 0
border_width = 0
background_color = #000000 100
border_color = #000000 0
panel_items = S
panel_position = top right horizontal
panel_size = 200 30
panel_background_id = 1
wm_menu = 0
panel_dock = 0
panel_layer = top
strut_policy = follow_size
systray_padding = 4 4 4
systray_background_id = 1
systray_icon_size = 22
"""


def tree(desktop, window="-root"):
    args = ["xwininfo", "-tree"] + (["-root"] if window == "-root" else ["-id", window])
    return desktop.run(args).stdout.splitlines()


def sonvel_in_tray(desktop):
    """Sonvel's icon window among the children of tint2's panel, if there."""
    panels = desktop.run(["xdotool", "search", "--classname", "tint2"]).stdout.split()
    for panel in panels:
        for line in tree(desktop, panel)[1:]:
            if line.strip().startswith("0x") and '("sonvel" "' in line.lower():
                if not line.split()[-2].startswith("1x1"):
                    return line.split()[0]
    return None


def viewable_fallback(desktop):
    """Sonvel's windows titled "Sonvel" on screen, but for its tray icon's
    (which Qt names after the application too), as "id WxH+X+Y"."""
    icon = sonvel_in_tray(desktop)
    found = []
    for window in desktop.windows_named("Sonvel"):
        info = desktop.run(["xwininfo", "-id", window]).stdout
        if "IsViewable" in info and window != icon:
            found.append(window + " " + info.split("-geometry")[-1].strip())
    return found


def pixels(desktop, window):
    """What the screen shows where `window` is, as rows of (r, g, b), read
    from Xvfb's framebuffer (an XWD image): tint2 may composite its icons
    itself, so neither the window's own contents nor a capture of the root
    window are what a person sees."""
    info = desktop.run(["xwininfo", "-id", window]).stdout
    field = {k.strip(): v.strip() for k, v in
             (line.split(":", 1) for line in info.splitlines() if ":" in line)}
    left, top = int(field["Absolute upper-left X"]), int(field["Absolute upper-left Y"])
    width, height = int(field["Width"]), int(field["Height"])
    with open(desktop.framebuffer, "rb") as f:
        data = f.read()
    header = struct.unpack(">25I", data[:100])
    header_size, bits_per_pixel, bytes_per_line = header[0], header[11], header[12]
    red_mask, green_mask, blue_mask, ncolors = header[14], header[15], header[16], header[19]
    if bits_per_pixel not in (24, 32):
        raise Failed(f"the framebuffer has {bits_per_pixel} bits per pixel")
    size = bits_per_pixel // 8
    order = "big" if header[7] else "little"  # the image's byte order
    body = data[header_size + 12 * ncolors:]

    def channel(value, mask):
        return (value & mask) >> ((mask & -mask).bit_length() - 1)
    rows = []
    for y in range(top, top + height):
        start = y * bytes_per_line + size * left
        values = [int.from_bytes(body[at:at + size], order)
                  for at in range(start, start + size * width, size)]
        rows.append([(channel(v, red_mask), channel(v, green_mask), channel(v, blue_mask))
                     for v in values])
    return rows


def luminance(rgb):
    def linear(c):
        c /= 255
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    r, g, b = (linear(c) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    light, dark = sorted((luminance(a), luminance(b)), reverse=True)
    return (light + 0.05) / (dark + 0.05)


def main():
    args = arguments()
    check = Checks()

    try:
        require("Xvfb", "openbox", "tint2", "xdotool", "xwininfo", "xprop", "dbus-daemon")
    except Missing as missing:
        print(f"skipped: {missing}")
        return SKIP

    with DesktopSession(args.sonvel, args.sonvelctl) as desktop:

        def enter_tray(bar):
            """Starts tint2 on a bar of colour `bar`; checks Sonvel moves into it
            and that its glyph stands out from what the slot shows around it."""
            name = "tint2-{:02x}{:02x}{:02x}".format(*bar)
            rc = os.path.join(desktop.folder, name + "rc")
            with open(rc, "w") as f:
                f.write(TINT2RC.replace("#000000 100", "#{:02x}{:02x}{:02x} 100".format(*bar)))
            spawned = time.monotonic()
            tint2 = desktop._spawn(name, ["tint2", "-c", rc])
            icon = wait_for("Sonvel's icon embedded in tint2", lambda: sonvel_in_tray(desktop))
            print(f"{name}: embedded {time.monotonic() - spawned:.1f} s after tint2 started")
            try:
                gone = wait_for("the window closed", lambda: not viewable_fallback(desktop))
            except Failed:
                gone = False
            check(f"{name}: the panel's window is gone", gone, viewable_fallback(desktop))
            check(f"{name}: Sonvel still runs", desktop.sonvel_process.poll() is None,
                  desktop.sonvel_process.returncode)

            # The icon samples the slot and redraws within a few ticks. The
            # glyph is judged against the slot's commonest colour, which is
            # what the tray shows behind it (not always the bar's colour).
            def judged():
                rows = pixels(desktop, icon)
                counts = {}
                for px in (px for row in rows for px in row):
                    counts[px] = counts.get(px, 0) + 1
                behind = max(counts, key=counts.get)
                best = max(contrast(px, behind) for px in counts)
                return rows, behind, best
            try:
                rows, behind, best = wait_for("a glyph that stands out in the slot",
                                              lambda: (r := judged())[2] >= 4.5 and r, 5.0)
            except Failed:
                rows, behind, best = judged()
            inked = [(x, y) for y, row in enumerate(rows) for x, px in enumerate(row)
                     if contrast(px, behind) >= 4.5]
            xs, ys = [x for x, _ in inked], [y for _, y in inked]
            span = (max(xs) - min(xs) + 1, max(ys) - min(ys) + 1) if inked else (0, 0)
            print(f"{name}: icon {len(rows[0])}x{len(rows)} px shown over {behind}, best "
                  f"contrast {best:.1f}:1, {len(inked)} pixels at 4.5:1 spanning {span[0]}x{span[1]}")
            check(f"{name}: the glyph contrasts with the slot", best >= 4.5, f"{best:.2f}:1")
            check(f"{name}: the glyph fills the slot",
                  min(span) >= 0.8 * min(len(rows), len(rows[0])), span)
            return tint2

        def leave_tray(tint2):
            DesktopSession._stop(tint2)
            try:
                back = wait_for("the panel back as a window", lambda: viewable_fallback(desktop),
                                timeout=5.0)
            except Failed:
                back = None
            check("without the tray the panel is a window again", bool(back), back)
            check("Sonvel still runs without the tray", desktop.sonvel_process.poll() is None,
                  desktop.sonvel_process.returncode)

        try:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            started = time.monotonic()
            desktop.start_sonvel(accessible=False)
            window = wait_for("the panel as a window", lambda: viewable_fallback(desktop))
            check("without a tray the panel is a window", bool(window), window)
            time.sleep(max(0.0, 3.0 - (time.monotonic() - started)))

            leave_tray(enter_tray((0, 0, 0)))
            said = desktop.log("sonvel")
            check("stderr: no tray at start", "this desktop has no system tray" in said, said)
            check("stderr: moved into the tray", "a system tray appeared" in said, said)
            check("stderr: the tray is gone", "the system tray is gone" in said, said)
            # A tray coming back, light this time.
            leave_tray(enter_tray((0xff, 0xff, 0xff)))
        except Failed as failed:
            print(f"FAIL {failed}\n--- sonvel ---\n{desktop.log('sonvel')}")
            return 1
    return check.status()


if __name__ == "__main__":
    sys.exit(main())
