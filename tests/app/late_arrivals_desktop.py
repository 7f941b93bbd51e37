#!/usr/bin/env python3
"""What comes after the window on a real desktop: a second start, and a notification area that a
panel brings later.

Run inside scripts/desktop-session.sh (the display and the private folders):

    late_arrivals_desktop.py --quenlo BIN

The first instance watches one printer at a dead address and goes to the tray (or, without one,
to the task bar); a second `quenlo` must bring it back in front and end with 0 well before the
10 s a start waits for a running instance to end. Then the same from a window in view, a second
start after the first was killed (its socket left behind), and a start without a display, which
still waits silently. On a desktop without a notification area, trayer started later takes the
window that waits minimised on the task bar, but not one the user has taken back meanwhile (that
one goes there at its next minimise). Exit 0 when every case passed; the last line is "N passed, N
failed".
"""
import argparse
import os
import re
import socket
import subprocess
import sys
import time

from desktop_driver import Failure, exit_code_of, run, tree, viewable, wait_until
from real_desktop import net_states, prop, stays, wm_state

# Well under the 10 s wait of a start that is not answered, also on a loaded machine.
ANSWER_LIMIT = 5.0


def dead_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Instances:
    def __init__(self, binary):
        self.binary = binary
        self.dir = os.environ["QUENLO_SESSION_DIR"]
        self.tray = os.environ.get("QUENLO_SESSION_TRAY") == "1"
        conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo")
        os.makedirs(conf, exist_ok=True)
        with open(os.path.join(conf, "printers.qdl"), "w", encoding="utf-8") as f:
            f.write(f"<printer>\nname=Iroda\nremotehost=127.0.0.1:{dead_port()}\nurl=/printers/Iroda\n"
                    "localport=-1\n<endprinter>\n")
        self.first = None
        self.main = None

    def spawn(self, env=None):
        return subprocess.Popen([self.binary], cwd=self.dir, env=env or os.environ,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_first(self):
        self.first = self.spawn()
        self.main = wait_until("the first window", self.find_main, 15)
        wait_until("the first window put away by the timer", self.put_away, 10)

    def find_main(self):
        for w in tree(check=False):
            if w["name"] == "Quenlo" and w["cls"] == '"quenlo" "Quenlo"' and w["w"] >= 600 and w["h"] >= 300:
                if viewable(w["id"]) and self.pid_of(w["id"]) == self.first.pid:
                    return w["id"]
        return None

    @staticmethod
    def pid_of(wid):
        m = re.search(r"= (\d+)", prop(wid, "_NET_WM_PID"))
        return int(m.group(1)) if m else None

    def put_away(self):
        return self.in_tray() if self.tray else wm_state(self.main) == "Iconic"

    def in_tray(self):
        """Withdrawn (an iconic window is unmapped too), with its icon docked."""
        return wm_state(self.main) == "Withdrawn" and any(
            w["name"] == "Quenlo" and w["w"] < 64 and w["h"] < 64 and viewable(w["id"]) for w in tree(check=False))

    def in_front(self):
        return (viewable(self.main) and wm_state(self.main) == "Normal"
                and "_NET_WM_STATE_HIDDEN" not in net_states(self.main)
                and self.main in re.findall(r"0x[0-9a-f]+", prop("-root", "_NET_ACTIVE_WINDOW")))

    def second_start(self):
        """A second quenlo: its exit code and how long it ran."""
        started = time.monotonic()
        second = self.spawn()
        try:
            code = second.wait(ANSWER_LIMIT)
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait(5)
            raise Failure(f"the second start still runs after {ANSWER_LIMIT:g} s")
        return code, time.monotonic() - started

    def stop_first(self, sig=15):
        if self.first and self.first.poll() is None:
            self.first.send_signal(sig)
            exit_code_of(self.first, "the first instance after its signal")


def start_tray():
    """trayer at the bottom right, as scripts/desktop-session.sh --tray starts it."""
    tray = subprocess.Popen(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "request",
                             "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true",
                             "--transparent", "false", "--tint", "0x333333"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_until("trayer", lambda: any(w["cls"] == '"panel" "trayer"' and viewable(w["id"])
                                     for w in tree(check=False)), 20)
    return tray


def stop_tray(tray):
    tray.terminate()
    exit_code_of(tray, "trayer")


class Suite:
    def __init__(self, args):
        self.app = Instances(args.quenlo)
        self.passed = self.failed = 0

    def case(self, name, body):
        try:
            body()
        except (Failure, subprocess.TimeoutExpired) as e:
            self.failed += 1
            print(f"FAIL {name}: {e}", flush=True)
            return
        self.passed += 1
        print(f"ok   {name}", flush=True)

    def shown_by_second_start(self):
        code, took = self.app.second_start()
        if code != 0:
            raise Failure(f"the second start ended with {code}")
        wait_until("the first window in front", self.app.in_front, 5)
        if self.app.first.poll() is not None:
            raise Failure("the first instance ended")
        print(f"  second start answered after {took:.2f} s")

    def from_the_tray(self):
        self.app.start_first()
        self.shown_by_second_start()
        # Kept in view: neither the minimise timer nor anything else puts it away again.
        if not stays(self.app.in_front, 1.5):
            raise Failure("the window went away again")

    def from_view(self):
        self.shown_by_second_start()

    def after_a_killed_first(self):
        # Killed, the first leaves its socket file behind; the next start takes over at once and
        # answers the one after it.
        self.app.stop_first(9)
        self.app.start_first()
        self.shown_by_second_start()

    def without_a_display(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        silent = self.app.spawn(env)
        try:
            if not stays(lambda: silent.poll() is None, 1.5):
                raise Failure(f"a start without a display ended at once ({silent.returncode})")
        finally:
            silent.terminate()
            exit_code_of(silent, "the start without a display after SIGTERM")
        if self.app.first.poll() is not None:
            raise Failure("the first instance changed")

    def tray_comes_later(self):
        self.app.stop_first()
        self.app.start_first()  # minimised to the task bar: there is no notification area
        tray = start_tray()
        try:
            wait_until("the waiting window moved to the notification area", self.app.in_tray, 10)
        finally:
            stop_tray(tray)

    def tray_comes_after_the_user_took_the_window_back(self):
        self.app.stop_first()
        self.app.start_first()
        run("xdotool", "windowactivate", self.app.main, check=False)
        wait_until("the window back from the task bar", self.app.in_front, 5)
        tray = start_tray()
        try:
            if not stays(self.app.in_front, 2.5):
                raise Failure("the window in use left for the notification area")
            run("xdotool", "windowminimize", self.app.main)
            wait_until("the window in the notification area at its next minimise", self.app.in_tray, 10)
        finally:
            stop_tray(tray)

    def run(self):
        self.case("a second start brings the window back from where it went", self.from_the_tray)
        self.case("a second start with the window in view", self.from_view)
        self.case("a second start after the first was killed", self.after_a_killed_first)
        self.case("a start without a display waits silently", self.without_a_display)
        if not self.app.tray:
            self.case("a notification area that comes later takes the waiting window", self.tray_comes_later)
            self.case("... but not a window the user has taken back", self.tray_comes_after_the_user_took_the_window_back)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    args = parser.parse_args()
    suite = Suite(args)
    try:
        suite.run()
    finally:
        suite.app.stop_first()
    print(f"{suite.passed} passed, {suite.failed} failed")
    return 0 if suite.failed == 0 and suite.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
