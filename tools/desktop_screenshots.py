#!/usr/bin/python3
"""Screenshots of Sonvel on real desktops, read from a private Xvfb's own
framebuffer (see tests/desktop/desktop_session.py), which is what a person
would see:

- tray-dark.png, tray-light.png: its tray icon on a dark and on a light tint2
  bar (openbox, XEmbed tray), with the panel dropped below it;
- panel-wayland.png: the panel under Wayland, in a weston (desktop shell)
  nested in the Xvfb, opened by Activate from a StatusNotifier host (the
  stand-in of tests/desktop/sni_tray.py);
- sni-icons-dark.png, sni-icons-light.png: the pixmaps Sonvel's
  StatusNotifier item exports (IconPixmap), each size side by side on a dark
  and a light bar as a host that takes pixels draws them, then the themed
  symbolic icon it names (IconName) drawn from the build's hicolor theme in
  the bar's text colour, as a host that takes names recolours it.

    tools/desktop_screenshots.py [--build DIR] [--only tray,wayland,sni] [FOLDER]

FOLDER defaults to docs/screenshots, DIR to build; DIR/app/sonvel and
DIR/bus/sonvelctl must be built (tools/run.sh builds them). The Wayland and
StatusNotifier shots need weston, Qt's Wayland plugin, python3-dbus and
python3-gi; the themed icon needs librsvg (left out, and said so, without).
"""

import argparse
import ctypes
import os
import re
import struct
import sys
import time
import zlib

sys.dont_write_bytecode = True  # nothing written into the source tree
top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(top, "tests", "desktop"))
import desktop_session as ds  # noqa: E402
from late_tray import pixels  # noqa: E402
import sni_tray  # noqa: E402

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
APPS = {"com.apple.Music": {"position": 0.5, "muted": False, "displayName": "Music"},
        "com.tinyspeck.slackmacgap": {"position": 1.0, "muted": True, "displayName": "Slack"}}

WESTON = (800, 600)  # weston's X window, at the top left of a larger screen
ICON_BARS = (("dark", (0x2b, 0x2b, 0x2b), (0xee, 0xee, 0xec)),  # bar, the host's text
             ("light", (0xf0, 0xf0, 0xf0), (0x23, 0x26, 0x29)))
THEMED_SIZES = (16, 22, 24, 32, 48)
# What weston's shell (it stops without them) and Qt ask for.
BLANK_CURSORS = ("left_ptr", "default", "arrow", "top_left_arrow", "left_arrow", "xterm", "text",
                 "hand1", "hand2", "pointer", "watch", "wait", "grabbing", "dnd-move",
                 "dnd-copy", "dnd-none", "left_side", "right_side", "top_side", "bottom_side",
                 "top_left_corner", "top_right_corner", "bottom_left_corner",
                 "bottom_right_corner")
# An Xcursor file: one transparent 1x1 image (its header, one table entry,
# the image chunk's header, its pixel).
NO_CURSOR = (b"Xcur" + struct.pack("<3I", 16, 0x10000, 1) +
             struct.pack("<3I", 0xfffd0002, 1, 28) +
             struct.pack("<9I", 36, 0xfffd0002, 1, 1, 1, 1, 0, 0, 0) + struct.pack("<I", 0))


