#!/usr/bin/env python3
"""Each folder includes only from the layers below it (or beside it where
named), the widgets know no backend, and no shipped folder reaches into the
tests' helpers.

    check_layers.py SOURCE_DIR      exits 1 naming every include out of place
"""

import os
import re
import sys

BASE = {"core"}
TAP = BASE | {"tap"}
ENGINE = TAP | {"MixerEngine"}
MODEL = ENGINE | {"Sonvel"}
VIEWS = MODEL | {"Sonvel/views"}
PLATFORMS = {"platform/sim", "platform/linux", "platform/qt", "platform/pipewire", "platform"}

# Folder -> the top folders its files may include from.
ALLOWED = {
    "core": BASE,
    "tap": TAP,
    "MixerEngine": ENGINE,
    "Sonvel": MODEL,
    "Sonvel/views": VIEWS,
    "platform/sim": ENGINE | {"platform/sim"},
    "platform/linux": VIEWS | {"platform/linux"},
    "platform/qt": VIEWS | {"platform/qt"},
    "platform/pipewire": ENGINE | {"platform/linux", "platform/pipewire"},
    "platform": ENGINE | PLATFORMS,
    "bus": VIEWS | {"bus"},
    "ui": BASE | {"Sonvel", "Sonvel/views", "ui"},
    "desktop": BASE | {"Sonvel", "Sonvel/views", "ui"},
    "sonvel-tap": ENGINE | PLATFORMS | {"sonvel-tap"},
    "app": VIEWS | PLATFORMS | {"bus", "ui", "app"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    """The most specific folder of ALLOWED that holds `path`."""
    parts = path.split("/")
    for depth in (2, 1):
        name = "/".join(parts[:depth])
        if len(parts) > depth and name in ALLOWED:
            return name
    return None


def main():
    top = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    wrong, files = [], 0
    for root, dirs, names in os.walk(top):
        dirs[:] = [d for d in dirs if not d.startswith(("build", ".", "tests", "bench"))]
        for name in names:
            if not name.endswith((".cpp", ".hpp", ".h")):
                continue
            path = os.path.relpath(os.path.join(root, name), top)
            here = folder_of(path)
            if here is None:
                continue
            files += 1
            with open(os.path.join(top, path), encoding="utf-8") as f:
                for included in INCLUDE.findall(f.read()):
                    if not os.path.exists(os.path.join(top, included)):
                        if included.startswith(("support/", "tests/")):
                            wrong.append(f"{path}: {included} is a test helper")
                        continue  # a generated header or one beside the file
                    there = folder_of(included)
                    if there is not None and there not in ALLOWED[here]:
                        wrong.append(f"{path}: includes {included} ({there} is not below {here})")
    for line in wrong:
        print(line)
    print(f"{files} files read, {len(wrong)} includes out of place")
    return 1 if wrong or files == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
