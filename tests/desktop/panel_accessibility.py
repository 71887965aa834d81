#!/usr/bin/python3
"""Sonvel's panel as a screen-reader user meets it.

On a private desktop (see desktop_session.py) with a system tray, Sonvel runs
on the simulated world, set up as on a machine where the access check and the
live test passed. The panel is opened by clicking the status icon, then read
and driven only through the accessibility bus and the keyboard, as Orca would.
The model is read back with `sonvelctl` over the private session bus.

Every check is reported by name, PASS or FAIL with what was seen; the exit
code is 1 if any failed, 77 (skip) if a program the desktop needs is missing.

    panel_accessibility.py --sonvel build/app/sonvel --sonvelctl build/bus/sonvelctl
"""

import argparse
import os
import re
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import accessible_tree as at  # noqa: E402
import desktop_session as ds  # noqa: E402
from accessible_tree import Node, order_problems, pump_until, read_tree  # noqa: E402

pyatspi = Atspi = None  # imported once the private buses exist


class PanelTest:
    def __init__(self, desktop):
        self.desktop = desktop
        self.results = []
        self.focused = []  # sources of focus events, newest last
        self.shown = []  # sources of showing events

    # -- finding things -----------------------------------------------------

    def on_event(self, event):
        if event.type.startswith("object:state-changed:focused"):
            if event.detail1:
                self.focused.append(event.source)
        elif event.detail1:
            self.shown.append(event.source)

    def application(self):
        pid = self.desktop.sonvel_process.pid
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.get_process_id() == pid:
                return app
        return None

    def open_panel(self):
        """Clicks the status icon and answers the panel's top-level object,
        found through the events it sends, not through the application."""
        app = pump_until(self.application, 10)
        if app is None:
            raise ds.Failed("Sonvel never appeared on the accessibility bus")
        self.app = app
        self.desktop.click_window(self.desktop.tray_icon_window())

        def top():
            for source in self.shown:
                try:
                    obj, parent = source, source.parent
                    while parent is not None and parent.getRole() != pyatspi.ROLE_APPLICATION:
                        obj, parent = parent, parent.parent
                    if obj.get_process_id() == app.get_process_id() and obj.childCount > 3:
                        return obj
                except Exception:
                    continue
            return None

        self.panel = pump_until(top, 10)
        if self.panel is None:
            raise ds.Failed("clicking the status icon showed no panel")
        # The rows fill in as the model settles: read once nothing new shows.
        seen = {"count": len(self.shown), "since": time.monotonic()}

        def quiet():
            if len(self.shown) != seen["count"]:
                seen.update(count=len(self.shown), since=time.monotonic())
            return time.monotonic() - seen["since"] >= 0.3

        pump_until(quiet, 3)
        self.refresh()

    def refresh(self):
        self.tree = read_tree(self.panel)
        self.nodes = list(self.tree.walk())
        self.apps = self.desktop.ctl_json("list")

    def find(self, name, roles=None):
        for node in self.nodes:
            if node.name == name and (roles is None or node.role in roles):
                return node
        return None

    def model_row(self, name):
        return next((r for r in self.desktop.ctl_json("list") if r["name"] == name), None)

    # -- checks -------------------------------------------------------------

    def check(self, name, function):
        try:
            problems = function()
        except Exception as error:  # a dead object, a bus timeout: the check failed
            problems = [f"{type(error).__name__}: {error}"]
        self.results.append((name, problems))
        print(("PASS " if not problems else "FAIL ") + name +
              "".join("\n    " + p for p in problems), flush=True)

    def panel_reachable_from_application(self):
        # The whole tree under the application, as a reader walking it finds it.
        sliders = [n for child in range(self.app.childCount)
                   for n in read_tree(self.app.getChildAtIndex(child)).walk()
                   if n.role == pyatspi.ROLE_SLIDER]
        if sliders:
            return []
        return [f"Sonvel's application object has {self.app.childCount} children and no slider "
                f"under them; the open panel ({self.tree.role_name}, index in parent "
                f"{self.panel.getIndexInParent()}) is not among them"]

    def controls_named(self):
        return [f"{n.role_name} without a name at ({n.x}, {n.y})" for n in self.nodes
                if n.role in at.control_roles() and n.showing and not n.name.strip()]

    def app_controls_named(self):
        problems = []
        for app in self.apps:
            name = app["name"]
            # The mute control's role is mute_is_toggle_button's business.
            wanted = [(f"{name} volume", {pyatspi.ROLE_SLIDER}),
                      (f"Mute {name}", at.control_roles())]
            if app["hearing"] != "notNow":
                wanted.append((f"Output for {name}", at.control_roles()))
            for label, roles in wanted:
                node = self.find(label, roles)
                if node is None or not node.showing:
                    problems.append(f"no showing control named “{label}”")
        return problems

    def slider_values_in_percent(self):
        problems = []
        for node in self.nodes:
            if node.role != pyatspi.ROLE_SLIDER or not node.showing:
                continue
            value = node.obj.queryValue()
            low, high, now = value.minimumValue, value.maximumValue, value.currentValue
            try:
                text = Atspi.Value.get_text(node.obj) or ""
            except Exception:
                text = ""
            app = next((a for a in self.apps if f"{a['name']} volume" == node.name), None)
            shown = app["percent"] if app else None
            in_range = (low, high) == (0, 100) and (shown is None or f"{round(now)}%" == shown)
            in_text = bool(re.fullmatch(r"\d+ ?%", text)) and (shown is None or text == shown)
            if not (in_range or in_text):
                problems.append(f"“{node.name}”: range {low:g}–{high:g}, value {now:g}, "
                                f"value text “{text}” (the row shows {shown})")
        return problems

    def mute_is_toggle_button(self):
        return [f"“{n.name}” is a {n.role_name}, not a toggle button" for n in self.nodes
                if n.name.startswith("Mute ") and n.showing and n.role in at.control_roles() and
                n.role not in (pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX)]

    def mute_state_follows_model(self):
        app = self.apps[0]["name"]
        node = self.find(f"Mute {app}")
        if node is None:
            return [f"no control named “Mute {app}”"]
        problems = []
        pressed = {pyatspi.STATE_CHECKED, pyatspi.STATE_PRESSED}
        action = node.obj.queryAction()
        names = [action.getName(i) for i in range(action.nActions)]
        index = next((names.index(n) for n in ("Toggle", "Press", "Click") if n in names), 0)
        for want in (True, False):
            action.doAction(index)

            def settled():
                muted = self.model_row(app)["muted"]
                shown = bool(set(node.obj.getState().getStates()) & pressed)
                return (muted, shown) if muted == want and shown == want else None

            pump_until(settled, 3)
            muted = self.model_row(app)["muted"]
            shown = bool(set(node.obj.getState().getStates()) & pressed)
            if muted != want:
                problems.append(f"the action “{names[index]}” left the model's {app} "
                                f"{'muted' if muted else 'unmuted'}")
            if shown != muted:
                problems.append(f"the control is {'' if shown else 'not '}checked/pressed while "
                                f"the model's {app} is {'muted' if muted else 'unmuted'}")
        if self.model_row(app)["muted"]:
            self.desktop.ctl("unmute", app)
        return problems

    def hidden_controls_not_exposed(self):
        problems = []
        px, py, pw, ph = self.tree.x, self.tree.y, self.tree.w, self.tree.h
        for n in self.nodes:
            if not (n.showing or n.visible):
                continue
            where = ""
            if not n.ancestors_showing:
                where = "inside a hidden container"
            elif n.w <= 0 or n.h <= 0:
                where = "with no size"
            elif n.x < px - 1 or n.y < py - 1 or n.x + n.w > px + pw + 1 or n.y + n.h > py + ph + 1:
                where = "outside the panel"
            if where:
                problems.append(f"{n} is exposed as showing/visible {where}")
        if all(not a["caption"] for a in self.apps):
            retries = [n for n in self.nodes if n.name == "Retry" and (n.showing or n.visible)]
            if retries:
                problems.append(f"{len(retries)} “Retry” buttons exposed while no row says why")
        return problems

    def reading_order_is_visual_order(self):
        leaves = [n for n in self.nodes if n.showing and n.ancestors_showing and n.w > 0 and
                  n.h > 0 and not any(c.showing for c in n.children)]
        return order_problems(leaves, "is read")

    def slider_set_reaches_model(self):
        app = self.apps[-1]["name"]
        node = self.find(f"{app} volume", {pyatspi.ROLE_SLIDER})
        if node is None:
            return [f"no slider named “{app} volume”"]
        value = node.obj.queryValue()
        value.currentValue = 30.0 if value.maximumValue > 1 else 0.3
        row = pump_until(lambda: (lambda r: r if abs(r["position"] - 0.3) < 0.006 else None)(
            self.model_row(app)), 3)
        if row is None:
            return [f"set to 30 %, the model's {app} stays at {self.model_row(app)['percent']}"]
        return []

    def tab_order_is_visual_order(self):
        expected = [n for n in self.nodes if n.showing and n.ancestors_showing and
                    pyatspi.STATE_FOCUSABLE in n.states and pyatspi.STATE_ENABLED in n.states and
                    n.role in at.control_roles()]
        visited, problems = [], []
        for step in range(2 * len(expected) + 3):
            before = len(self.focused)
            self.desktop.key("Tab")
            if not pump_until(lambda: len(self.focused) > before, 1.5):
                problems.append(f"Tab number {step + 1} moved the focus nowhere")
                break
            node = Node(self.focused[-1], 0, True)
            key = (node.role, node.name, node.x, node.y)
            if visited and key == (visited[0].role, visited[0].name, visited[0].x, visited[0].y):
                break
            visited.append(node)
        for n in visited:
            if not n.name.strip() or not n.showing:
                problems.append(f"Tab stops on {n} " +
                                ("which has no name" if n.showing else "which is not showing"))
        if visited:
            # Where the cycle starts is Qt's choice: begin at the top-left stop.
            first = min(range(len(visited)), key=lambda i: (visited[i].y, visited[i].x))
            cycle = visited[first:] + visited[:first]
            wrong = order_problems(cycle, "is reached by Tab")
            if wrong:
                problems += wrong + ["Tab visits: " + ", ".join(f"“{n.name}”" for n in cycle)]
            seen = {(n.role, n.name, n.x, n.y) for n in visited}
            missed = [str(n) for n in expected if (n.role, n.name, n.x, n.y) not in seen]
            if missed:
                problems.append("never reached by Tab: " + ", ".join(missed[:5]))
        return problems

    def enter_and_space_activate_mute(self):
        app = self.apps[min(2, len(self.apps) - 1)]["name"]
        node = self.find(f"Mute {app}")
        if node is None:
            return [f"no control named “Mute {app}”"]
        before = len(self.focused)
        node.obj.queryComponent().grabFocus()
        if not pump_until(lambda: len(self.focused) > before, 2):
            return [f"“Mute {app}” took no focus"]
        problems = []
        for key in ("space", "Return"):
            was = self.model_row(app)["muted"]
            self.desktop.key(key)
            if not pump_until(lambda: self.model_row(app)["muted"] != was, 2):
                problems.append(f"{key} on “Mute {app}” left muted at {was}")
        if self.model_row(app)["muted"]:
            self.desktop.ctl("unmute", app)
        return problems

    def window_matches_desktop_entry(self):
        """A taskbar or switcher finds the entry by WM_CLASS and shows our icon."""
        entry = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "desktop",
                             "app.velmorra.Sonvel.desktop")
        with open(entry) as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        problems, seen = [], 0
        for window in self.desktop.windows_named("Sonvel"):
            props = self.desktop.run(["xprop", "-id", window, "WM_CLASS", "_NET_WM_ICON"]).stdout
            if "IsViewable" not in self.desktop.run(["xwininfo", "-id", window]).stdout:
                continue
            seen += 1
            wanted = f'"{fields.get("StartupWMClass", "(none)")}"'
            if not props.splitlines()[0].rstrip().endswith(wanted):
                problems.append(f"window {window}: {props.splitlines()[0]}, entry wants {wanted}")
            if "_NET_WM_ICON(CARDINAL)" not in props:
                problems.append(f"window {window} has no icon")
        return problems if seen else ["no window of Sonvel's is on screen"]

    def run(self, keyboard=True):
        self.open_panel()
        self.check("panel_reachable_from_application", self.panel_reachable_from_application)
        self.check("controls_named", self.controls_named)
        self.check("app_controls_named", self.app_controls_named)
        self.check("slider_values_in_percent", self.slider_values_in_percent)
        self.check("hidden_controls_not_exposed", self.hidden_controls_not_exposed)
        self.check("reading_order_is_visual_order", self.reading_order_is_visual_order)
        self.check("mute_is_toggle_button", self.mute_is_toggle_button)
        self.check("mute_state_follows_model", self.mute_state_follows_model)
        self.check("slider_set_reaches_model", self.slider_set_reaches_model)
        self.check("window_matches_desktop_entry", self.window_matches_desktop_entry)
        if keyboard:
            self.refresh()
            self.check("tab_order_is_visual_order", self.tab_order_is_visual_order)
            self.check("enter_and_space_activate_mute", self.enter_and_space_activate_mute)
        return [name for name, problems in self.results if problems]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sonvel", required=True)
    parser.add_argument("--sonvelctl", required=True)
    parser.add_argument("--no-keyboard", action="store_true", help="skip the keyboard checks")
    args = parser.parse_args()

    global pyatspi, Atspi
    started = time.monotonic()
    try:
        ds.require("Xvfb", "openbox", "tint2", ds.AT_SPI_BUS_LAUNCHER)
        if not at.installed():
            raise ds.Missing(f"pyatspi is not installed for {sys.executable}")
    except ds.Missing as missing:
        print(f"SKIP: {missing}")
        return ds.SKIP

    with ds.DesktopSession(args.sonvel, args.sonvelctl) as desktop:
        try:
            desktop.start_bus()
            desktop.start_display()
            desktop.start_window_manager()
            desktop.start_tray()
            desktop.start_accessibility()
            at.connect(desktop.env)
            pyatspi, Atspi = at.pyatspi, at.Atspi
            test = PanelTest(desktop)
            listener = Atspi.EventListener.new(test.on_event)
            listener.register("object:state-changed:showing")
            listener.register("object:state-changed:focused")
            desktop.start_sonvel(preferences=ds.DesktopSession.set_up_preferences())
            failed = test.run(keyboard=not args.no_keyboard)
        except (ds.Failed, ds.Missing) as error:
            print(f"FAIL desktop_session: {error}\n--- sonvel's output:\n{desktop.log('sonvel')}")
            return 1
    passed = len(test.results) - len(failed)
    print(f"{passed} of {len(test.results)} checks passed in {time.monotonic() - started:.1f} s" +
          (": failed " + ", ".join(failed) if failed else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