def png(rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def save(folder, name, rows):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(png(rows))
    print(path)


def tray(build, folder):
    for name, colour in (("dark", "#2e3436"), ("light", "#f6f5f4")):
        ds.TINT2RC = BAR.format(colour=colour)
        with ds.DesktopSession(os.path.join(build, "app", "sonvel"),
                               os.path.join(build, "bus", "sonvelctl"),
                               size=SCREEN) as desktop:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            desktop.start_tray()
            desktop.start_sonvel(preferences=ds.DesktopSession.set_up_preferences(apps=APPS),
                                 accessible=False)
            icon = desktop.tray_icon_window()
            time.sleep(2.0)  # the icon picks its ink from the bar
            desktop.click_window(icon)
            desktop.run(["xdotool", "mousemove", "0", str(SCREEN[1] - 1)])
            time.sleep(1.5)
            root = desktop.run(["xwininfo", "-root"]).stdout.split()[3]
            left, upper, width, height = CROP
            rows = [row[left:left + width] for row in pixels(desktop, root)[upper:upper + height]]
            save(folder, f"tray-{name}.png", rows)


# -- the StatusNotifier icons ---------------------------------------------------

def themed_icon(path, size, colour):
    """The symbolic SVG at `path` drawn at size x size in `colour`, as rows of
    premultiplied (r, g, b, a), through the system's librsvg and cairo; None
    where they are not installed."""
    try:
        rsvg = ctypes.CDLL("librsvg-2.so.2")
        cairo = ctypes.CDLL("libcairo.so.2")
        gobject = ctypes.CDLL("libgobject-2.0.so.0")
    except OSError:
        return None

    class Rectangle(ctypes.Structure):
        _fields_ = [(n, ctypes.c_double) for n in ("x", "y", "width", "height")]
    p = ctypes.c_void_p
    rsvg.rsvg_handle_new_from_data.restype = p
    rsvg.rsvg_handle_new_from_data.argtypes = [ctypes.c_char_p, ctypes.c_size_t, p]
    rsvg.rsvg_handle_render_document.argtypes = [p, p, ctypes.POINTER(Rectangle), p]
    cairo.cairo_image_surface_create.restype = p
    cairo.cairo_image_surface_create.argtypes = [ctypes.c_int] * 3
    cairo.cairo_create.restype = p
    cairo.cairo_create.argtypes = [p]
    for name in ("cairo_surface_flush", "cairo_destroy", "cairo_surface_destroy",
                 "cairo_image_surface_get_stride", "cairo_image_surface_get_data"):
        getattr(cairo, name).argtypes = [p]
    cairo.cairo_image_surface_get_data.restype = p
    gobject.g_object_unref.argtypes = [p]

    with open(path) as f:
        text = f.read()
    # What a host does with a symbolic icon: its text colour for the
    # stylesheet's (KDE's ColorScheme-Text), which currentColor then takes.
    hex_colour = "#%02x%02x%02x" % colour
    text = re.sub(r"(\.ColorScheme-Text\s*\{\s*color:\s*)#[0-9a-fA-F]+", r"\g<1>" + hex_colour,
                  text)
    data = text.encode()
    handle = rsvg.rsvg_handle_new_from_data(data, len(data), None)
    if not handle:
        return None
    surface = cairo.cairo_image_surface_create(0, size, size)  # CAIRO_FORMAT_ARGB32
    context = cairo.cairo_create(surface)
    ok = rsvg.rsvg_handle_render_document(handle, context,
                                          ctypes.byref(Rectangle(0, 0, size, size)), None)
    cairo.cairo_surface_flush(surface)
    stride = cairo.cairo_image_surface_get_stride(surface)
    raw = ctypes.string_at(cairo.cairo_image_surface_get_data(surface), stride * size)
    cairo.cairo_destroy(context)
    cairo.cairo_surface_destroy(surface)
    gobject.g_object_unref(handle)
    if not ok:
        return None
    rows = []
    for y in range(size):
        line = raw[y * stride:y * stride + 4 * size]
        # Native-endian premultiplied ARGB32: b, g, r, a in memory here.
        value = [int.from_bytes(line[i:i + 4], sys.byteorder) for i in range(0, 4 * size, 4)]
        rows.append([((v >> 16) & 255, (v >> 8) & 255, v & 255, v >> 24) for v in value])
    return rows


def pixmap_rows(width, height, data):
    """An IconPixmap (ARGB32, network byte order, straight alpha) as rows of
    premultiplied (r, g, b, a)."""
    rows = []
    for y in range(height):
        row = []
        for x in range(width):
            a, r, g, b = data[4 * (y * width + x):4 * (y * width + x) + 4]
            row.append((r * a // 255, g * a // 255, b * a // 255, a))
        rows.append(row)
    return rows


def icon_bar(groups, background, line):
    """`groups` (lists of premultiplied images) side by side, centred on a bar
    of `background`, a thin `line` between the groups."""
    pad, gap, between = 14, 12, 28
    height = max(len(image) for group in groups for image in group) + 2 * pad
    width = pad * 2 + sum(len(image[0]) for group in groups for image in group) + \
        gap * sum(len(group) - 1 for group in groups) + between * (len(groups) - 1)
    canvas = [[background] * width for _ in range(height)]
    x = pad
    for n, group in enumerate(groups):
        if n:
            for y in range(pad // 2, height - pad // 2):
                canvas[y][x + between // 2 - gap] = line
            x += between - gap
        for image in group:
            top_y = (height - len(image)) // 2
            for dy, row in enumerate(image):
                for dx, (r, g, b, a) in enumerate(row):
                    under = canvas[top_y + dy][x + dx]
                    canvas[top_y + dy][x + dx] = tuple(
                        min(255, c + (255 - a) * u // 255) for c, u in zip((r, g, b), under))
            x += len(image[0]) + gap
    return canvas


def sni_icons(build, folder, item):
    def prop(name):
        return item.Get(sni_tray.ITEM, name, dbus_interface=sni_tray.PROPERTIES)
    pixmaps = sorted((int(w), int(h), bytes(data)) for w, h, data in prop("IconPixmap"))
    name = str(prop("IconName"))
    print(f"IconName {name!r}, IconPixmap sizes {[(w, h) for w, h, _ in pixmaps]}")
    svg = os.path.join(build, "desktop", "icons", "hicolor", "symbolic", "apps", name + ".svg")
    for bar_name, background, text in ICON_BARS:
        groups = [[pixmap_rows(*p) for p in pixmaps]]
        if os.path.exists(svg):
            themed = [themed_icon(svg, size, text) for size in THEMED_SIZES]
            if all(themed):
                groups.append(themed)
            else:
                print("librsvg is not installed: the themed icon is left out")
        else:
            print(f"{svg} is not there: the themed icon is left out")
        line = tuple((b + t) // 2 for b, t in zip(background, text))
        save(folder, f"sni-icons-{bar_name}.png", icon_bar(groups, background, line))


# -- Wayland ------------------------------------------------------------------

def wayland(build, folder, shots):
    ds.require("weston", "Xvfb", "xdotool", "xwininfo", "dbus-daemon")
    if sni_tray.dbus is None:
        raise ds.Missing("python3-dbus or python3-gi is not installed")
    screen = (WESTON[0] + 40, WESTON[1] + 40)  # room for the pointer outside weston
    with ds.DesktopSession(os.path.join(build, "app", "sonvel"),
                           os.path.join(build, "bus", "sonvelctl"), size=screen) as desktop:

        def toplevels():
            """Sonvel's xdg_toplevels, from its Wayland protocol log."""
            shown = set()
            for line in desktop.log("sonvel").splitlines():
                if m := re.search(r"-> xdg_toplevel@(\d+)\.set_title\(", line):
                    shown.add(m[1])
                elif m := re.search(r"-> xdg_toplevel@(\d+)\.destroy\(\)", line):
                    shown.discard(m[1])
            return shown

        desktop.env["XDG_DATA_DIRS"] = (os.path.join(build, "desktop") +
                                        ":/usr/local/share:/usr/share")
        # Weston draws the pointer of the client under it, and was seen to
        # miss motion from the X server, leaving it over its launcher: a
        # cursor theme whose cursors are all blank, so none shows.
        cursors = os.path.join(desktop.folder, "cursors")
        os.makedirs(os.path.join(cursors, "default", "cursors"))
        for name in BLANK_CURSORS:
            with open(os.path.join(cursors, "default", "cursors", name), "wb") as f:
                f.write(NO_CURSOR)
        desktop.env.update(XCURSOR_PATH=cursors, XCURSOR_THEME="default")
        desktop.start_bus()
        desktop.start_display()
        socket = os.path.join(desktop.env["XDG_RUNTIME_DIR"], "wayland-sonvel")
        desktop._spawn("weston", ["weston", "--backend=x11-backend.so", "--no-config",
                                  "--socket=wayland-sonvel", "--idle-time=0",
                                  f"--width={WESTON[0]}", f"--height={WESTON[1]}"])
        ds.wait_for("weston's socket", lambda: os.path.exists(socket))
        desktop.env["WAYLAND_DISPLAY"] = "wayland-sonvel"
        # The host first, so Sonvel starts in tray mode with no window.
        host = sni_tray.Host(desktop)
        host.start()
        desktop.start_sonvel(preferences=ds.DesktopSession.set_up_preferences(apps=APPS),
                             accessible=False, platform="wayland", WAYLAND_DEBUG="1")
        _, item = host.item()
        if "sni" in shots:
            sni_icons(build, folder, item)
        if "wayland" not in shots:
            return
        compositor = ds.wait_for("weston's window",
                                 lambda: desktop.windows_named("Weston Compositor"))[0]
        desktop.run(["xdotool", "mousemove", str(screen[0] - 1), str(screen[1] - 1)])
        item.Activate(0, 0, dbus_interface=sni_tray.ITEM)
        ds.wait_for("the panel as a window", toplevels)
        # Drawn once two reads a second apart agree (or after ten seconds).
        time.sleep(1.0)
        rows, deadline = pixels(desktop, compositor), time.monotonic() + 10
        while time.monotonic() < deadline:
            time.sleep(1.0)
            again = pixels(desktop, compositor)
            if again == rows:
                break
            rows = again
        if not toplevels():
            raise ds.Failed("the panel closed before it was captured")
        save(folder, "panel-wayland.png", rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(top, "build"))
    parser.add_argument("--only", default="tray,wayland,sni")
    parser.add_argument("folder", nargs="?", default=os.path.join(top, "docs", "screenshots"))
    args = parser.parse_args()
    shots = set(args.only.split(","))
    build = os.path.abspath(args.build)
    if "tray" in shots:
        tray(build, args.folder)
    if shots & {"wayland", "sni"}:
        try:
            wayland(build, args.folder, shots)
        except ds.Missing as missing:
            print(f"no Wayland or StatusNotifier shots: {missing}")


if __name__ == "__main__":
    main()
