"""Sonvel's accessible objects as a screen reader reads them, over AT-SPI.

connect() imports the client once the session's buses are in the
environment (the client reads them at import); everything else here reads a
tree once into plain Nodes and compares what is read with what is shown.
"""

import os
import sys
import time

pyatspi = Atspi = GLib = None


def installed():
    """Whether pyatspi is there for this Python, without importing it (an
    import would reach for the accessibility bus of the caller's desktop)."""
    return any(os.path.isdir(os.path.join(p or ".", "pyatspi")) for p in sys.path)


def connect(env):
    global pyatspi, Atspi, GLib
    os.environ.update(env)
    import pyatspi as client
    from gi.repository import Atspi as atspi, GLib as glib
    pyatspi, Atspi, GLib = client, atspi, glib


def pump_until(predicate, timeout):
    """Runs the accessibility client's event loop until `predicate` holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + timeout
    while True:
        while context.pending():
            context.iteration(False)
        answer = predicate()
        if answer or time.monotonic() > deadline:
            return answer
        time.sleep(0.02)


class Node:
    """One accessible object as read once: what a screen reader would see."""

    def __init__(self, obj, depth, ancestors_showing):
        self.obj = obj
        self.depth = depth
        self.role = obj.getRole()
        self.role_name = obj.getRoleName()
        self.name = obj.name or ""
        self.states = set(obj.getState().getStates())
        e = obj.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        self.x, self.y, self.w, self.h = e.x, e.y, e.width, e.height
        self.ancestors_showing = ancestors_showing
        self.children = []

    showing = property(lambda self: pyatspi.STATE_SHOWING in self.states)
    visible = property(lambda self: pyatspi.STATE_VISIBLE in self.states)

    def __str__(self):
        return f"{self.role_name} “{self.name}” at y {self.y}"

    def walk(self):
        yield self
        for child in self.children:
            yield from child.walk()


def read_tree(obj, depth=0, ancestors_showing=True, limit=2000):
    node = Node(obj, depth, ancestors_showing)
    for i in range(min(obj.childCount, limit)):
        child = obj.getChildAtIndex(i)
        if child is not None:
            node.children.append(read_tree(child, depth + 1, ancestors_showing and node.showing))
    return node


def control_roles():
    names = ["PUSH_BUTTON", "TOGGLE_BUTTON", "SLIDER", "CHECK_BOX", "COMBO_BOX", "RADIO_BUTTON",
             "SPIN_BUTTON", "PUSH_BUTTON_MENU", "MENU_BUTTON"]
    return {getattr(pyatspi, "ROLE_" + n) for n in names if hasattr(pyatspi, "ROLE_" + n)}


def reads_before(a, b):
    """Whether reading `b` after `a` breaks visual order: b wholly above a,
    or on a's line and wholly to its left."""
    if b.y + b.h <= a.y:
        return True
    overlap = min(a.y + a.h, b.y + b.h) - max(a.y, b.y)
    same_line = overlap * 2 >= min(a.h, b.h)
    return same_line and b.x + b.w <= a.x


def order_problems(nodes, what):
    """Each node that comes after one it stands above or left of on screen."""
    problems = []
    for i, b in enumerate(nodes):
        a = next((a for a in reversed(nodes[:i]) if reads_before(a, b)), None)
        if a is not None:
            problems.append(f"{b} {what} after {a}")
    return problems[:6] + ([f"and {len(problems) - 6} more"] if len(problems) > 6 else [])
