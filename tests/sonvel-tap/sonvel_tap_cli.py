"""sonvel-tap as a process on the simulated default world: what it prints
and what it exits with. Usage: sonvel_tap_cli.py TOOL WORLD CASE"""
import json
import math
import re
import signal
import subprocess
import sys

TOOL, WORLD, CASE = sys.argv[1:4]


def run(*args, timeout=60):
    done = subprocess.run([TOOL, "--backend", "simulated", "--world", WORLD, *args],
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def check(condition, message):
    if not condition:
        sys.exit(f"FAIL {CASE}: {message}")


def list_active():
    world = json.load(open(WORLD))
    playing = {(p["pid"], p.get("bundleID")) for p in world["processes"] if p.get("playing")}
    code, out, err = run("list", "--active", "--json")
    check(code == 0, err)
    listed = {(p["pid"], p["bundleID"]) for p in json.loads(out)}
    check(listed == playing, f"listed {sorted(listed)}, the world plays {sorted(playing)}")


def meter():
    # Music: a sine of peak 0.5 on both channels.
    code, out, err = run("meter", "--pid", "501", "--seconds", "2")
    check(code == 0, err)
    summary = next(line for line in out.splitlines() if line.startswith("over 2 s"))
    levels = re.findall(r"peak +(-?[\d.]+) rms +(-?[\d.]+)", summary)
    check(len(levels) == 2, summary)
    for peak, rms in levels:
        check(abs(float(peak) - 20 * math.log10(0.5)) <= 0.1, summary)
        check(abs(float(rms) - 20 * math.log10(0.5 / math.sqrt(2))) <= 0.1, summary)


def rerender():
    code, out, err = run("rerender", "--pid", "611", "--allow-mute", "--gains", "1,0.5,0.1,0",
                         "--step-seconds", "0.5")
    check(code == 0, err)
    steps = [line for line in out.splitlines() if line.startswith("step ")]
    check(len(steps) == 4, out)
    for line in steps[:3]:
        off = float(re.search(r"off by +([-+][\d.]+) dB", line).group(1))
        check(abs(off) <= 0.1, line)
    check(steps[3].endswith(" silent"), steps[3])
    check("released the tap, the aggregate device and the IO procedure" in out, out)


def sigterm():
    tool = subprocess.Popen([TOOL, "--backend", "simulated", "--world", WORLD, "rerender",
                             "--pid", "501", "--allow-mute", "--step-seconds", "5"],
                            stdout=subprocess.PIPE, text=True)
    check(tool.stdout.readline().startswith("Re-rendering pid 501"), "no header")
    tool.send_signal(signal.SIGTERM)
    out, _ = tool.communicate(timeout=10)
    check(tool.returncode == 128 + signal.SIGTERM, f"exit {tool.returncode}")
    check(out.startswith("Interrupted; released the tap"), out)


BAD = [
    ([], 2, "Name a command"),
    (["frob"], 2, "Unknown command 'frob'"),
    (["meter", "--pid", "501", "--seconds", "0"], 2, "from 1 to 30, and '0'"),
    (["meter", "--pid", "501", "--seconds", "31"], 2, "from 1 to 30, and '31'"),
    (["meter", "--pid", "abc"], 2, "'abc' is not one"),
    (["meter"], 2, "meter needs --pid"),
    (["list", "--bogus"], 2, "list has no option '--bogus'"),
    (["meter", "--pid", "610"], 3, "Process 610 does not play"),
    (["meter", "--pid", "99999"], 3, "No process with pid 99999"),
    (["rerender", "--pid", "501"], 4, "application is silent for the run"),
    (["rerender", "--pid", "501", "--allow-mute", "--gains", "1,2"], 2, "'1,2' is not"),
    (["rerender", "--pid", "501", "--allow-mute", "--device", "nope"], 6, "UID 'nope'"),
    (["--backend", "pipewire", "list"], 2, "--world loads a simulated world"),
]


def bad_arguments():
    for args, expected, sentence in BAD:
        code, _, err = run(*args)
        check(code == expected and sentence in err, f"{args}: exit {code}, said {err!r}")
    done = subprocess.run([TOOL, "--world", "/nonexistent", "list"], capture_output=True)
    check(done.returncode == 5, f"an unreadable world exits {done.returncode}")


def help_texts():
    for args in (["help"], ["--help"], ["meter", "--help"], ["help", "rerender"]):
        code, out, _ = run(*args)
        check(code == 0 and "Exit codes:" in out and "Usage: sonvel-tap" in out, f"{args}")


{"list_active": list_active, "meter": meter, "rerender": rerender, "sigterm": sigterm,
 "bad_arguments": bad_arguments, "help": help_texts}[CASE]()
