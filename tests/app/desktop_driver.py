"""What the drivers of the window on a real desktop share: running a tool, waiting with a limit,
and reading the window tree."""

import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import harness  # noqa: E402

LAB_SCRIPT = os.path.join(HERE, "..", "..", "scripts", "cups-lab.sh")


class Failure(Exception):
    pass


def run(*cmd, timeout=15, check=True):
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and done.returncode != 0:
        raise Failure(f"{' '.join(cmd)} failed: {done.stderr.strip()}")
    return done.stdout


def wait_until(what, predicate, limit=10.0, step=0.05):
    limit = harness.slack(limit)
    deadline = time.monotonic() + limit
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"{what}: not within {limit:g} s")
        time.sleep(step)


def exit_code_of(process, what, limit=10.0):
    """The exit code of a process told to end, or a Failure naming `what` if it still runs past the
    limit (scaled for a loaded machine: ending may send requests to a slow server)."""
    limit = harness.slack(limit)
    try:
        return process.wait(limit)
    except subprocess.TimeoutExpired:
        raise Failure(f"{what}: still running {limit:g} s later")


class Cases:
    """Runs a script's cases one after another: a case that fails is told with its reason (and
    `on_failure` called with its title), and the next case still runs."""

    def __init__(self, on_failure=lambda title: None):
        self.passed = self.failed = 0
        self.on_failure = on_failure

    def __call__(self, title, body):
        print(f"- {title}", flush=True)
        try:
            body()
            self.passed += 1
            return True
        except (Failure, KeyError, IndexError, ValueError, subprocess.TimeoutExpired, OSError) as e:
            print(f"  FAILED: {e}", flush=True)
            self.failed += 1
            self.on_failure(title)
            return False

    def summary(self):
        print(f"{self.passed} passed, {self.failed} failed")


TREE_LINE = re.compile(r'^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \((.*)\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)')


def tree(root="-root", check=True):
    """Every window below the root (or below a window id): id, name, class, size, absolute place."""
    # xwininfo walks the tree one query at a time and gives up ("Can't query window tree") when a
    # window goes away during the walk, a menu, hint or balloon closing, say; the next walk sees the
    # tree without it. On a loaded machine a walk is slow and such a loss frequent, so a failed walk
    # is taken again rather than read as a tree without windows.
    cmd = ["xwininfo", "-tree", *(["-root"] if root == "-root" else ["-id", root])]
    for _ in range(5):
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=15)
        if done.returncode == 0:
            out = done.stdout
            break
    else:
        if check:
            raise Failure(f"{' '.join(cmd)} failed: {done.stderr.strip()}")
        return []
    windows = []
    for line in out.splitlines():
        m = TREE_LINE.match(line)
        if m:
            wid, name, cls, w, h, x, y = m.groups()
            windows.append(dict(id=wid, name=name or "", cls=cls, w=int(w), h=int(h), x=int(x), y=int(y)))
    return windows


def viewable(wid):
    return "IsViewable" in run("xwininfo", "-id", wid, check=False)


def lamp_colour(r, g, b):
    """A lamp's name from its colour: one channel well above the others, or red and green for
    yellow; the colour itself when it is none of them."""
    if g > 1.6 * r and g > 1.6 * b:
        return "green"
    if r > 1.6 * g and r > 1.6 * b:
        return "red"
    if r > 1.6 * b and g > 1.6 * b:
        return "yellow"
    return f"rgb({r},{g},{b})"
