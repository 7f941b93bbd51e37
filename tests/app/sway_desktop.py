#!/usr/bin/env python3
"""The window on a Wayland desktop: sway headless (tests/app/sway_session.py), with waybar's tray,
without a bar, and with XWayland and the guide's window rule.

    sway_desktop.py --quenlo BIN --pointer BIN [--shots DIR]

Natively the window starts floating at its size, goes to waybar's tray and comes back on a click on
its icon; a second start brings it back and ends with 0 well before the 10 s a start waits for a
running instance to end. Without a bar it stays in view, and a bar started later takes its icon
(but not a window the user has clicked meanwhile).
With XWayland and the guide's rules (docs/wayland.md) it sits at the bottom-right corner.
Screenshots under DIR. Exit 0 when every case passed; 77 when sway or a tool is missing (1 under
CI=true).
"""
import argparse
import os
import socket
import subprocess
import sys
import time

from desktop_driver import Failure, wait_until
from real_desktop import stays
from sway_session import SessionUnavailable, SwaySession

# Well under the 10 s wait of a start that is not answered, also on a loaded machine.
ANSWER_LIMIT = 5.0
# The guide's rules for sway, as a user copies them into the configuration.
GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "wayland.md")


def guide_rules():
    with open(GUIDE, encoding="utf-8") as f:
        rules = [line for line in f.read().splitlines() if line.startswith("for_window ")]
    if not rules:
        raise Failure("the guide gives no rule for sway")
    return "\n".join(rules) + "\n"


def dead_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Quenlo:
    """The program as the session's user starts it, watching one printer at a dead address."""

    def __init__(self, session, binary):
        self.session = session
        self.binary = os.path.abspath(binary)
        session._write(os.path.join(session.config_home, "Dorvane", "Quenlo", "printers.qdl"),
                       f"<printer>\nname=Iroda\nremotehost=127.0.0.1:{dead_port()}\nurl=/printers/Iroda\n"
                       "localport=-1\n<endprinter>\n")
        self.first = None

    def start(self):
        """The first instance; with a tray, its window may be gone to it before it is seen."""
        self.first = self.session.spawn([self.binary], log="quenlo", name="quenlo")

    def view(self):
        return next((v for v in self.session.views() if v["pid"] == self.first.pid), None)

    def wait_shown(self, what):
        return wait_until(what, lambda: (v := self.view()) and v["visible"] and v, 15)

    def wait_in_tray(self):
        wait_until("the window in the tray", lambda: self.view() is None and self.session.tray_icons(), 10)

    def second_start(self):
        started = time.monotonic()
        second = self.session.spawn([self.binary], name="second quenlo")
        try:
            code = second.wait(ANSWER_LIMIT)
        except subprocess.TimeoutExpired:
            raise Failure(f"the second start still runs after {ANSWER_LIMIT:g} s")
        if code != 0:
            raise Failure(f"the second start ended with {code}")
        print(f"  second start answered after {time.monotonic() - started:.2f} s")

    def stop(self):
        if self.first and self.first.poll() is None:
            self.first.terminate()
            self.first.wait(10)


class Suite:
    def __init__(self, args):
        self.args = args
        self.passed = self.failed = 0

    def case(self, name, body, **session):
        try:
            with SwaySession(pointer=self.args.pointer, artifacts=self.args.shots, **session) as s:
                app = Quenlo(s, self.args.quenlo)
                try:
                    body(s, app)
                except (Failure, subprocess.TimeoutExpired):
                    s.screenshot("sway-failed-" + name.split()[0])
                    print(s.log("quenlo")[-2000:], file=sys.stderr)
                    raise
                finally:
                    app.stop()
        except (Failure, subprocess.TimeoutExpired) as e:
            self.failed += 1
            print(f"FAIL {name}: {e}", flush=True)
            return
        self.passed += 1
        print(f"ok   {name}", flush=True)

    @staticmethod
    def tray_and_back(s, app):
        app.start()
        app.wait_in_tray()
        s.screenshot("sway-in-tray")
        s.click(*s.tray_icons()[-1])
        shown = app.wait_shown("the window back from the tray")
        s.screenshot("sway-back")
        if shown["app_id"] != "quenlo" or not shown["floating"] or shown["size"] != (600, 300):
            raise Failure(f"not a floating quenlo of 600 x 300: {shown}")
        if not stays(lambda: app.view() is not None, 1.5):
            raise Failure("the window went away again")

    @staticmethod
    def second_start(s, app):
        app.start()
        app.wait_in_tray()
        app.second_start()
        app.wait_shown("the first window back")
        app.second_start()  # with the window in view
        if app.first.poll() is not None or not stays(lambda: app.view() is not None, 1.5):
            raise Failure("the first window did not stay")

    @staticmethod
    def bar_comes_later(s, app):
        app.start()
        app.wait_shown("the window")
        if not stays(lambda: app.view() is not None, 2.5):
            raise Failure("the window left the screen without a tray")
        s.screenshot("sway-no-bar")
        s.start_bar()
        app.wait_in_tray()
        s.screenshot("sway-bar-later")
        s.click(*s.tray_icons()[-1])
        app.wait_shown("the window back from the later tray")

    @staticmethod
    def used_before_the_bar(s, app):
        app.start()
        x, y, w, h = app.wait_shown("the window")["rect"]
        # Past the minimise timer, which leaves it in view for want of a tray.
        if not stays(lambda: app.view() is not None, 2.5):
            raise Failure("the window left the screen without a tray")
        s.click(x + w // 2, y + h - 40)  # in the job list
        s.start_bar()
        if not stays(lambda: app.view() is not None, 2.5):
            raise Failure("the window in use left for the tray")

    @staticmethod
    def xwayland_corner(s, app):
        app.start()
        width, height = s.output_size()

        def at_corner():
            v = app.view()
            if not v or v["shell"] != "xwayland":
                return None
            x, y, w, h = v["rect"]
            return v if width - 40 <= x + w <= width and height - 80 <= y + h <= height else None

        try:
            wait_until("the window at the bottom-right corner", at_corner, 10)
        finally:
            s.screenshot("sway-xwayland")

    def run(self):
        self.case("native: to waybar's tray and back on a click", self.tray_and_back, bar=True)
        self.case("native: a second start shows the first and ends with 0", self.second_start, bar=True)
        self.case("native without a bar: in view, then in a bar started later", self.bar_comes_later)
        self.case("native without a bar: ... but not a window the user has used", self.used_before_the_bar)
        self.case("xwayland: the guide's rules keep the window at the corner", self.xwayland_corner,
                  xwayland=True, config=guide_rules())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    parser.add_argument("--pointer", required=True)
    parser.add_argument("--shots")
    args = parser.parse_args()
    suite = Suite(args)
    try:
        suite.run()
    except SessionUnavailable as e:
        print(f"sway_desktop: {e}", file=sys.stderr)
        return 1 if os.environ.get("CI") == "true" else 77
    print(f"{suite.passed} passed, {suite.failed} failed")
    return 0 if suite.failed == 0 and suite.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
