#!/usr/bin/env python3
"""The administrator's overview of the real window on a real desktop, driven by real input.

Run inside scripts/desktop-session.sh --cups (the display, the private folders, the private CUPS
server):

    overview_desktop.py --quenlo BIN --gateway FAKE_GATEWAY --shots DIR

The printers file sets "admin": the window starts on the overview, a row per printer, the paused
one with a yellow lamp read from the screen; a double click on a row opens its queue (Get-Jobs in
the server's log); a click on the lamp header puts the yellow row first, a second click
the green one; back on the overview, the printer menu on a row pauses that printer (lpstat).
In Iroda's queue the administrator's items: a job moved to Raktar through the job menu's submenu of
the server's queues, two selected jobs cancelled at once where the server refuses one (one box),
and the finished jobs after a job printed. Screenshots go to DIR. Every wait has a time limit. The last line is "N passed, N failed".
"""
import os
import re
import sys

from desktop_driver import Failure, lamp_colour, run, wait_until
from real_desktop import Suite, suite_main, click, key, menu_item, move, pixel, prop, stays

LIST_TOP = 80  # the list view's top in the window's client area
LAMP_X = 12    # the middle of the lamp column


class OverviewSuite(Suite):
    def __init__(self, args):
        super().__init__(args)
        conf = os.path.join(os.environ["XDG_CONFIG_HOME"], "Dorvane", "Quenlo", "printers.qdl")
        with open(conf, "w", encoding="utf-8") as f:
            f.write("admin=1\n")
            for name in ("Iroda", "Raktar"):
                f.write(f"<printer>\nname={name}\nremotehost=127.0.0.1:{self.cups.port}\n"
                        f"url=/printers/{name}\nlocalport=-1\n<endprinter>\n")

    def desktop(self):
        return "overview"

    def prepare(self):
        c = self.cups
        c.lab_script("add-printer", c.lab, "Iroda")
        c.lab_script("hold-jobs", c.lab, "Iroda", "2", "--user", "anna", "--title", "Havi jelentés")
        c.lab_script("add-printer", c.lab, "Raktar")
        c.lab_script("pause", c.lab, "Raktar", "Papírelakadás")

    def row_y(self, row):
        """The middle of a row of the list, in client coordinates, from the rows' own height."""
        header, height = self.row_geometry
        return LIST_TOP + header + height * row + height // 2

    def lamp(self, row):
        shot = self.shot("lamps")
        r, g, b = pixel(shot, *self.app.at(LAMP_X, self.row_y(row)))
        return lamp_colour(r, g, b)

    def starts_on_the_overview(self):
        self.app.start()
        wait_until("the window put away by the timer", self.app.put_away, 10)
        self.app.bring_back()
        # The rows' height from the font: the same rule as the window's (the font's height + 4),
        # read back from where the lamps are drawn: the first lamp pixel below the header.
        self.row_geometry = (0, 0)
        self.row_geometry = self.find_rows()
        wait_until("the paused printer yellow, the other green",
                   lambda: self.lamp(0) == "green" and self.lamp(1) == "yellow", 20)
        self.shot("overview")

    def find_rows(self):
        """(header height, row height) from the screen: the lamp column's coloured stretches."""
        shot = self.shot("rows")
        x, top = self.app.at(LAMP_X, LIST_TOP)
        out = run("convert", shot, "-crop", f"1x120+{x}+{top}", "-depth", "8", "txt:-")
        coloured = [max(c) - min(c) > 60 for c in
                    (tuple(int(v) for v in m) for m in re.findall(r": \((\d+),(\d+),(\d+)\)", out))]
        starts = [i for i in range(1, len(coloured)) if coloured[i] and not coloured[i - 1]]
        if len(starts) < 2:
            raise Failure(f"two lamps not found in the lamp column: {starts}")
        height = starts[1] - starts[0]
        lamp = 16
        return starts[0] - (height - lamp) // 2, height

    def header_click_sorts(self):
        header = self.app.at(LAMP_X, LIST_TOP + self.row_geometry[0] // 2)
        click(*header)
        wait_until("the lamp header: yellow before green", lambda: self.lamp(0) == "yellow" and self.lamp(1) == "green", 10)
        self.shot("sorted")
        click(*header)
        wait_until("a second click: green before yellow", lambda: self.lamp(0) == "green" and self.lamp(1) == "yellow", 10)

    def double_click_opens_the_queue(self):
        mark = self.cups.mark()
        move(*self.app.at(100, self.row_y(0)))
        run("xdotool", "click", "--repeat", "2", "--delay", "80", "1")
        self.cups.expect("a double click on Iroda's row", mark, "Get-Jobs", path="/printers/Iroda")
        self.shot("queue")

    def printer_menu_on_a_row(self):
        before = self.app.windows()
        click(*self.app.at(300, 10))
        drop = self.app.new_window(before, "the drop-down list")
        click(*menu_item(drop, 0, 3))
        wait_until("Iroda green again", lambda: self.lamp(0) == "green", 20)
        self.choose(self.app.at(100, self.row_y(0)), 0, "Iroda's row")
        wait_until("Iroda paused", lambda: "disabled" in self.cups.printer_state("Iroda"), 10)
        key("Down")  # the lamp is read off a row that is not selected
        wait_until("Iroda's row yellow", lambda: self.lamp(0) == "yellow", 20)
        if "disabled" not in self.cups.printer_state("Raktar"):
            raise Failure("Raktar changed")
        self.shot("paused-from-the-row")

    # --- The administrator's items in a printer's queue -------------------------------------------

    def lpstat_jobs(self, printer, *which):
        out = run("lpstat", "-h", f"127.0.0.1:{self.cups.port}", *which, "-o", printer, check=False)
        return [line.split()[0].rsplit("-", 1)[1] for line in out.splitlines() if line.strip()]

    def open_queue(self, item):
        before = self.app.windows()
        click(*self.app.at(300, 10))
        drop = self.app.new_window(before, "the drop-down list")
        mark = self.cups.mark()
        click(*menu_item(drop, item, 3))
        self.cups.expect("the queue chosen", mark, "Get-Jobs", path="/printers/Iroda")

    def row(self, index):
        return self.app.at(100, self.row_y(index))

    def text_in_row(self, index):
        """Whether the job list's row shows text: the list's text colour in its band."""
        shot = self.shot("row")
        x, y = self.app.at(4, self.row_y(index) - self.row_geometry[1] // 2 + 2)
        out = run("convert", shot, "-crop", f"400x{self.row_geometry[1] - 4}+{x}+{y}", "-depth", "8", "txt:-")
        light = [1 for m in re.findall(r": \((\d+),(\d+),(\d+)\)", out)
                 if int(m[0]) > 120 and int(m[2]) > 160 and int(m[2]) > int(m[1]) - 10]
        return len(light) > 10

    def move_through_the_submenu(self):
        self.open_queue(1)
        held = self.lpstat_jobs("Iroda")
        if len(held) != 2:
            raise Failure(f"Iroda's jobs before the move: {held}")
        click(*self.row(0))
        before, mark = self.app.windows(), self.cups.mark()
        menu = self.choose(self.row(0), 3, "the job menu's move", count=7)
        queues = self.app.new_window(before | {menu}, "the submenu of the server's queues")
        self.cups.expect("the server's queues asked", mark, "CUPS-Get-Printers", path="/")
        self.shot("move-submenu")
        click(*menu_item(queues, 0, 1))
        self.cups.expect("the move", mark, "CUPS-Move-Job", path="/printers/Iroda")
        wait_until("the job on Raktar", lambda: self.lpstat_jobs("Raktar") == held[:1], 10)
        if self.lpstat_jobs("Iroda") != held[1:]:
            raise Failure(f"Iroda's jobs after the move: {self.lpstat_jobs('Iroda')}")

    def cancel_of_two_one_refused(self):
        c = self.cups
        c.lab_script("hold-jobs", c.lab, "Iroda", "2", "--user", "anna", "--title", "Negyedéves")
        mark = c.mark()
        click(*self.app.at(590, 70))  # the refresh button
        c.expect("the refresh", mark, "Get-Jobs", path="/printers/Iroda")
        jobs = self.lpstat_jobs("Iroda")
        wait_until("three rows", lambda: self.text_in_row(2), 10)
        click(*self.row(0))
        run("xdotool", "keydown", "ctrl")
        try:
            click(*self.row(1))
        finally:
            run("xdotool", "keyup", "ctrl")
        # The second job goes before the window asks: the list the user chose from is stale.
        run("cancel", "-h", f"127.0.0.1:{c.port}", jobs[1])
        before, mark = self.app.windows(), c.mark()
        self.choose(self.row(0), 0, "Megszakít on two selected jobs", count=7)
        box = self.app.new_window(before, "the one summary box", 20, titled="Quenlo")
        cancels = [r for r in c.requests()[mark:] if r[1] == "Cancel-Job"]
        if len(cancels) != 2 or [r[2] for r in cancels].count("successful-ok") != 1:
            raise Failure(f"a Cancel-Job each, one refused: {cancels}")
        self.shot("one-summary-box")
        key("Return")
        wait_until("the box closed", lambda: box not in self.app.windows(), 5)
        if not stays(lambda: not [w for w in self.app.windows() - before if '= "Quenlo"' in prop(w, "WM_NAME")], 2):
            raise Failure("a second box")
        if self.lpstat_jobs("Iroda") != jobs[2:]:
            raise Failure(f"Iroda's jobs after the cancel: {self.lpstat_jobs('Iroda')}")

    def finished_jobs_after_a_print(self):
        c = self.cups
        c.lab_script("resume", c.lab, "Iroda")
        path = os.path.join(os.environ["QUENLO_SESSION_DIR"], "page.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("Havi zárás\n")
        before = self.lpstat_jobs("Iroda", "-W", "completed")
        c.lab_script("print", c.lab, "Iroda", path)
        wait_until("the job printed", lambda: len(self.lpstat_jobs("Iroda", "-W", "completed")) > len(before), 30)
        mark = c.mark()
        self.choose(self.app.at(60, 30), 6, "the printer menu's finished jobs", count=7)
        c.expect("the finished jobs asked", mark, "Get-Jobs", path="/printers/Iroda")
        # One job waits; the printed one and the two cancelled are finished.
        wait_until("the finished jobs' rows", lambda: self.text_in_row(2), 10)
        self.shot("finished-jobs")
        mark = c.mark()
        self.choose(self.app.at(60, 30), 6, "the printer menu's switch back", count=7)
        c.expect("the waiting jobs asked", mark, "Get-Jobs", path="/printers/Iroda")
        wait_until("the waiting job alone", lambda: self.text_in_row(0) and not self.text_in_row(1), 10)

    def run(self):
        self.prepare()
        if not self.case("starts on the overview, the paused printer yellow", self.starts_on_the_overview):
            return
        self.case("a click on the lamp header sorts, a second click reverses", self.header_click_sorts)
        self.case("a double click on a row opens its queue", self.double_click_opens_the_queue)
        self.case("the printer menu on a row pauses that printer", self.printer_menu_on_a_row)
        if not self.case("a job moved to Raktar through the job menu's submenu", self.move_through_the_submenu):
            return
        self.case("two selected jobs cancelled, one refused: one box", self.cancel_of_two_one_refused)
        self.case("the finished jobs after a job printed", self.finished_jobs_after_a_print)


if __name__ == "__main__":
    sys.exit(suite_main(OverviewSuite))
