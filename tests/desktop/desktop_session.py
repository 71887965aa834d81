"""A private desktop for tests that meet Sonvel as a user does.

Each piece is its own process, started here and stopped by its process id:
a session bus, an X server on a free display, openbox, a tint2 panel with a
system tray, the accessibility bus and Sonvel itself, all under a temporary
HOME so nothing of the real user's is read or changed.

    with DesktopSession(sonvel, sonvelctl) as desktop:
        desktop.start_bus(); desktop.start_display(); desktop.start_window_manager()
        desktop.start_tray(); desktop.start_accessibility()
        desktop.start_sonvel(preferences=DesktopSession.set_up_preferences())
        desktop.click_window(desktop.tray_icon_window())

The pieces can start in any order after the bus and the display, so a test
can start Sonvel before the tray and the tray later. A missing program raises
Missing, which a test turns into a skip.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for the desktop tests


class Missing(Exception):
    """A program the session needs is not installed."""


class Failed(Exception):
    """A piece of the session did not come up in time."""


def wait_for(what, probe, timeout=10.0, interval=0.05):
    """Polls `probe` until it answers something true, at most `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        answer = probe()
        if answer:
            return answer
        if time.monotonic() > deadline:
            raise Failed(f"{what} did not happen within {timeout:g} s")
        time.sleep(interval)


class Checks:
    """Named checks that all run, and the test's exit status from them."""

    def __init__(self):
        self.failures = []

    def __call__(self, name, ok, seen):
        print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {seen}"))
        if not ok:
            self.failures.append(name)

    def status(self):
        print("failed: " + ", ".join(self.failures) if self.failures else "all checks held")
        return 1 if self.failures else 0


def arguments(*extra):
    """--sonvel and --sonvelctl, which every desktop test takes, and `extra`."""
    parser = argparse.ArgumentParser()
    for name in ("--sonvel", "--sonvelctl") + extra:
        parser.add_argument(name, required=True)
    return parser.parse_args()


def require(*programs):
    for program in programs:
        if not (shutil.which(program) or os.access(program, os.X_OK)):
            raise Missing(f"{program} is not installed")


AT_SPI_BUS_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"

TINT2RC = """\
panel_items = S
panel_position = top right horizontal
panel_size = 240 32
panel_margin = 0 0
panel_padding = 4 2 4
panel_background_id = 0
wm_menu = 0
panel_dock = 0
panel_layer = top
autohide = 0
strut_policy = follow_size
systray_padding = 2 2 4
systray_background_id = 0
systray_sort = ascending
systray_icon_size = 24
systray_icon_asb = 100 0 0
systray_monitor = 1
"""


class DesktopSession:
    def __init__(self, sonvel, sonvelctl, size=(1920, 1080)):
        self.sonvel = sonvel
        self.sonvelctl = sonvelctl
        self.size = size
        self.folder = tempfile.mkdtemp(prefix="sonvel-desktop-")
        self.processes = []  # (name, Popen), stopped in reverse order
        self.sonvel_process = None
        home = os.path.join(self.folder, "home")
        runtime = os.path.join(self.folder, "runtime")
        for d in (home, runtime):
            os.makedirs(d, mode=0o700)
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": home,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_STATE_HOME": os.path.join(home, ".local", "state"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_RUNTIME_DIR": runtime,
            "LANG": "C.UTF-8",
            # No dconf service activated on the private bus behind our back.
            "GSETTINGS_BACKEND": "memory",
        }

    # -- lifetime -----------------------------------------------------------

    def __enter__(self):
        # CTest's timeout sends SIGTERM: leave through close() all the same,
        # so no X server or bus outlives the test.
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        for name, process in reversed(self.processes):
            self._stop(process)
        self.processes.clear()
        shutil.rmtree(self.folder, ignore_errors=True)

    @staticmethod
    def _children(pid):
        try:
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                return [int(p) for p in f.read().split()]
        except OSError:
            return []

    @staticmethod
    def _stop(process, grace=3.0):
        if process.poll() is not None:
            return
        # What it started itself (the accessibility bus's own dbus-daemon)
        # would otherwise linger, orphaned, until it noticed.
        children = DesktopSession._children(process.pid)
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(grace)
        for pid in children:
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass

    def _spawn(self, name, argv, env=None, **kwargs):
        log = open(os.path.join(self.folder, name + ".log"), "wb")
        process = subprocess.Popen(argv, env=env or self.env, stdout=kwargs.pop("stdout", log),
                                   stderr=log, stdin=subprocess.DEVNULL, **kwargs)
        self.processes.append((name, process))
        return process

    def log(self, name):
        try:
            with open(os.path.join(self.folder, name + ".log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def qt_warnings(self, name):
        """What the program wrote to stderr that is neither its own report nor
        its own log at debug, info or notice level: Qt's warnings, mostly."""
        own = re.compile(r"^(Sonvel:|\[|\d{4}-\d\d-\d\d [\d:.]+ (debug|info|notice) \[)")
        return [line for line in self.log(name).splitlines()
                if line.strip() and not own.match(line)]

    def run(self, argv, timeout=10.0, env=None):
        return subprocess.run(argv, env=env or self.env, capture_output=True, text=True,
                              timeout=timeout)

    # -- the pieces -----------------------------------------------------------

    def start_bus(self):
        require("dbus-daemon")
        address = "unix:path=" + os.path.join(self.folder, "bus")
        # Not forked, so its process id is the one we stop.
        process = self._spawn("dbus", ["dbus-daemon", "--session", "--nofork",
                                       "--address=" + address, "--print-address=1"],
                              stdout=subprocess.PIPE)
        line = process.stdout.readline().decode().strip()
        if not line:
            raise Failed("dbus-daemon printed no address: " + self.log("dbus"))
        self.env["DBUS_SESSION_BUS_ADDRESS"] = line

    def start_display(self):
        require("Xvfb", "xdotool", "xwininfo", "xprop")
        # Xvfb picks a free display number itself and writes it to this pipe.
        read_end, write_end = os.pipe()
        width, height = self.size
        # The framebuffer file is what a person would see: a capture of the
        # root window leaves the contents of 32-bit windows (tray icons)
        # undefined, and xwd and Qt were seen to disagree on them.
        self._spawn("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                             f"{width}x{height}x24", "-nolisten", "tcp", "-noreset",
                             "-fbdir", self.folder],
                    pass_fds=(write_end,))
        self.framebuffer = os.path.join(self.folder, "Xvfb_screen0")
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise Failed("Xvfb did not start: " + self.log("xvfb"))
        self.env["DISPLAY"] = ":" + number

    def start_window_manager(self):
        require("openbox")
        self._spawn("openbox", ["openbox", "--sm-disable"])
        wait_for("openbox managing the display", lambda: "window id" in self.run(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]).stdout)

    def start_tray(self):
        require("tint2")
        rc = os.path.join(self.folder, "tint2rc")
        with open(rc, "w") as f:
            f.write(TINT2RC)
        self._spawn("tint2", ["tint2", "-c", rc])
        # Sonvel looks for a tray once, at start: wait until tint2's owns the
        # tray selection, which it reports in its log.
        wait_for("tint2's system tray", lambda: "systray started" in self.log("tint2"))

    def start_accessibility(self):
        require(AT_SPI_BUS_LAUNCHER, "dbus-send")
        self._spawn("at-spi", [AT_SPI_BUS_LAUNCHER, "--launch-immediately"])

        def address():
            reply = self.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                              "/org/a11y/bus", "org.a11y.Bus.GetAddress"])
            return reply.returncode == 0 and "unix:" in reply.stdout
        wait_for("the accessibility bus", address)

    @staticmethod
    def set_up_preferences(os_build="24A335", apps=None):
        """Preferences of a machine where the access check and live test passed."""
        now = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
        return {"version": 1, "apps": apps or {}, "isPaused": False, "showIdleApps": True,
                "permissionVerifiedAt": now,
                "validation": {"outcome": "passed", "osBuild": os_build, "date": now,
                               "outputDeviceName": "MacBook Pro Speakers", "appName": "Music",
                               "measurements": [], "note": "", "engineRevision": 1}}

    def write_preferences(self, preferences):
        # Where QSettings keeps Sonvel's (organisation velmorra) settings.
        folder = os.path.join(self.env["XDG_CONFIG_HOME"], "velmorra")
        os.makedirs(folder, exist_ok=True)
        text = json.dumps(preferences, separators=(",", ":"))
        quoted = text.replace("\\", "\\\\").replace('"', '\\"')
        with open(os.path.join(folder, "app.velmorra.sonvel.conf"), "w") as f:
            f.write(f'[General]\npreferences.v1="@ByteArray({quoted})"\n')

    def start_sonvel(self, args=("--backend", "simulated"), preferences=None, accessible=True,
                     platform="xcb", **env_extra):
        if preferences is not None:
            self.write_preferences(preferences)
        env = dict(self.env, QT_QPA_PLATFORM=platform, **env_extra)
        if accessible:
            env.update(QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
        self.sonvel_process = self._spawn("sonvel", [self.sonvel, *args], env=env)

        def answers():
            if self.sonvel_process.poll() is not None:
                raise Failed(f"sonvel exited with {self.sonvel_process.returncode}: " +
                             self.log("sonvel"))
            return self.ctl("status", "--json").returncode == 0
        wait_for("sonvel answering on the bus", answers)

    # -- using it -------------------------------------------------------------

    def ctl(self, *args, timeout=10.0):
        return self.run([self.sonvelctl, *args], timeout=timeout)

    def ctl_json(self, *args):
        answer = self.ctl(*args, "--json")
        if answer.returncode != 0:
            raise Failed(f"sonvelctl {' '.join(args)} failed: {answer.stderr.strip()}")
        return json.loads(answer.stdout)

    def windows_named(self, name):
        """Ids of the windows whose name or class is `name`, from the whole tree."""
        tree = self.run(["xwininfo", "-root", "-tree"]).stdout
        return [line.split()[0] for line in tree.splitlines()
                if line.strip().startswith("0x") and f'"{name}"' in line]

    def tray_icon_window(self, timeout=10.0):
        """The window Sonvel's status icon draws in, embedded in tint2's tray."""
        def find():
            tree = self.run(["xwininfo", "-root", "-tree"]).stdout.splitlines()
            for i, line in enumerate(tree):
                # tint2 reparents each tray client into a window of its own;
                # Qt names the icon's window after the application.
                if line.strip().startswith("0x") and '("sonvel" "' in line.lower():
                    geometry = line.split()[-2]
                    if not geometry.startswith("1x1"):
                        return line.split()[0]
            return None
        return wait_for("Sonvel's icon in the tray", find, timeout)

    def window_centre(self, window):
        out = self.run(["xdotool", "getwindowgeometry", "--shell", window]).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return (int(values["X"]) + int(values["WIDTH"]) // 2,
                int(values["Y"]) + int(values["HEIGHT"]) // 2)

    def click_window(self, window, button=1):
        x, y = self.window_centre(window)
        self.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", str(button)])

    def key(self, *keys):
        self.run(["xdotool", "key", "--clearmodifiers", *keys])
