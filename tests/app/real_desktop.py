#!/usr/bin/env python3
"""The window on a real desktop, driven by real input.

Run inside scripts/desktop-session.sh --cups (which gives the display, the private folders and the
private CUPS server):

    real_desktop.py --quenlo BIN --gateway FAKE_GATEWAY --shots DIR [--cycles N]

The pointer and the keyboard are xdotool's, the window state is read with xwininfo and xprop, the
effect of every command is read from the CUPS server's own access log, and a screenshot of each
distinct state goes to DIR. Every wait has a time limit. Exit 0 when every case passed, 1 otherwise;
the last line is "N passed, N failed".
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

from desktop_driver import LAB_SCRIPT, Failure, exit_code_of, run, tree, viewable, wait_until

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import harness  # noqa: E402

LONG_TITLE = "Éves beszámoló a második emeleti nyomtatókról.pdf"


def stays(predicate, duration):
    """True when the predicate holds for the whole duration."""
    deadline = time.monotonic() + duration
    while time.monotonic() < deadline:
        if not predicate():
            return False
        time.sleep(0.05)
    return True


# --- What the X server and the window manager say ------------------------------------------------

def geometry(wid):
    """Absolute place and size of a window's inside."""
    out = run("xwininfo", "-id", wid)
    field = lambda name: int(re.search(name + r":\s+(-?\d+)", out).group(1))
    return (field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height"))


def prop(wid, name):
    return run("xprop", *(["-root"] if wid == "-root" else ["-id", wid]), name, check=False)


def wm_state(wid):
    """Normal, Iconic or Withdrawn, as the window manager keeps it (WM_STATE)."""
    m = re.search(r"window state: (\w+)", prop(wid, "WM_STATE"))
    return m.group(1) if m else "Withdrawn"


def net_states(wid):
    return set(re.findall(r"_NET_WM_STATE_\w+", prop(wid, "_NET_WM_STATE")))


def frame_extents(wid):
    m = re.search(r"= (\d+), (\d+), (\d+), (\d+)", prop(wid, "_NET_FRAME_EXTENTS"))
    return tuple(int(v) for v in m.groups()) if m else (0, 0, 0, 0)


def stacking():
    return [w.lower() for w in re.findall(r"0x[0-9a-fA-F]+", prop("-root", "_NET_CLIENT_LIST_STACKING"))]


def pixel(shot, x, y):
    out = run("convert", shot, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-")
    m = re.search(r"\((\d+),(\d+),(\d+)", out.splitlines()[-1])
    return tuple(int(v) for v in m.groups())


# --- Real input -----------------------------------------------------------------------------------

def move(x, y):
    # No --sync: it waits for a motion event, which never comes when the pointer is there already.
    run("xdotool", "mousemove", str(x), str(y))
    time.sleep(0.05)


def click(x, y, button=1):
    move(x, y)
    time.sleep(0.05)
    run("xdotool", "click", str(button))


def drag(x0, y0, x1, y1):
    move(x0, y0)
    run("xdotool", "mousedown", "1")
    steps = 8
    for i in range(1, steps + 1):
        run("xdotool", "mousemove", str(x0 + (x1 - x0) * i // steps), str(y0 + (y1 - y0) * i // steps))
        time.sleep(0.03)
    run("xdotool", "mouseup", "1")


def key(name):
    run("xdotool", "key", name)


# --- The private CUPS server ------------------------------------------------------------------------

class Cups:
    def __init__(self):
        self.lab = os.environ["QUENLO_CUPS_LAB"]
        self.port = os.environ["QUENLO_CUPS_PORT"]
        self.log = os.path.join(self.lab, "log", "access_log")

    def lab_script(self, *args):
        run(LAB_SCRIPT, *args, timeout=60)

    def requests(self):
        """(path, operation, status) of every IPP request the server has answered so far."""
        found = []
        with open(self.log, encoding="utf-8", errors="replace") as f:
            for line in f:
                m = re.search(r'"POST (\S+) HTTP/1\.[01]" \d+ \d+ (\S+) (\S+)', line)
                if m:
                    found.append(m.groups())
        return found

    def expect(self, what, since, operation, status="successful-ok", limit=10.0, path="/printers/Raktar"):
        def seen():
            return any(r == (path, operation, status) for r in self.requests()[since:])
        wait_until(what + f": {operation} {status} on {path}", seen, limit)

    def printer_state(self, printer):
        return run("lpstat", "-h", f"127.0.0.1:{self.port}", "-p", printer, check=False)

    def mark(self):
        return len(self.requests())


# --- The program ----------------------------------------------------------------------------------

class Quenlo:
    """The installed program: quenlo and its stand-in gateway side by side, the printers file in
    the private configuration folder."""

    def __init__(self, args, cups):
        self.dir = os.environ["QUENLO_SESSION_DIR"]
        self.bin = os.path.join(self.dir, "bin")
        os.makedirs(self.bin, exist_ok=True)
        shutil.copy(args.quenlo, os.path.join(self.bin, "quenlo"))
        shutil.copy(args.gateway, os.path.join(self.bin, "Ferrowick.exe"))
        self.gateway_log = os.path.join(self.dir, "gateways.log")
        conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo")
        os.makedirs(conf, exist_ok=True)
        with open(os.path.join(conf, "printers.qdl"), "w", encoding="utf-8") as f:
            for name, localport in (("Iroda", 0), ("Raktar", 1)):
                f.write(f"<printer>\nname={name}\nremotehost=127.0.0.1:{cups.port}\n"
                        f"url=/printers/{name}\nlocalport={localport}\ncomment=Második emelet\n<endprinter>\n")
        self.process = None
        self.main = None
        self.tray = os.environ.get("QUENLO_SESSION_TRAY") == "1"

    def start(self, display=None):
        env = dict(os.environ, QUENLO_FAKE_GATEWAY_LOG=self.gateway_log)
        if display:
            env["DISPLAY"] = display
            self.process = subprocess.Popen([os.path.join(self.bin, "quenlo")], cwd=self.dir, env=env,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return None
        self.log = open(os.path.join(self.dir, "quenlo.log"), "a")
        self.process = subprocess.Popen([os.path.join(self.bin, "quenlo")], cwd=self.dir, env=env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.main = wait_until("the window", self.find_main, 15)
        return self.main

    def find_main(self):
        for w in tree():
            if w["name"] == "Quenlo" and w["cls"] == '"quenlo" "Quenlo"' and w["w"] >= 600 and w["h"] >= 300:
                if viewable(w["id"]):
                    return w["id"]
        return None

    def windows(self):
        """The program's mapped top-level windows (window, tray icon, menus, hints, boxes)."""
        out = run("xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid), check=False)
        return {"0x%x" % int(w) for w in out.split()}

    def icon(self):
        """The tray icon's window, embedded in the notification area, or None."""
        for w in tree():
            if w["name"] == "Quenlo" and w["cls"] == '"quenlo" "Quenlo"' and w["w"] < 64 and w["h"] < 64:
                if viewable(w["id"]):
                    return w
        return None

    def shown(self):
        return viewable(self.main) and wm_state(self.main) == "Normal" and "_NET_WM_STATE_HIDDEN" not in net_states(self.main)

    def put_away(self):
        """In the tray (unmapped, icon shown) or, without one, minimised to the task bar."""
        if self.tray:
            return not viewable(self.main) and self.icon() is not None
        return wm_state(self.main) == "Iconic"

    def bring_back(self):
        if self.tray:
            icon = wait_until("the tray icon", self.icon, 5)
            click(icon["x"] + icon["w"] // 2, icon["y"] + icon["h"] // 2)
        else:
            # What a task bar does with a click on the window's button.
            run("xdotool", "windowactivate", self.main, check=False)
        wait_until("the window back after the click", lambda: self.shown() and self.icon() is None, 5)
        # In front and taking input, as the user sees it before clicking into it.
        wait_until("the window active after the click",
                   lambda: self.main in re.findall(r"0x[0-9a-f]+", prop("-root", "_NET_ACTIVE_WINDOW")), 5)
        # openbox animates the way back from the task bar: the window is mapped and active while
        # its frame still moves to its place.
        last = [None]

        def settled():
            now = self.client()
            still, last[0] = now == last[0], now
            time.sleep(0.1)
            return still
        wait_until("the window at rest after the click", settled, 5, step=0)

    def client(self):
        return geometry(self.main)

    def at(self, x, y):
        """Screen point of a point of the window's client area."""
        cx, cy, _, _ = self.client()
        return cx + x, cy + y

    def frame(self):
        cx, cy, w, h = self.client()
        left, right, top, bottom = frame_extents(self.main)
        return cx - left, cy - top, w + left + right, h + top + bottom

    def title_button(self, which):
        """Centre of the frame's minimise or close button, once the window manager has laid the
        frame out."""
        return wait_until(f"the {which} button", lambda: self.find_title_button(which), 5)

    def find_title_button(self, which):
        fx, fy, fw, fh = self.frame()
        names = {"minimise": "Minimize", "close": "Close"}
        frame_windows = [w for w in tree() if fx <= w["x"] and w["x"] + w["w"] <= fx + fw
                         and fy <= w["y"] < fy + frame_extents(self.main)[2]]
        named = [w for w in frame_windows if w["name"] == names[which]]
        if named:  # icewm names its buttons
            b = named[0]
        else:  # openbox: the small mapped squares at the right of the title, "iconify, maximise, close"
            squares = sorted((w for w in frame_windows if 8 <= w["w"] == w["h"] <= 24 and w["x"] > fx + fw // 2
                              and viewable(w["id"])), key=lambda w: w["x"])
            if len(squares) < 3:
                return None
            b = squares[-3] if which == "minimise" else squares[-1]
        return b["x"] + b["w"] // 2, b["y"] + b["h"] // 2

    def new_window(self, before, what, limit=5.0, titled=None):
        """A top-level window of the program that appeared since `before` (with that title)."""
        def appeared():
            fresh = sorted(self.windows() - before)
            if titled is not None:
                fresh = [w for w in fresh if f'= "{titled}"' in prop(w, "WM_NAME")]
            return fresh[0] if fresh else None
        return wait_until(what, appeared, limit)

    def window_at(self, x, y):
        """A window of the program other than the main one whose corner is at the point: where a
        context menu opens. Qt keeps a menu's window between uses, and at load the last use may
        not yet be unmapped when the next click comes, so a menu is not always a new window."""
        for w in self.windows() - {self.main}:
            wx, wy, _, _ = geometry(w)
            if abs(wx - x) <= 8 and abs(wy - y) <= 8:
                return w
        return None

    def gateways(self):
        started, ended = {}, set()
        if os.path.exists(self.gateway_log):
            with open(self.gateway_log) as f:
                for line in f:
                    fields = line.rstrip("\n").split("\t")
                    if fields[0] == "start":
                        started[fields[1]] = fields[4]
                    elif fields[0] == "term":
                        ended.add(fields[1])
        return started, ended


def process_running(pid):
    """True while the process exists and is not a zombie; it may end between any two reads."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


# --- The cases ------------------------------------------------------------------------------------

def menu_item(menu, index, count=3):
    x, y, w, h = geometry(menu)
    return x + w // 2, y + h * (2 * index + 1) // (2 * count)


class Suite:
    def __init__(self, args):
        self.args = args
        self.cups = Cups()
        self.app = Quenlo(args, self.cups)
        self.passed, self.failed = 0, 0

    def desktop(self):
        wm = os.environ["QUENLO_SESSION_WM"]
        if not self.app.tray:
            return wm + "-alone"
        return wm if wm == "icewm" else wm + "-trayer"

    def shot_path(self, name):
        return os.path.join(self.args.shots, f"{self.desktop()}-{name}.png")

    def shot(self, name):
        path = self.shot_path(name)
        run("import", "-window", "root", path, timeout=30)
        return path

    def case(self, name, body):
        started = time.monotonic()
        try:
            body()
        except (Failure, subprocess.TimeoutExpired) as e:
            self.failed += 1
            print(f"FAIL {name}: {e}", flush=True)
            try:
                self.shot("failed-" + re.sub(r"\W+", "-", name))
                # What was on the screen of ours: a box or menu left open explains most misses.
                for w in sorted(self.app.windows()):
                    print(f"     window {w}: {prop(w, 'WM_NAME').strip()} {geometry(w)}", flush=True)
            except Exception:
                pass
            return False
        self.passed += 1
        print(f"ok   {name} ({time.monotonic() - started:.1f} s)", flush=True)
        return True

    # The printers and their held jobs; Raktar has a job of a title its column cuts off.
    def prepare(self):
        c = self.cups
        c.lab_script("add-printer", c.lab, "Iroda")
        c.lab_script("hold-jobs", c.lab, "Iroda", "3", "--user", "anna", "--title", "Havi jelentés")
        c.lab_script("add-printer", c.lab, "Raktar")
        c.lab_script("hold-jobs", c.lab, "Raktar", "2", "--user", "bela", "--title", LONG_TITLE)

    def start_and_tray(self):
        started = time.monotonic()
        self.app.start()
        self.shot("start")
        wait_until("the window put away by the timer", self.app.put_away, 10)
        took = time.monotonic() - started
        if not 0.5 <= took <= 8:
            raise Failure(f"the window went away after {took:.1f} s, not about 1 s")
        if self.app.tray:
            # The main window stays off the task bar while in the tray: it is unmapped.
            if viewable(self.app.main):
                raise Failure("the window is still mapped with its tray icon shown")
        self.shot("put-away")

    def right_click_on_icon(self):
        icon = self.app.icon()
        click(icon["x"] + icon["w"] // 2, icon["y"] + icon["h"] // 2, button=3)
        if not stays(self.app.put_away, 1.0):
            raise Failure("a right click on the tray icon changed the window")
        extra = self.app.windows() - {icon["id"]}
        if extra:
            raise Failure(f"a right click on the tray icon opened windows {extra}")

    def minimise_button(self):
        move(*self.app.title_button("minimise"))
        time.sleep(0.1)
        run("xdotool", "click", "1")
        wait_until("the window put away by its minimise button", self.app.put_away, 5)

    def selector_with_the_mouse(self):
        before, mark = self.app.windows(), self.cups.mark()
        click(*self.app.at(300, 10))
        drop = self.app.new_window(before, "the drop-down list")
        time.sleep(0.3)
        shot = self.shot("drop-down")
        x, y, w, h = geometry(drop)
        # Black behind the items, away from the text.
        if pixel(shot, x + w - 6, y + h // 2) != (0, 0, 0):
            raise Failure(f"the drop-down list is not black: {pixel(shot, x + w - 6, y + h // 2)}")
        click(*menu_item(drop, 1, 2))
        self.cups.expect("choosing Raktar", mark, "Get-Jobs")
        wait_until("the drop-down list closed", lambda: drop not in self.app.windows(), 5)

    def refresh_button(self):
        mark = self.cups.mark()
        click(*self.app.at(581 + 9, 61 + 9))
        self.cups.expect("the refresh button", mark, "Get-Printer-Attributes")

    def widened_column_and_its_hint(self):
        # The "job name" column (x 150 to 230) cuts the long title off: its hint shows it whole.
        row1_name = self.app.at(190, 80 + 20 + 7)
        move(row1_name[0] - 20, row1_name[1])
        before = self.app.windows()
        move(*row1_name)
        move(row1_name[0] + 1, row1_name[1])
        self.app.new_window(before, "the hint of a cut-off cell", 5)
        time.sleep(0.3)
        self.shot("cut-off-cell-hint")
        # Then the column dragged 180 px wider by its header edge.
        header_y = 80 + 8
        drag(*self.app.at(229, header_y), *self.app.at(409, header_y))
        time.sleep(0.3)
        self.shot("widened-column")

    def hint_over_an_inactive_window(self):
        other = subprocess.Popen(["xlogo", "-geometry", "200x150+100+100"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        try:
            logo = wait_until("another window", lambda: run("xdotool", "search", "--onlyvisible", "--class",
                                                           "xlogo", check=False).split(), 10)[0]
            run("xdotool", "windowactivate", "--sync", logo, check=False)
            wait_until("the other window active", lambda: self.app.main not in prop("-root", "_NET_ACTIVE_WINDOW"), 5)
            move(*self.app.at(560, 70))
            before = self.app.windows()
            move(*self.app.at(590, 70))
            move(*self.app.at(591, 71))
            self.app.new_window(before, "the refresh button's hint", 5)
            time.sleep(0.3)
            self.shot("hint-inactive")
            move(*self.app.at(300, 60))
        finally:
            other.terminate()
            other.wait(5)

    def choose(self, control_xy, item, what, button=3, count=3):
        before = self.app.windows()
        click(*control_xy, button=button)

        def opened():
            fresh = sorted(self.app.windows() - before)
            return fresh[0] if fresh else self.app.window_at(*control_xy)
        # A menu opens after the program has handled what the last item started (a refresh, at
        # times): on a machine at load 19 that took longer than the usual limit.
        menu = wait_until(f"the menu for {what}", opened, 15)
        time.sleep(0.2)
        click(*menu_item(menu, item, count))
        return menu

    def message_box_closed_with_enter(self, before, what):
        box = self.app.new_window(before, what, titled="Quenlo")
        wait_until(f"{what} above the window",
                   lambda: box in stacking() and stacking().index(box) > stacking().index(self.app.main), 5)
        self.shot("message-box")
        key("Return")
        wait_until(f"{what} closed by Enter", lambda: box not in self.app.windows(), 5)

    def printer_menu_pause(self):
        mark = self.cups.mark()
        self.choose(self.app.at(60, 30), 0, "the printer status")
        self.cups.expect("pausing", mark, "Pause-Printer")
        # The printer chosen with the mouse before is the one paused.
        wait_until("Raktar paused", lambda: "disabled" in self.cups.printer_state("Raktar"), 5)

    def job_menu_items(self):
        row1 = self.app.at(20, 80 + 20 + 7)
        empty = self.app.at(300, 250)
        c = self.cups
        # No job selected: the warning, nothing sent.
        click(*empty)
        before, mark = self.app.windows(), c.mark()
        self.choose(empty, 0, "the job list")
        self.message_box_closed_with_enter(before - set(), "the no-job warning")
        if any(r[1] == "Cancel-Job" for r in c.requests()[mark:]):
            raise Failure("Cancel-Job sent without a selected job")
        click(*row1)
        for item, operation, status in ((1, "Hold-Job", "successful-ok"), (2, "Release-Job", "successful-ok")):
            mark = c.mark()
            self.choose(row1, item, "the selected job")
            c.expect("the job menu", mark, operation, status)
            time.sleep(0.3)
            click(*row1)
        # Released again while pending: the server refuses, and the box tells so.
        before, mark = self.app.windows(), c.mark()
        self.choose(row1, 2, "the selected job")
        c.expect("the refused release", mark, "Release-Job", "client-error-not-possible")
        self.message_box_closed_with_enter(before, "the refusal box")
        click(*row1)
        mark = c.mark()
        self.choose(row1, 0, "the selected job")
        c.expect("cancelling", mark, "Cancel-Job")

    def printer_menu_resume_and_purge(self):
        mark = self.cups.mark()
        self.choose(self.app.at(300, 10), 1, "the selector")
        self.cups.expect("resuming", mark, "Resume-Printer")
        wait_until("Raktar resumed", lambda: "enabled" in self.cups.printer_state("Raktar"), 5)
        mark = self.cups.mark()
        self.choose(self.app.at(40, 62), 2, "the comment line")
        self.cups.expect("purging", mark, "Purge-Jobs")

    def resize_by_the_window_manager(self):
        fx, fy, fw, fh = self.app.frame()
        drag(fx + 2, fy + 2, fx - 198, fy - 98)
        wait_until("the window widened by 200 x 100", lambda: self.app.client()[2:] == (800, 400), 5)
        time.sleep(0.3)
        shot = self.shot("resized")
        cx, cy, w, h = self.app.client()
        # The refresh button follows the right edge; the selector's arrow too.
        if pixel(shot, cx + w - 10, cy + 70) == (0, 0, 0):
            raise Failure("no refresh button at the right edge after resizing")
        if pixel(shot, cx + 590, cy + 70) != (0, 0, 0):
            raise Failure("the refresh button stayed at its old place")
        fx, fy, fw, fh = self.app.frame()
        drag(fx + 2, fy + 2, fx + 402, fy + 302)
        time.sleep(0.5)
        size = self.app.client()[2:]
        if size != (600, 300):
            raise Failure(f"the window shrank to {size}, below or above the 600 x 300 minimum")

    def cycles(self):
        for i in range(self.args.cycles):
            self.app.bring_back()
            if not self.app.shown():
                raise Failure(f"cycle {i + 1}: not visible after the click")
            self.minimise_button()
            if not self.app.put_away():
                raise Failure(f"cycle {i + 1}: not put away after the minimise")

    def starts(self):
        """The whole round from a fresh start, as a user meets it at every log-in."""
        for i in range(self.args.starts):
            self.app.start()
            wait_until(f"start {i + 1}: put away by the timer", self.app.put_away, 10)
            self.app.bring_back()
            if not self.app.shown():
                raise Failure(f"start {i + 1}: not visible after the click")
            self.minimise_button()
            if not self.app.put_away():
                raise Failure(f"start {i + 1}: not put away after the minimise")
            self.app.process.terminate()
            code = exit_code_of(self.app.process, f"start {i + 1}: the program after SIGTERM")
            if code != 0:
                raise Failure(f"start {i + 1}: exit code {code} after SIGTERM")

    def close_button(self):
        started, _ = self.app.gateways()
        if len(started) != 2:
            raise Failure(f"{len(started)} gateways started, not 2")
        if not self.app.shown():
            self.app.bring_back()
        click(*self.app.title_button("close"))
        code = exit_code_of(self.app.process, "the program after its close button")
        if code != 0:
            raise Failure(f"exit code {code}")
        started, ended = self.app.gateways()
        wait_until("every gateway told to end", lambda: set(self.app.gateways()[0]) <= self.app.gateways()[1], 5)
        # A gateway logs its end before it exits: on a loaded machine it may still be there a moment.
        alive = lambda: [pid for pid in started if process_running(pid)]
        try:
            wait_until("every gateway ended", lambda: not alive(), 5)
        except Failure:
            raise Failure(f"gateways still running: {alive()}")

    def display_ends(self):
        """The program's display goes away under it, as when the session ends."""
        try:
            xvfb, display = harness.start_xvfb("800x600")
        except RuntimeError:
            raise Failure("no second X server")
        try:
            known = set(self.app.gateways()[0])
            self.app.start(display)
            fresh = wait_until("the gateways started",
                               lambda: len(set(self.app.gateways()[0]) - known) == 2 and set(self.app.gateways()[0]) - known, 15)
            time.sleep(1)  # in its event loop by now
        finally:
            harness.stop(xvfb, limit=10)
        code = exit_code_of(self.app.process, "the program after its display went away")
        alive = lambda: [pid for pid in fresh if process_running(pid)]
        try:
            wait_until("the gateways ended with the program", lambda: not alive(), 5)
        except Failure:
            raise Failure(f"gateways {alive()} outlived the program (exit code {code})")
        if code != 0:
            raise Failure(f"exit code {code} after the display went away")

    def run(self):
        begun = time.monotonic()
        for old in os.listdir(self.args.shots):  # this desktop's shots of an earlier run
            if old.startswith(self.desktop() + "-"):
                os.remove(os.path.join(self.args.shots, old))
        self.prepare()
        if not self.case("start, then put away after about 1 s", self.start_and_tray):
            return
        if self.app.tray:
            self.case("a right click on the tray icon does nothing", self.right_click_on_icon)
        if not self.case("back on a click", self.app.bring_back):
            return
        self.case("the selector changed with the mouse (black drop-down)", self.selector_with_the_mouse)
        self.case("the refresh button", self.refresh_button)
        self.case("a cut-off cell's hint, a column widened by its header edge", self.widened_column_and_its_hint)
        self.case("the hint while another window is active", self.hint_over_an_inactive_window)
        self.case("printer menu: pause", self.printer_menu_pause)
        self.case("job menu: every item, boxes above the window, closed by Enter", self.job_menu_items)
        self.case("printer menu: resume and purge", self.printer_menu_resume_and_purge)
        self.case("resized by the window manager: anchors and the minimum", self.resize_by_the_window_manager)
        self.case("the minimise button puts the window away", self.minimise_button)
        self.case(f"{self.args.cycles} cycles of click back and minimise", self.cycles)
        self.case("the close button ends the program and its gateways", self.close_button)
        self.case("the display ends: the gateways end with the program, exit code 0", self.display_ends)
        if self.args.starts:
            self.case(f"{self.args.starts} starts: put away, back on a click, minimised, ended", self.starts)
        print(f"desktop suite on {self.desktop()}: {time.monotonic() - begun:.1f} s")

    def stop(self):
        p = self.app.process
        if p and p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(5)
        started, _ = self.app.gateways()
        for pid in started:
            try:
                os.kill(int(pid), 15)
            except OSError:
                pass


def suite_main(suite_class, more_arguments=lambda parser: None):
    """Runs a suite of the window's cases from the command line; the exit code says how it went."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--quenlo", required=True)
    parser.add_argument("--gateway", required=True)
    parser.add_argument("--shots", required=True)
    more_arguments(parser)
    args = parser.parse_args()
    os.makedirs(args.shots, exist_ok=True)
    suite = suite_class(args)
    try:
        suite.run()
    finally:
        suite.stop()
    print(f"{suite.passed} passed, {suite.failed} failed")
    return 0 if suite.failed == 0 and suite.passed > 0 else 1


def rounds(parser):
    parser.add_argument("--cycles", type=int, default=20)
    parser.add_argument("--starts", type=int, default=int(os.environ.get("QUENLO_DESKTOP_STARTS", "3")),
                        help="whole rounds from a fresh start (20 for the full check)")


if __name__ == "__main__":
    sys.exit(suite_main(Suite, rounds))
